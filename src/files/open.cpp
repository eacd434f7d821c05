// Opening files without ever blocking on a special file: a FIFO, a device or
// a socket where a regular file belongs is refused instead of waited on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "files/file.h"

namespace upd {
namespace {

// Keeps `fd` when it is a regular file, back in blocking mode; else closes it.
int KeepRegular(int fd) {
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        const int error = stated ? EINVAL : errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A stream on `fd`, or null with the descriptor closed.
FILE* Stream(int fd, const char* mode) {
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

}  // namespace

int OpenRegularFile(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return KeepRegular(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

FILE* OpenRegularStream(const char* path) {
    return Stream(OpenRegularFile(path), "rb");
}

FILE* CreateRegularStream(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // Truncated only once it is known to be a regular file.
    const int fd = KeepRegular(
        ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kNewFileMode));
    if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return Stream(fd, "wb");
}

}  // namespace upd
