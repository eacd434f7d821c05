// The lock that lets one updater run at a time.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "update/update.h"

namespace upd {

RunLock::~RunLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool RunLock::Take() {
    // Opened without following a link and without blocking on whatever
    // special file may stand there; only root needs to read it.
    fd_ = ::open(kLockPath, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                 0600);
    if (fd_ < 0) {
        std::fprintf(stderr, "update: cannot open the lock %s (%s); going on without it\n",
                     kLockPath, std::strerror(errno));
        return true;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        return false;
    }
    std::fprintf(stderr, "update: cannot lock %s (%s); going on without it\n", kLockPath,
                 std::strerror(errno));
    return true;
}

}  // namespace upd
