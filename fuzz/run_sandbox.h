// The whole-run fuzz target's sandbox: the fuzzing process enters a private
// mount namespace whose root directory is a fresh in-memory file system, so
// that whatever paths a fuzzed manifest names, the run can only write inside
// it. The host's programs and libraries are bound read-only; the folders
// libFuzzer itself writes to (corpus, artifacts) are bound at their own paths,
// read-only while the updater runs and writable between runs.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/sim.h"

namespace upd::fuzz {

class RunSandbox {
  public:
    // Remembers the folders named on libFuzzer's command line: positional
    // arguments (corpus folders, or the folder of an input file) and the
    // folders of -artifact_prefix and -exact_artifact_path; and $TMPDIR,
    // where libFuzzer keeps the control file of a corpus merge, unless it is
    // the system's /tmp (the instrument's /tmp stays the sandbox's own).
    void NoteArguments(int argc, char** argv) {
        if (const char* tmp = std::getenv("TMPDIR");
            tmp != nullptr && tmp[0] == '/' &&
            std::string_view(tmp).find_first_not_of('/') != std::string_view::npos &&
            std::string_view(tmp) != "/tmp" && std::string_view(tmp) != "/tmp/") {
            Note(tmp);
        }
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

    // Without root rights, becomes root of a user namespace of its own: the
    // kernel allows that only to a process of one thread, so this is done
    // before libFuzzer starts its threads. Files keep the caller as owner.
    void GainRights() {
        std::string failure;
        if (::geteuid() != 0 && !platform::EnterUserNamespace(&failure)) {
            Abort(failure);
        }
    }

    // Enters the sandbox; aborts when it cannot, since the run would then
    // reach the host's own files.
    void Enter() {
        char cwd[PATH_MAX];
        FUZZ_CHECK(::getcwd(cwd, sizeof cwd) != nullptr);
        cwd_ = cwd;
        std::string failure;
        FUZZ_CHECK(::unshare(CLONE_NEWNS) == 0);
        FUZZ_CHECK(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        // What is bound into the new root: the host's programs, libraries
        // and /proc, and the fuzzer's own folder (for the symbolizer of a
        // report), read-only; the folders libFuzzer writes to, read-write.
        // Each source is opened first, since it may lie under /tmp, which the
        // new root hides, and outer folders are bound before inner ones.
        struct Bind {
            std::string path;
            bool readOnly;
            int fd;
        };
        std::vector<Bind> binds;
        for (const char* host : {"/usr", "/bin", "/lib", "/lib64", "/proc"}) {
            binds.push_back({host, true, -1});
        }
        char self[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        FUZZ_CHECK(n > 0);
        self[n] = '\0';
        const std::string programDir = std::string(self).substr(0, std::string(self).rfind('/'));
        if (programDir != "/tmp") {  // the instrument's /tmp stays the sandbox's own
            binds.push_back({programDir, true, -1});
        }
        for (const std::string& dir : writable_) {
            binds.push_back({dir, false, -1});
        }
        std::stable_sort(binds.begin(), binds.end(), [](const Bind& a, const Bind& b) {
            return a.path.size() < b.path.size();
        });
        for (Bind& bind : binds) {
            bind.fd = ::open(bind.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
        FUZZ_CHECK(::mount("upd-fuzz-run", kRoot, "tmpfs", MS_NOSUID, "mode=0755") == 0);
        if (!platform::BindDevNull(kRoot, &failure)) {
            Abort(failure);
        }
        for (const Bind& bind : binds) {
            if (bind.fd < 0 || bind.path.empty()) {
                continue;  // a host folder this system does not have
            }
            const std::string target = kRoot + bind.path;
            const std::string source = "/proc/self/fd/" + std::to_string(bind.fd);
            MakeDirectories(target);
            if (bind.readOnly) {
                if (!platform::BindReadOnly(source.c_str(), target, &failure)) {
                    Abort(failure);
                }
            } else {
                FUZZ_CHECK(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0);
            }
            ::close(bind.fd);
        }
        FUZZ_CHECK(::chroot(kRoot) == 0);
        // The host's working directory, as an empty folder: relative paths
        // given to libFuzzer resolve inside.
        MakeDirectories(cwd_);
        // The folders made only to hold the binds and the working directory
        // are read-only from here on, as the host's are: no run writes
        // there, and the walk of the tree after each run leaves them out.
        std::vector<std::string> bound;
        for (const Bind& bind : binds) {
            bound.push_back(bind.path);
        }
        for (const std::string& top : ScaffoldTops(bound, cwd_)) {
            if (!platform::BindReadOnly(top.c_str(), top, &failure)) {
                Abort(failure);
            }
        }
        FUZZ_CHECK(::chdir(cwd_.c_str()) == 0);
        entered_ = true;
    }

    bool entered() const { return entered_; }

    // Gives /dev a file system of its own that holds the null device, as on
    // any system: a folder that holds a mount could be moved by a run (a
    // rename of it succeeds), and the mount could then not be removed; a
    // mount point cannot be moved. Once entered.
    void MountDev() {
        const int null = ::open("/dev/null", O_PATH | O_CLOEXEC);
        FUZZ_CHECK(null >= 0);
        FUZZ_CHECK(::mount("upd-fuzz-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") ==
                   0);
        const int made = ::open("/dev/null", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        FUZZ_CHECK(made >= 0 && ::close(made) == 0);
        const std::string source = "/proc/self/fd/" + std::to_string(null);
        FUZZ_CHECK(::mount(source.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) == 0);
        ::close(null);
    }

    // Gives the stick a file system of its own at /mnt, as on the instrument:
    // another device (a rename between it and the instrument fails) mounted
    // without exec rights. Once entered.
    void MountStick() {
        FUZZ_CHECK(::mkdir("/mnt", 0755) == 0 || errno == EEXIST);
        FUZZ_CHECK(::mount("upd-fuzz-stick", "/mnt", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") ==
                   0);
    }

    // Makes the folders libFuzzer writes to read-only for a run, or writable
    // again after it: while the updater runs, nothing outside the sandbox's
    // own file system can be written.
    void Protect(bool readOnly) {
        if (locked_.size() != writable_.size()) {
            // The flags a remount must keep, read once: nothing else
            // remounts these folders.
            for (const std::string& dir : writable_) {
                locked_.push_back(platform::LockedFlags(dir));
            }
        }
        for (size_t i = 0; i < writable_.size(); ++i) {
            const unsigned long flags =
                MS_BIND | MS_REMOUNT | (readOnly ? MS_RDONLY : 0) | locked_[i];
            FUZZ_CHECK(::mount(nullptr, writable_[i].c_str(), nullptr, flags, nullptr) == 0);
        }
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
        // The instrument's / and /tmp are the sandbox's own.
        if (std::string_view(resolved) == "/" || std::string_view(resolved) == "/tmp") {
            std::fprintf(stderr, "fuzz_run: %s is not bound into the sandbox\n", resolved);
            return;
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

    // The top folders made to hold the binds `bound` (bound deeper down)
    // and the working directory `cwd`, once each: not the instrument's own,
    // nor the host's, nor a bind itself.
    static std::vector<std::string> ScaffoldTops(const std::vector<std::string>& bound,
                                                 const std::string& cwd) {
        constexpr std::string_view kKept[] = {"home", "mnt", "dev",   "tmp", "usr",
                                              "bin",  "lib", "lib64", "proc"};
        std::vector<std::string> tops;
        auto add = [&](const std::string& path) {
            const std::string top = path.substr(0, path.find('/', 1));
            if (top.size() > 1 &&
                std::find(std::begin(kKept), std::end(kKept), std::string_view(top).substr(1)) ==
                    std::end(kKept) &&
                std::find(bound.begin(), bound.end(), top) == bound.end() &&
                std::find(tops.begin(), tops.end(), top) == tops.end()) {
                tops.push_back(top);
            }
        };
        for (const std::string& path : bound) {
            add(path);
        }
        add(cwd);
        return tops;
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
    std::vector<unsigned long> locked_;
    std::string cwd_;
    bool entered_ = false;
};

}  // namespace upd::fuzz
