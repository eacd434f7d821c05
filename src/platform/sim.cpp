// The simulated instrument's Platform: the stick is a directory served on the
// mount point as vfat shows it (a bind mount where FUSE cannot be used),
// failures are injected through control files, the user pulls the stick at a
// chosen sleep, sleeps and pauses return at once, and every call is written
// to the trace.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/sim.h"

namespace upd::platform {
namespace {

// The number written in a control file, when the file exists and holds one.
std::optional<long> ReadNumber(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char text[32] = {};
    ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || errno != 0) {
        return std::nullopt;
    }
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') {
        ++end;
    }
    if (*end != '\0') {
        return std::nullopt;
    }
    return value;
}

// The last component of a path, trailing slashes ignored.
std::string LastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Result(int result, int error) {
    return result == 0 ? " -> 0" : " -> -1 errno " + std::to_string(error);
}

// True when the mount in view at `target` shows the folder `source`: the
// stick that is already mounted there.
bool Shows(const char* target, const char* source) {
    struct stat t {};
    struct stat s {};
    return ::stat(target, &t) == 0 && ::stat(source, &s) == 0 && t.st_dev == s.st_dev &&
           t.st_ino == s.st_ino;
}

}  // namespace

bool IsMountPoint(const char* path) {
    struct statx stx {};
    if (::statx(AT_FDCWD, path, AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &stx) != 0) {
        return false;
    }
    if (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) {
        return (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    // Older kernels: a mount point is on another device than its parent.
    struct stat self {};
    struct stat parent {};
    std::string up = std::string(path) + "/..";
    return ::stat(path, &self) == 0 && ::stat(up.c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

SimPlatform::SimPlatform(std::string sim_dir, int host_dev)
    : sim_dir_(std::move(sim_dir)), stick_(host_dev) {}

SimPlatform::~SimPlatform() {
    if (trace_fd_ >= 0) {
        ::close(trace_fd_);
    }
}

bool SimPlatform::Open(std::string* failure) {
    if (::mkdir(sim_dir_.c_str(), 0755) != 0 && errno != EEXIST) {
        *failure = "cannot create " + sim_dir_ + ": " + std::strerror(errno);
        return false;
    }
    std::string log = ControlFile("log");
    // Appended one whole line per write, so that the lines of commands that
    // run meanwhile never interleave with ours.
    trace_fd_ = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (trace_fd_ < 0) {
        *failure = "cannot open " + log + ": " + std::strerror(errno);
        return false;
    }
    if (auto k = ReadNumber(ControlFile("unplug-after")); k && *k >= 1 && *k <= 1000000) {
        unplug_at_ = static_cast<unsigned>(*k);
    }
    if (auto k = ReadNumber(ControlFile("device-after")); k && *k >= 1 && *k <= 1000000) {
        device_at_ = static_cast<unsigned>(*k);
    }
    LoadMounts();
    HideLateDevice();
    return true;
}

int SimPlatform::Mount(const char* source, const char* target, const char* fstype,
                       unsigned long flags, const void* /*data*/) {
    int result = SimulateMount(source, target, flags);
    int error = errno;
    if (result == 0) {
        Mounted(source, target);
    }
    Trace(std::string("mount ") + source + " " + target + " " + (fstype ? fstype : "") + " " +
          std::to_string(flags) + Result(result, error));
    errno = error;
    return result;
}

int SimPlatform::SimulateMount(const char* source, const char* target, unsigned long flags) {
    last_device_ = source;
    if (auto n = ReadNumber(ControlFile("mount-errno"))) {
        errno = static_cast<int>(*n);
        return -1;
    }
    // A write-protected stick: the kernel refuses to open it for writing
    // before it looks at the mount point.
    if (!(flags & MS_RDONLY) && ::access(ControlFile("stick-readonly").c_str(), F_OK) == 0) {
        errno = EROFS;
        return -1;
    }
    // The same stick again is refused; another device is mounted on top.
    if (IsMountPoint(target) && (Shows(target, source) || stick_.Shows(source, target))) {
        errno = EBUSY;
        return -1;
    }
    struct stat st {};
    if (::stat(source, &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTBLK;
        return -1;
    }
    if (::stat(target, &st) != 0) {
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return MountStick(source, target, flags);
}

int SimPlatform::MountStick(const char* source, const char* target, unsigned long flags) {
    std::string why;
    if (!stick_.serving()) {
        if (stick_.Mount(source, target, flags, &why) == 0) {
            return 0;
        }
        WarnBindMount(why);
    }
    if (::mount(source, target, nullptr, MS_BIND, nullptr) != 0) {
        return -1;
    }
    // The stick never carries runnable programs. The bind repeats the flags
    // its source is locked with.
    struct statvfs vfs {};
    unsigned long keep = 0;
    if (::statvfs(target, &vfs) == 0) {
        if (vfs.f_flag & ST_NOSUID)
            keep |= MS_NOSUID;
        if (vfs.f_flag & ST_NODEV)
            keep |= MS_NODEV;
        if (vfs.f_flag & ST_RDONLY)
            keep |= MS_RDONLY;
        if (vfs.f_flag & ST_NODIRATIME)
            keep |= MS_NODIRATIME;
        if (vfs.f_flag & ST_NOATIME) {
            keep |= MS_NOATIME;
        } else if (vfs.f_flag & ST_RELATIME) {
            keep |= MS_RELATIME;
        } else {
            keep |= MS_STRICTATIME;
        }
    }
    keep |= flags & MS_RDONLY;
    if (::mount(nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_NOEXEC | keep, nullptr) != 0) {
        int error = errno;
        ::umount(target);
        errno = error;
        return -1;
    }
    return 0;
}

void SimPlatform::WarnBindMount(const std::string& why) {
    if (warned_) {
        return;
    }
    warned_ = true;
    const std::string text =
        "the stick is a plain bind mount, not looking names up as vfat does (" + why + ")";
    std::fflush(nullptr);
    std::fprintf(stderr, "update-sim: warning: %s\n", text.c_str());
    Trace("warning " + text);
}

int SimPlatform::Umount(const char* target) {
    int result;
    if (auto n = ReadNumber(ControlFile("umount-errno"))) {
        errno = static_cast<int>(*n);
        result = -1;
    } else {
        result = ::umount(target);
        // The stick's server ends with its mount, not with one on top of it.
        if (result == 0 && stick_.serving() && !stick_.ShownAt(target)) {
            stick_.Stop();
        }
    }
    int error = errno;
    if (result == 0) {
        Unmounted(target);
    }
    Trace(std::string("umount ") + target + Result(result, error));
    errno = error;
    return result;
}

void SimPlatform::Sync() {
    ::sync();
    Trace("sync");
}

int SimPlatform::System(const char* command) {
    // The command's output must follow what the updater has written so far.
    std::fflush(nullptr);
    int status = std::system(command);
    Trace(std::string("system ") + command + " -> " + std::to_string(status));
    return status;
}

unsigned SimPlatform::Sleep(unsigned seconds) {
    ++sleeps_;
    if (sleeps_ >= unplug_at_ + kSleepLimit) {
        std::fflush(nullptr);
        std::fprintf(stderr,
                     "update-sim: the updater still waits %u sleeps after the stick was pulled\n",
                     kSleepLimit);
        if (on_stuck_) {
            on_stuck_();
        }
        std::_Exit(kStuckStatus);
    }
    Trace("sleep " + std::to_string(seconds));
    if (sleeps_ == unplug_at_) {
        Unplug();
    }
    return 0;
}

void SimPlatform::Unplug() {
    if (last_device_.empty()) {
        return;
    }
    stick_.Pull();
    std::string folder = ControlFile("unplugged");
    ::mkdir(folder.c_str(), 0755);
    std::string to = folder + "/" + LastComponent(last_device_);
    if (::rename(last_device_.c_str(), to.c_str()) == 0) {
        pulled_device_ = last_device_;
        Trace("unplug " + last_device_);
    }
}

void SimPlatform::PutStickBack(const std::string& device) {
    const std::string folder = ControlFile("unplugged");
    const std::string aside = folder + "/" + LastComponent(device);
    struct stat st {};
    if (device.empty() || ::lstat(device.c_str(), &st) == 0 || errno != ENOENT ||
        ::lstat(aside.c_str(), &st) != 0) {
        return;
    }
    if (::rename(aside.c_str(), device.c_str()) == 0) {
        ::rmdir(folder.c_str());  // only when nothing else waits there
    }
}

void SimPlatform::EndRun() {
    stick_.Stop();
    if (!pulled_device_.empty()) {
        PutStickBack(pulled_device_);
        pulled_device_.clear();
    }
}

void SimPlatform::TraceExit(int status) {
    ShowLateDevice();
    Trace("exit " + std::to_string(status) +
          (IsMountPoint("/mnt") ? " mounted=yes" : " mounted=no"));
}

void SimPlatform::Trace(std::string_view line) {
    if (trace_fd_ < 0) {
        return;
    }
    std::string text(line);
    text += '\n';
    ssize_t ignored = ::write(trace_fd_, text.data(), text.size());
    (void)ignored;
}

}  // namespace upd::platform
