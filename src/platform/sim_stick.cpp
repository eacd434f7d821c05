// The simulated stick's mount: a FUSE file system whose server (see
// stick_server.h) runs in a child process of its own, started at the mount
// and ended at the umount or with update-sim.
#include "platform/sim_stick.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/stick_server.h"

namespace upd::platform {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The server's process: it ends with update-sim and keeps none of its
// standard input and output, so that whoever reads them sees their end when
// update-sim ends.
[[noreturn]] void Serve(int fuse, int root, const std::atomic<int>* pulled, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(0);
    }
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ServeStick(fuse, root, *pulled);
    ::_exit(0);
}

// A child process like fork()'s, but one that a tracer of update-sim does not
// follow: the stick stands for the instrument's kernel, not for a program the
// updater runs, so the kill test's strace must neither count nor kill its
// calls. Emulators that refuse the flag get a plain fork.
pid_t StartServerProcess() {
    const long pid = ::syscall(SYS_clone, CLONE_UNTRACED | SIGCHLD, 0, 0, 0, 0);
    if (pid < 0 && (errno == EINVAL || errno == ENOSYS)) {
        return ::fork();
    }
    return static_cast<pid_t>(pid);
}

}  // namespace

SimStick::~SimStick() {
    Stop();
}

int SimStick::Mount(const std::string& folder, const std::string& target, unsigned long flags,
                    std::string* failure) {
    Stop();
    auto fail = [failure](const std::string& what) {
        *failure = what + ": " + std::strerror(errno);
        return -1;
    };
    if (host_dev_ < 0) {
        errno = ENOENT;
        return fail("the host's /dev cannot be reached");
    }
    const Fd fuse(::openat(host_dev_, "fuse", O_RDWR | O_CLOEXEC));
    if (fuse.get() < 0) {
        return fail("cannot open /dev/fuse");
    }
    const Fd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
        return fail("cannot open " + folder);
    }
    void* shared = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        return fail("cannot share memory with the stick's server");
    }
    auto* pulled = new (shared) std::atomic<int>(0);
    const std::string options = "fd=" + std::to_string(fuse.get()) +
                                ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
                                ",group_id=" + std::to_string(::getgid()) +
                                ",allow_other,default_permissions";
    if (::mount(folder.c_str(), target.c_str(), "fuse.update-sim", flags, options.c_str()) != 0) {
        const int error = errno;
        ::munmap(shared, sizeof(std::atomic<int>));
        errno = error;
        return fail("the kernel refuses a FUSE mount");
    }
    const pid_t parent = ::getpid();
    const pid_t pid = StartServerProcess();
    if (pid == 0) {
        Serve(fuse.get(), root.get(), pulled, parent);
    }
    if (pid < 0) {
        const int error = errno;
        ::umount2(target.c_str(), MNT_DETACH);
        ::munmap(shared, sizeof(std::atomic<int>));
        errno = error;
        return fail("cannot start the stick's server");
    }
    server_ = pid;
    pulled_ = pulled;
    folder_ = folder;
    struct stat st {};
    device_ = ::stat(target.c_str(), &st) == 0 ? st.st_dev : 0;
    return 0;
}

bool SimStick::ShownAt(const std::string& target) const {
    struct stat st {};
    return server_ > 0 && ::stat(target.c_str(), &st) == 0 && st.st_dev == device_;
}

void SimStick::Pull() {
    if (pulled_ != nullptr) {
        pulled_->store(1);
    }
}

void SimStick::Stop() {
    if (server_ > 0) {
        ::kill(server_, SIGKILL);
        while (::waitpid(server_, nullptr, 0) < 0 && errno == EINTR) {
        }
        server_ = -1;
    }
    if (pulled_ != nullptr) {
        ::munmap(pulled_, sizeof(std::atomic<int>));
        pulled_ = nullptr;
    }
}

}  // namespace upd::platform
