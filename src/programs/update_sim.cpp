// The simulated instrument: runs the updater, the same code as `update`,
// inside a private sandbox in which the folder ROOT stands for the
// instrument's whole file system, with the stick shown as the instrument's
// vfat mount shows it, simulated mounting, sleeping and unplugging, a trace of
// every such call in ROOT/.sim/log and an account of the run on standard
// error; or lays out a new instrument (--init).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "help_text.h"
#include "platform/sim.h"
#include "platform/sim_init.h"
#include "stick/tree.h"
#include "update/run_report.h"
#include "update/update.h"
#include "util/program.h"

namespace {

using upd::platform::SimPlatform;

constexpr int kSetUpFailed = 2;
// How long the programs a run leaves running (the restarted main
// application) may take to end before update-sim ends without them.
constexpr unsigned kProgramWaitSeconds = 10;

constexpr char kProgram[] = "update-sim";

int UsageError(const std::string& problem) {
    std::fputs(upd::UsageErrorLine(kProgram, problem).c_str(), stderr);
    return kSetUpFailed;
}

int Fail(const std::string& problem) {
    std::fprintf(stderr, "update-sim: %s\n", problem.c_str());
    return kSetUpFailed;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Init(const std::string& root) {
    std::vector<std::string> made;
    std::string failure;
    if (!upd::platform::LayOutInstrument(root, &made, &failure)) {
        return Fail(failure);
    }
    std::string programs;
    for (const std::string& program : upd::platform::StandInPrograms()) {
        programs += (programs.empty() ? "" : ", ") + program;
    }
    std::printf(
        "An instrument with firmware 1.0 in %s (%zu paths made, nothing replaced).\n"
        "The stick, empty and attached: %s%s\n"
        "Stand-ins: %s; each adds its arguments to %s%s and exits as %s%s/NAME tells.\n"
        "Next: update-pack SOURCE_MANIFEST %s%s, then update-sim %s\n",
        root.c_str(), made.size(), root.c_str(), upd::kDefaultDevice, programs.c_str(),
        root.c_str(), upd::platform::kStandInLog, root.c_str(), upd::platform::kStandInExits,
        root.c_str(), upd::kDefaultDevice, root.c_str());
    return 0;
}

// The sandbox's mount points that runs made, kept in ROOT so that a run
// removes too those that a killed run left.
constexpr char kMadeList[] = "/.sim/sandbox";
constexpr const char* kMountPoints[] = {"/usr", "/bin", "/lib", "/lib64", "/dev", "/dev/null"};

// One run of the updater in the sandbox, and what follows it whichever way
// it ends.
class Session {
  public:
    Session(std::string root, std::vector<std::string> made, SimPlatform& sim)
        : root_(std::move(root)), made_(std::move(made)), sim_(sim) {}

    // Before the updater runs: the stick that a killed run left aside is put
    // back, and a stick that no FAT stick could be is refused.
    bool StickIsFat(const std::string& device) {
        sim_.PutStickBack(device);
        if (device.empty() || !IsDirectory(device)) {
            return true;  // the updater finds no stick to mount
        }
        const std::vector<upd::stick::TreeProblem> problems = upd::stick::CheckTree(device);
        if (problems.empty()) {
            return true;
        }
        std::fprintf(stderr,
                     "update-sim: the stick %s holds what no FAT stick can; the updater does "
                     "not run:\n",
                     device.c_str());
        for (const upd::stick::TreeProblem& problem : problems) {
            std::fprintf(stderr, "update-sim:   %s\n", problem.message.c_str());
        }
        return false;
    }

    int Run(std::vector<char*>& args) {
        sim_.OnStuck([this] { Finish(SimPlatform::kStuckStatus, false); });
        upd::ObserveRun(&report_);
        upd::platform::Install(&sim_);
        const int status = upd::UpdateMain(static_cast<int>(args.size()) - 1, args.data());
        return Finish(status, true);
    }

    // Leaves ROOT as the updater left it: the stick back in its place, the
    // sandbox's own mount points gone.
    int Abandon(int status) {
        sim_.EndRun();
        if (upd::platform::LeaveSandbox(made_, 0)) {
            ::unlink(kMadeList);
        }
        return status;
    }

  private:
    int Finish(int status, bool exited) {
        std::fflush(nullptr);
        upd::platform::Install(nullptr);
        upd::ObserveRun(nullptr);
        if (exited) {
            sim_.TraceExit(status);
        }
        sim_.EndRun();
        if (upd::platform::LeaveSandbox(made_, kProgramWaitSeconds)) {
            ::unlink(kMadeList);
        } else {
            std::fprintf(stderr,
                         "update-sim: programs of the run still run after %u s; the sandbox's "
                         "mount points stay in %s\n",
                         kProgramWaitSeconds, root_.c_str());
        }
        for (const std::string& line : report_.Lines(status)) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fprintf(stderr, "update-sim: every mount, command and sleep: %s/.sim/log\n",
                     root_.c_str());
        std::fflush(nullptr);
        return status;
    }

    std::string root_;
    std::vector<std::string> made_;
    SimPlatform& sim_;
    upd::RunReport report_;
};

std::vector<std::string> EarlierMade(const std::string& list) {
    std::vector<std::string> made;
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);) {
        for (const char* point : kMountPoints) {
            if (line == point) {
                made.push_back(line);
            }
        }
    }
    return made;
}

// Adds the mount points that earlier runs made to `made`, each once and in
// the order they are made, and writes the list.
void KeepMadeList(std::vector<std::string>* made, const std::vector<std::string>& earlier) {
    std::vector<std::string> all;
    for (const char* point : kMountPoints) {
        if (std::find(made->begin(), made->end(), point) != made->end() ||
            std::find(earlier.begin(), earlier.end(), point) != earlier.end()) {
            all.emplace_back(point);
        }
    }
    *made = all;
    if (all.empty()) {
        return;
    }
    std::ofstream out(kMadeList, std::ios::trunc);
    for (const std::string& point : all) {
        out << point << '\n';
    }
}

int RunUpdater(int argc, char** argv) {
    const std::string root = argv[1];
    const std::vector<std::string> earlier = EarlierMade(root + kMadeList);
    // The sandbox has no /dev/fuse: the stick's mount reaches the host's.
    const int hostDev = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string failure;
    std::vector<std::string> made;
    if (!upd::platform::EnterSandbox(root, &failure, &made)) {
        return Fail(failure);
    }
    SimPlatform sim("/.sim", hostDev);
    if (!sim.Open(&failure)) {
        Fail(failure);
        Session(root, made, sim).Abandon(kSetUpFailed);
        return kSetUpFailed;
    }
    KeepMadeList(&made, earlier);
    Session session(root, made, sim);

    std::string program = "update";
    std::vector<char*> args{program.data()};
    for (int i = 2; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    if (!session.StickIsFat(upd::DeviceToMount(static_cast<int>(args.size()) - 1, args.data()))) {
        return session.Abandon(kSetUpFailed);
    }
    return session.Run(args);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return UsageError("no ROOT given");
    }
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
        std::fputs(upd::kHelpText, stdout);
        return 0;
    }
    if (first == "--version") {
        std::fputs(upd::VersionLine(kProgram).c_str(), stdout);
        return 0;
    }
    if (first == "--init") {
        return argc == 3 ? Init(argv[2]) : UsageError("--init takes one ROOT");
    }
    if (first.starts_with("-") && first.size() > 1) {
        return UsageError("unknown option " + std::string(first));
    }
    if (!IsDirectory(argv[1])) {
        return Fail(std::string(argv[1]) +
                    " is no folder; update-sim --init ROOT lays out an instrument in ROOT");
    }
    return RunUpdater(argc, argv);
}
