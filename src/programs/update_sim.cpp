// The simulated instrument: runs the updater, the same code as `update`,
// inside a private sandbox in which the directory ROOT stands for the
// instrument's whole file system, with simulated mounting, sleeping and
// unplugging, and a trace of every such call in ROOT/.sim/log.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim.h"
#include "update/update.h"

namespace {

constexpr int kSetUpFailed = 2;

int Usage() {
    std::fputs("usage: update-sim ROOT [ARGUMENT...]\n", stderr);
    return kSetUpFailed;
}

bool IsDirectory(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !IsDirectory(argv[1])) {
        return Usage();
    }
    std::string failure;
    if (!upd::platform::EnterSandbox(argv[1], &failure)) {
        std::fprintf(stderr, "update-sim: %s\n", failure.c_str());
        return kSetUpFailed;
    }
    upd::platform::SimPlatform sim("/.sim");
    if (!sim.Open(&failure)) {
        std::fprintf(stderr, "update-sim: %s\n", failure.c_str());
        return kSetUpFailed;
    }
    upd::platform::Install(&sim);

    std::string program = "update";
    std::vector<char*> args{program.data()};
    for (int i = 2; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    int status = upd::UpdateMain(static_cast<int>(args.size()) - 1, args.data());

    std::fflush(nullptr);
    sim.TraceExit(status);
    upd::platform::Install(nullptr);
    return status;
}
