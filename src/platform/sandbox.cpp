// The simulated instrument's sandbox: a private mount namespace whose root
// directory is the folder that stands for the instrument's file system, with
// the host's programs and libraries visible read-only inside it; and leaving
// it, without the mount points it had to create.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "platform/sim.h"

namespace upd::platform {
namespace {

// Host folders the updater's shell commands need, bound read-only.
constexpr const char* kHostFolders[] = {"/usr", "/bin", "/lib", "/lib64"};

bool Failed(std::string* failure, const std::string& step) {
    *failure = step + ": " + std::strerror(errno);
    return false;
}

bool WriteProcFile(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

}  // namespace

bool EnterUserNamespace(std::string* failure) {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER) != 0) {
        return Failed(failure, "cannot create a user namespace");
    }
    if (!WriteProcFile("/proc/self/setgroups", "deny") ||
        !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        return Failed(failure, "cannot map the user to root in the user namespace");
    }
    return true;
}

namespace {

// Makes sure `path` is a directory to mount on, creating it if missing.
bool MakeDirectoryMountPoint(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        return true;
    }
    return errno == ENOENT && ::mkdir(path.c_str(), 0755) == 0;
}

// Makes sure `path` is a regular file to mount a file on, creating it if missing.
bool MakeFileMountPoint(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

unsigned long LockedFlags(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) {
        return 0;
    }
    unsigned long flags = 0;
    if (vfs.f_flag & ST_NOSUID)
        flags |= MS_NOSUID;
    if (vfs.f_flag & ST_NODEV)
        flags |= MS_NODEV;
    if (vfs.f_flag & ST_NOEXEC)
        flags |= MS_NOEXEC;
    if (vfs.f_flag & ST_NODIRATIME)
        flags |= MS_NODIRATIME;
    if (vfs.f_flag & ST_NOATIME) {
        flags |= MS_NOATIME;
    } else if (vfs.f_flag & ST_RELATIME) {
        flags |= MS_RELATIME;
    } else {
        flags |= MS_STRICTATIME;
    }
    return flags;
}

bool BindReadOnly(const char* host, const std::string& target, std::string* failure) {
    if (!MakeDirectoryMountPoint(target)) {
        return Failed(failure, "cannot make the mount point " + target);
    }
    if (::mount(host, target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return Failed(failure, std::string("cannot bind ") + host + " on " + target);
    }
    unsigned long flags = MS_BIND | MS_REMOUNT | MS_RDONLY | LockedFlags(target);
    if (::mount(nullptr, target.c_str(), nullptr, flags, nullptr) != 0) {
        return Failed(failure, "cannot make " + target + " read-only");
    }
    return true;
}

bool BindDevNull(const std::string& root, std::string* failure) {
    std::string dev = root + "/dev";
    if (!MakeDirectoryMountPoint(dev) || !MakeFileMountPoint(dev + "/null")) {
        return Failed(failure, "cannot make the mount point " + dev + "/null");
    }
    if (::mount("/dev/null", (dev + "/null").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return Failed(failure, "cannot bind /dev/null on " + dev + "/null");
    }
    return true;
}

namespace {

bool Missing(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// Detaches each mount point of `made` (paths below `root`), last made first,
// and removes it when it is empty: a folder, or the empty file /dev/null was
// bound on.
void RemoveMountPoints(const std::string& root, const std::vector<std::string>& made) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        const std::string path = root + *it;
        ::umount2(path.c_str(), MNT_DETACH);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            ::rmdir(path.c_str());  // fails, as it should, when not empty
        } else if (S_ISREG(st.st_mode) && st.st_size == 0) {
            ::unlink(path.c_str());
        }
    }
}

}  // namespace

bool EnterSandbox(const std::string& root_arg, std::string* failure,
                  std::vector<std::string>* made) {
    char resolved[PATH_MAX];
    if (::realpath(root_arg.c_str(), resolved) == nullptr) {
        return Failed(failure, "cannot resolve " + root_arg);
    }
    const std::string root = resolved;

    // Under an emulator a user namespace may be unavailable, and root needs none.
    if (::geteuid() != 0 && !EnterUserNamespace(failure)) {
        return false;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        return Failed(failure, "cannot create a mount namespace");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Failed(failure, "cannot make the mounts private");
    }
    // Programs that the run leaves running are handed to this process when
    // their shells end, so that LeaveSandbox can wait for them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<std::string> created;
    auto undo = [&] {
        const int error = errno;
        RemoveMountPoints(root, created);
        errno = error;
        return false;
    };
    for (const char* folder : kHostFolders) {
        struct stat st {};
        if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
            continue;
        }
        const bool fresh = Missing(root + folder);
        const bool bound = BindReadOnly(folder, root + folder, failure);
        if (fresh && !Missing(root + folder)) {
            created.emplace_back(folder);
        }
        if (!bound) {
            return undo();
        }
    }
    const bool freshDev = Missing(root + "/dev");
    const bool freshNull = Missing(root + "/dev/null");
    const bool bound = BindDevNull(root, failure);
    if (freshDev && !Missing(root + "/dev")) {
        created.emplace_back("/dev");
    }
    if (freshNull && !Missing(root + "/dev/null")) {
        created.emplace_back("/dev/null");
    }
    if (!bound) {
        return undo();
    }
    if (::chroot(root.c_str()) != 0) {
        Failed(failure, "cannot change the root directory to " + root);
        return undo();
    }
    if (::chdir("/") != 0) {
        return Failed(failure, "cannot change the working directory to /");
    }
    if (made != nullptr) {
        made->insert(made->end(), created.begin(), created.end());
    }
    return true;
}

bool LeaveSandbox(const std::vector<std::string>& made, unsigned wait_seconds) {
    // The programs the run left running (the main application it restarted)
    // were handed to this process when their shells ended; they still use
    // the host's programs through the mount points.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    sigset_t child;
    sigset_t previous;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &child, &previous);
    bool ended = true;
    for (;;) {
        const pid_t done = ::waitpid(-1, nullptr, WNOHANG);
        if (done < 0 && errno == ECHILD) {
            break;
        }
        if (done > 0 || (done < 0 && errno == EINTR)) {
            continue;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            ended = false;
            break;
        }
        // A child that ends meanwhile leaves its signal pending: no wake-up is lost.
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        ::sigtimedwait(&child, nullptr, &wait);
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!ended) {
        return false;
    }
    RemoveMountPoints("", made);
    return true;
}

}  // namespace upd::platform
