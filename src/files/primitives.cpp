// File primitives: existence and type tests, file length, path comparison,
// removal, a rename that never replaces and one that does, and a copy that
// never copies a file onto itself.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "files/file.h"
#include "platform/platform.h"

namespace upd {
namespace {

// Paths are compared on this many characters at most.
constexpr std::size_t kComparedPathLength = 512;
// The copy moves the data in pieces of this size.
constexpr std::size_t kCopyChunk = 2048;
// Stream buffer of each file of a copy. The pieces above are served from and
// gathered in it, so the system is called once per buffer rather than once per
// block, which is most of the cost of a large copy.
constexpr std::size_t kCopyStreamBuffer = 128 * 1024;

// The first kComparedPathLength characters of `path`, backslashes read as slashes.
void ComparablePath(const char* path, char (&out)[kComparedPathLength + 1]) {
    std::size_t n = 0;
    for (; n < kComparedPathLength && path[n] != '\0'; ++n) {
        out[n] = path[n] == '\\' ? '/' : path[n];
    }
    out[n] = '\0';
}

// True when both paths exist and are one file (same device and inode),
// whatever their spelling.
bool SameFile(const char* a, const char* b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

struct FileCloser {
    void operator()(FILE* fp) const { std::fclose(fp); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Closes the stream and tells whether the close succeeded.
bool Close(File& file) {
    return std::fclose(file.release()) == 0;
}

// Writes out what the stream holds, puts it on the disk and closes the
// stream; false when any of the three failed. The stream is closed either way.
bool FlushToDiskAndClose(File& file) {
    bool on_disk = std::fflush(file.get()) == 0 && ::fsync(::fileno(file.get())) == 0;
    return Close(file) && on_disk;
}

// The negative code of a failed rename(2), from errno.
int RenameFailure() {
    switch (errno) {
        case EACCES:
            return kRenameAccessDenied;
        case EXDEV:
            return kRenameCrossDevice;
        case ENOENT:
            return kRenameNoEntry;
        default:
            return kRenameFailed;
    }
}

// The checks both renames make before calling the system.
int RenameNames(const char* oldname, const char* newname) {
    if (oldname == nullptr || oldname[0] == '\0') {
        return kRenameNoOldName;
    }
    if (newname == nullptr || newname[0] == '\0') {
        return kRenameNoNewName;
    }
    if (!exists(oldname)) {
        return kRenameOldMissing;
    }
    return kRenameDone;
}

}  // namespace

int exists(const char* path) {
    return path != nullptr && path[0] != '\0' && ::access(path, F_OK) == 0 ? 1 : 0;
}

int32_t filelen(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size > INT32_MAX) {
        return -1;
    }
    return static_cast<int32_t>(st.st_size);
}

int32_t filelen_fp(FILE* fp) {
    return filelen(::fileno(fp));
}

int isord(const char* path) {
    struct stat st {};
    return path != nullptr && ::stat(path, &st) == 0 && (st.st_mode & 0100000) != 0 ? 1 : 0;
}

int SamePath(const char* a, const char* b) {
    char ca[kComparedPathLength + 1];
    char cb[kComparedPathLength + 1];
    ComparablePath(a, ca);
    ComparablePath(b, cb);
    return ::strcasecmp(ca, cb) == 0 ? 1 : 0;
}

namespace {

// The folder part and the last component of a path ("." for a bare name).
struct SplitPath {
    std::string folder;
    std::string name;

    explicit SplitPath(std::string_view path) {
        const std::size_t slash = path.rfind('/');
        folder = slash == std::string_view::npos
                     ? std::string(1, '.')
                     : std::string(path.substr(0, slash == 0 ? 1 : slash));
        name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    }

    // Whether the last component names a folder ("", "." or "..").
    bool EndsInFolder() const { return name.empty() || name == "." || name == ".."; }
};

}  // namespace

int SameEntry(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return 0;
    }
    const SplitPath pa(a);
    const SplitPath pb(b);
    if (pa.EndsInFolder() || pb.EndsInFolder()) {
        return SameFile(a, b) ? 1 : 0;
    }
    return pa.name == pb.name && SameFile(pa.folder.c_str(), pb.folder.c_str()) ? 1 : 0;
}

int RemoveFile(const char* path) {
    return path != nullptr && ::unlink(path) == 0 ? 1 : 0;
}

int Rename(const char* oldname, const char* newname) {
    if (int code = RenameNames(oldname, newname); code != kRenameDone) {
        return code;
    }
    if (exists(newname)) {
        return kRenameTargetExists;
    }
    return std::rename(oldname, newname) == 0 ? kRenameDone : RenameFailure();
}

int ReplaceFile(const char* oldname, const char* newname) {
    if (int code = RenameNames(oldname, newname); code != kRenameDone) {
        return code;
    }
    return std::rename(oldname, newname) == 0 ? kRenameDone : RenameFailure();
}

namespace {

enum class Copied { kFailed, kClosedBadly, kDone };

// The copy of CopyFile without the system-wide sync: kFailed before the
// closes, kClosedBadly when a close (or the flush to disk) failed, kDone when
// the whole destination is on the disk.
Copied CopyContent(const char* src, const char* dst) {
    if (src == nullptr || dst == nullptr) {
        return Copied::kFailed;
    }
    // Opening the destination truncates it, so a file must never be copied
    // onto itself, however the two paths are spelt.
    if (SamePath(src, dst) || SameFile(src, dst)) {
        return Copied::kFailed;
    }
    // Released after both streams, which use it until they are closed.
    std::unique_ptr<char[]> buffers(new (std::nothrow) char[2 * kCopyStreamBuffer]);
    // The source is opened first so that an unreadable source leaves an
    // existing destination as it was. Only regular files are copied, and
    // neither open waits on a special file.
    File in(OpenRegularStream(src));
    if (!in) {
        return Copied::kFailed;
    }
    File out(CreateRegularStream(dst));
    if (!out) {
        return Copied::kFailed;
    }
    // Without the memory the streams keep their default buffers.
    if (buffers) {
        std::setvbuf(in.get(), buffers.get(), _IOFBF, kCopyStreamBuffer);
        std::setvbuf(out.get(), buffers.get() + kCopyStreamBuffer, _IOFBF, kCopyStreamBuffer);
    }
    ::posix_fadvise(::fileno(in.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
    char buffer[kCopyChunk];
    for (;;) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, in.get());
        if (std::ferror(in.get())) {
            return Copied::kFailed;
        }
        if (got == 0) {
            break;
        }
        std::size_t put = std::fwrite(buffer, 1, got, out.get());
        if (std::ferror(out.get()) || put < got) {
            return Copied::kFailed;
        }
        if (std::feof(in.get())) {
            break;
        }
    }
    bool out_closed = FlushToDiskAndClose(out);
    bool in_closed = Close(in);
    return out_closed && in_closed ? Copied::kDone : Copied::kClosedBadly;
}

}  // namespace

int CopyFile(const char* src, const char* dst) {
    Copied copied = CopyContent(src, dst);
    if (copied == Copied::kFailed) {
        return 0;
    }
    platform::Current().Sync();
    return copied == Copied::kDone ? 1 : 0;
}

int CopyFileNoSystemSync(const char* src, const char* dst) {
    return CopyContent(src, dst) == Copied::kDone ? 1 : 0;
}

}  // namespace upd
