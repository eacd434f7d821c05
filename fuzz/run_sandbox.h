// The whole-run fuzz target's sandbox: the fuzzing process enters a private
// mount namespace whose root directory is a fresh in-memory file system, so
// that whatever paths a fuzzed manifest names, the run can only write inside
// it. The host's programs and libraries are bound read-only; the folders
// libFuzzer itself writes to (corpus, artifacts) are bound read-write at their
// own paths, and are watched so that a run writing there is caught.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/sim.h"

namespace upd::fuzz {

class RunSandbox {
  public:
    // Remembers the folders named on libFuzzer's command line: positional
    // arguments (corpus folders, or the folder of an input file) and the
    // folders of -artifact_prefix and -exact_artifact_path.
    void NoteArguments(int argc, char** argv) {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg.rfind("-artifact_prefix=", 0) == 0) {
                NoteFolderOf(arg.substr(17), /*prefix=*/true);
            } else if (arg.rfind("-exact_artifact_path=", 0) == 0) {
                NoteFolderOf(arg.substr(21), /*prefix=*/false);
            } else if (!arg.empty() && arg[0] != '-') {
                struct stat st {};
                if (::stat(arg.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                    Note(arg);
                } else {
                    NoteFolderOf(arg, /*prefix=*/false);
                }
            }
        }
    }

    // Enters the sandbox; aborts when it cannot, since the run would then
    // reach the host's own files.
    void Enter() {
        char cwd[PATH_MAX];
        FUZZ_CHECK(::getcwd(cwd, sizeof cwd) != nullptr);
        cwd_ = cwd;
        std::string failure;
        if (::geteuid() != 0 && !platform::EnterUserNamespace(&failure)) {
            Abort(failure);
        }
        FUZZ_CHECK(::unshare(CLONE_NEWNS) == 0);
        FUZZ_CHECK(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        // The writable folders may lie under /tmp, which the new root hides:
        // each is bound through a descriptor opened before.
        std::vector<int> fds;
        for (const std::string& dir : writable_) {
            int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            FUZZ_CHECK(fd >= 0);
            fds.push_back(fd);
        }
        FUZZ_CHECK(::mount("upd-fuzz-run", kRoot, "tmpfs", MS_NOSUID, "mode=0755") == 0);
        for (const char* host : {"/usr", "/bin", "/lib", "/lib64", "/proc"}) {
            struct stat st {};
            if (::stat(host, &st) == 0 && S_ISDIR(st.st_mode) &&
                !platform::BindReadOnly(host, std::string(kRoot) + host, &failure)) {
                Abort(failure);
            }
        }
        if (!platform::BindDevNull(kRoot, &failure)) {
            Abort(failure);
        }
        for (size_t i = 0; i < writable_.size(); ++i) {
            const std::string target = std::string(kRoot) + writable_[i];
            MakeDirectories(target);
            const std::string source = "/proc/self/fd/" + std::to_string(fds[i]);
            FUZZ_CHECK(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0);
            ::close(fds[i]);
        }
        // The program's own folder, read-only, for the symbolizer of a report.
        char self[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        FUZZ_CHECK(n > 0);
        self[n] = '\0';
        const std::string programDir = std::string(self).substr(0, std::string(self).rfind('/'));
        MakeDirectories(kRoot + programDir);
        if (!programDir.empty() &&
            !platform::BindReadOnly(programDir.c_str(), kRoot + programDir, &failure)) {
            Abort(failure);
        }
        FUZZ_CHECK(::chroot(kRoot) == 0);
        // The host's working directory, as an empty folder: relative paths
        // given to libFuzzer and named by a manifest both resolve inside.
        MakeDirectories(cwd_);
        FUZZ_CHECK(::chdir(cwd_.c_str()) == 0);
        entered_ = true;
    }

    bool entered() const { return entered_; }

    // A fingerprint of the writable folders: their modification and change
    // times. A run that wrote into one of them changes it.
    std::vector<long> WritableState() const {
        std::vector<long> state;
        for (const std::string& dir : writable_) {
            struct stat st {};
            FUZZ_CHECK(::stat(dir.c_str(), &st) == 0);
            state.insert(state.end(), {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                                       st.st_ctim.tv_nsec});
        }
        return state;
    }

  private:
    static constexpr char kRoot[] = "/tmp";

    [[noreturn]] static void Abort(const std::string& failure) {
        std::fprintf(stderr, "fuzz_run: cannot enter the sandbox: %s\n", failure.c_str());
        std::abort();
    }

    void Note(const std::string& path) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) {
            return;
        }
        if (std::string(resolved) == "/") {
            std::fprintf(stderr, "fuzz_run: will not bind / into the sandbox\n");
            std::abort();
        }
        for (const std::string& dir : writable_) {
            if (dir == resolved) {
                return;
            }
        }
        writable_.emplace_back(resolved);
    }

    // The folder a path names a file in; for a prefix, the folder the files
    // made with that prefix go to.
    void NoteFolderOf(const std::string& path, bool prefix) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            if (prefix || !path.empty()) {
                std::fprintf(stderr,
                             "fuzz_run: %s lies in the working directory, which the sandbox "
                             "hides; give it as a path with a folder\n",
                             path.c_str());
            }
            return;
        }
        Note(slash == 0 ? "/" : path.substr(0, slash));
    }

    static void MakeDirectories(const std::string& path) {
        for (size_t at = 1; at <= path.size(); ++at) {
            if (at == path.size() || path[at] == '/') {
                std::string part = path.substr(0, at);
                if (::mkdir(part.c_str(), 0755) != 0) {
                    struct stat st {};
                    FUZZ_CHECK(::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
                }
            }
        }
    }

    std::vector<std::string> writable_;
    std::string cwd_;
    bool entered_ = false;
};

}  // namespace upd::fuzz
