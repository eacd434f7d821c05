// The simulated stick's FUSE server: speaks the kernel's FUSE protocol
// (<linux/fuse.h>, no library) on /dev/fuse and answers each request from the
// stick's folder, one at a time.
#include "platform/stick_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "stick/tree.h"

namespace upd::platform {
namespace {

// The stick does not change while it is mounted, so the kernel may keep what
// it was told for the whole run, as the vfat driver keeps its inodes.
constexpr std::uint64_t kValidSeconds = 24 * 3600;
// Every file and folder of a vfat mount without options: the mount's mask.
constexpr std::uint32_t kMode = 0755;
// Reads of up to 256 pages per request; writes are refused whatever their size.
constexpr std::uint16_t kMaxPages = 256;
constexpr std::uint32_t kMaxWrite = 4096;
// Larger than any request the kernel sends with these limits.
constexpr std::size_t kRequestBuffer = 132 * 1024;
// The most a read request is answered with, whatever it asks for.
constexpr std::size_t kMaxReply = std::size_t{16} << 20;

// The argument of a request as a structure; what the request does not hold
// (an older kernel's shorter form) stays zero.
template <typename T>
T Arg(const char* data, std::size_t size) {
    T value{};
    std::memcpy(&value, data, std::min(size, sizeof value));
    return value;
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

struct Entry {
    std::string name;
    bool folder;
};

// One folder of the stick as last read, with its entries' FAT names.
struct Folder {
    timespec mtime{};
    timespec ctime{};
    std::vector<Entry> entries;  // files and folders only, by name
    stick::NameIndex index;
};

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

class Server {
  public:
    Server(int fuse, int root, const std::atomic<int>* pulled)
        : fuse_(fuse), root_(root), pulled_(pulled), paths_{"", ""} {
        ids_.emplace("", FUSE_ROOT_ID);
    }

    // Answers requests until the file system is unmounted.
    void Run() {
        std::vector<char> request(kRequestBuffer);
        while (!destroyed_) {
            const ssize_t n = ::read(fuse_, request.data(), request.size());
            if (n < 0) {
                // ENOENT: a request was interrupted before it was read.
                if (errno == EINTR || errno == EAGAIN || errno == ENOENT) {
                    continue;
                }
                return;  // ENODEV: unmounted
            }
            if (static_cast<std::size_t>(n) < sizeof(fuse_in_header)) {
                continue;
            }
            const auto header = Arg<fuse_in_header>(request.data(), sizeof(fuse_in_header));
            Handle(header, request.data() + sizeof header, n - sizeof header);
        }
    }

  private:
    void Handle(const fuse_in_header& in, const char* arg, std::size_t size) {
        switch (in.opcode) {
            case FUSE_FORGET:
            case FUSE_BATCH_FORGET:
            case FUSE_INTERRUPT:
            case FUSE_NOTIFY_REPLY:
                return;  // nothing is answered
            case FUSE_INIT:
                return Init(in, arg, size);
            case FUSE_DESTROY:
                destroyed_ = true;
                return Reply(in, nullptr, 0);
            case FUSE_RELEASE:
                // The file is closed even on a pulled stick.
                Release(arg, size);
                break;
            default:
                break;
        }
        // A pulled stick answers nothing any more; the root's attributes,
        // which the vfat driver holds from the mount on, excepted.
        if (pulled_->load() != 0 && !(in.opcode == FUSE_GETATTR && in.nodeid == FUSE_ROOT_ID)) {
            return Fail(in, EIO);
        }
        switch (in.opcode) {
            case FUSE_LOOKUP:
                return Lookup(in, arg, size);
            case FUSE_GETATTR:
                return GetAttr(in);
            case FUSE_OPEN:
                return Open(in, arg, size);
            case FUSE_READ:
                return Read(in, arg, size);
            case FUSE_OPENDIR:
                return OpenDir(in);
            case FUSE_READDIR:
                return ReadDir(in, arg, size);
            case FUSE_STATFS:
                return StatFs(in);
            case FUSE_RELEASE:
            case FUSE_RELEASEDIR:
            case FUSE_FLUSH:
            case FUSE_FSYNC:
            case FUSE_FSYNCDIR:
            case FUSE_SYNCFS:
                return Reply(in, nullptr, 0);
            case FUSE_SETATTR:
            case FUSE_SYMLINK:
            case FUSE_MKNOD:
            case FUSE_MKDIR:
            case FUSE_UNLINK:
            case FUSE_RMDIR:
            case FUSE_RENAME:
            case FUSE_RENAME2:
            case FUSE_LINK:
            case FUSE_WRITE:
            case FUSE_CREATE:
            case FUSE_TMPFILE:
            case FUSE_FALLOCATE:
            case FUSE_COPY_FILE_RANGE:
            case FUSE_SETXATTR:
            case FUSE_REMOVEXATTR:
                return Fail(in, EROFS);
            default:
                // Extended attributes, locks, ioctl, ...: the kernel then
                // stops asking, or does without.
                return Fail(in, ENOSYS);
        }
    }

    void Init(const fuse_in_header& in, const char* arg, std::size_t size) {
        const auto request = Arg<fuse_init_in>(arg, size);
        if (request.major < FUSE_KERNEL_VERSION) {
            return Fail(in, EPROTO);
        }
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = FUSE_KERNEL_MINOR_VERSION;
        out.max_readahead = request.max_readahead;
        out.flags = request.flags & (FUSE_ASYNC_READ | FUSE_MAX_PAGES);
        out.max_background = 16;
        out.congestion_threshold = 12;
        out.max_write = kMaxWrite;
        out.time_gran = 1;
        out.max_pages = kMaxPages;
        // A kernel older than protocol 7.23 knows the short form only.
        Reply(in, &out, request.minor < 23 ? FUSE_COMPAT_22_INIT_OUT_SIZE : sizeof out);
    }

    void Lookup(const fuse_in_header& in, const char* arg, std::size_t size) {
        const char* end = static_cast<const char*>(std::memchr(arg, '\0', size));
        if (end == nullptr) {
            return Fail(in, EINVAL);
        }
        const Folder* folder = nullptr;
        if (const int error = LoadFolder(in.nodeid, &folder)) {
            return Fail(in, error);
        }
        const std::string* name = folder->index.Find(std::string_view(arg, end - arg));
        if (name == nullptr) {
            return Fail(in, ENOENT);
        }
        const std::string path = Join(paths_[in.nodeid], *name);
        struct stat st {};
        if (const int error = StatPath(path, &st)) {
            return Fail(in, error);
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            return Fail(in, ENOENT);
        }
        fuse_entry_out out{};
        out.nodeid = IdOf(path);
        out.generation = 1;
        out.entry_valid = kValidSeconds;
        out.attr_valid = kValidSeconds;
        out.attr = AttrOf(out.nodeid, st);
        Reply(in, &out, sizeof out);
    }

    void GetAttr(const fuse_in_header& in) {
        struct stat st {};
        if (const int error = StatNode(in.nodeid, &st)) {
            return Fail(in, error);
        }
        fuse_attr_out out{};
        out.attr_valid = kValidSeconds;
        out.attr = AttrOf(in.nodeid, st);
        Reply(in, &out, sizeof out);
    }

    void Open(const fuse_in_header& in, const char* arg, std::size_t size) {
        const auto request = Arg<fuse_open_in>(arg, size);
        if ((request.flags & O_ACCMODE) != O_RDONLY || (request.flags & O_TRUNC) != 0) {
            return Fail(in, EROFS);
        }
        if (in.nodeid == FUSE_ROOT_ID || in.nodeid >= paths_.size()) {
            return Fail(in, EISDIR);
        }
        const int fd = ::openat(root_, paths_[in.nodeid].c_str(),
                                O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return Fail(in, errno);
        }
        open_.insert(fd);
        fuse_open_out out{};
        out.fh = static_cast<std::uint64_t>(fd);
        out.open_flags = FOPEN_KEEP_CACHE;
        Reply(in, &out, sizeof out);
    }

    void Read(const fuse_in_header& in, const char* arg, std::size_t size) {
        const auto request = Arg<fuse_read_in>(arg, size);
        const auto fd = open_.find(static_cast<int>(request.fh));
        if (fd == open_.end() || request.fh > INT32_MAX) {
            return Fail(in, EBADF);
        }
        const std::size_t wanted = std::min<std::size_t>(request.size, kMaxReply);
        if (data_.size() < wanted) {
            data_.resize(wanted);
        }
        std::size_t got = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(*fd, data_.data() + got, wanted - got,
                                      static_cast<off_t>(request.offset + got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // A short answer would be taken for the end of the file: a read
            // that fails part of the way fails whole.
            if (n < 0) {
                return Fail(in, errno);
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        Reply(in, data_.data(), got);
    }

    void Release(const char* arg, std::size_t size) {
        const auto request = Arg<fuse_release_in>(arg, size);
        if (request.fh <= INT32_MAX && open_.erase(static_cast<int>(request.fh)) == 1) {
            ::close(static_cast<int>(request.fh));
        }
    }

    void OpenDir(const fuse_in_header& in) {
        struct stat st {};
        if (const int error = StatNode(in.nodeid, &st)) {
            return Fail(in, error);
        }
        if (!S_ISDIR(st.st_mode)) {
            return Fail(in, ENOTDIR);
        }
        fuse_open_out out{};
        Reply(in, &out, sizeof out);
    }

    // Entries from the offset asked for: "." and ".." first, then the
    // folder's files and folders by name; each entry's offset is the next's.
    void ReadDir(const fuse_in_header& in, const char* arg, std::size_t size) {
        const auto request = Arg<fuse_read_in>(arg, size);
        const Folder* folder = nullptr;
        if (const int error = LoadFolder(in.nodeid, &folder)) {
            return Fail(in, error);
        }
        const std::string path = paths_[in.nodeid];
        const std::size_t room = std::min<std::size_t>(request.size, kMaxReply);
        if (data_.size() < room) {
            data_.resize(room);
        }
        std::size_t used = 0;
        for (std::uint64_t i = request.offset;; ++i) {
            std::string name;
            std::uint64_t ino = 0;
            bool isFolder = true;
            if (i == 0) {
                name = ".";
                ino = in.nodeid;
            } else if (i == 1) {
                name = "..";
                ino = in.nodeid == FUSE_ROOT_ID ? FUSE_ROOT_ID : IdOf(ParentOf(path));
            } else if (i - 2 < folder->entries.size()) {
                const Entry& entry = folder->entries[i - 2];
                name = entry.name;
                isFolder = entry.folder;
                ino = IdOf(Join(path, name));
            } else {
                break;
            }
            const std::size_t length = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + name.size());
            if (used + length > room) {
                break;
            }
            fuse_dirent head{};
            head.ino = ino;
            head.off = i + 1;
            head.namelen = static_cast<std::uint32_t>(name.size());
            head.type = isFolder ? DT_DIR : DT_REG;
            std::memset(data_.data() + used, 0, length);
            std::memcpy(data_.data() + used, &head, FUSE_NAME_OFFSET);
            std::memcpy(data_.data() + used + FUSE_NAME_OFFSET, name.data(), name.size());
            used += length;
        }
        Reply(in, data_.data(), used);
    }

    void StatFs(const fuse_in_header& in) {
        struct statvfs vfs {};
        if (::fstatvfs(root_, &vfs) != 0) {
            return Fail(in, errno);
        }
        fuse_statfs_out out{};
        out.st.blocks = vfs.f_blocks;
        out.st.bfree = vfs.f_bfree;
        out.st.bavail = vfs.f_bavail;
        out.st.files = vfs.f_files;
        out.st.ffree = vfs.f_ffree;
        out.st.bsize = static_cast<std::uint32_t>(vfs.f_bsize);
        out.st.frsize = static_cast<std::uint32_t>(vfs.f_frsize);
        out.st.namelen = 255;  // FAT's long names
        Reply(in, &out, sizeof out);
    }

    // The folder of node `id`, read again when it changed since; 0, or the
    // error to answer.
    int LoadFolder(std::uint64_t id, const Folder** found) {
        struct stat st {};
        if (const int error = StatNode(id, &st)) {
            return error;
        }
        if (!S_ISDIR(st.st_mode)) {
            return ENOTDIR;
        }
        auto cached = folders_.find(id);
        if (cached != folders_.end() && SameTime(cached->second.mtime, st.st_mtim) &&
            SameTime(cached->second.ctime, st.st_ctim)) {
            *found = &cached->second;
            return 0;
        }
        const std::string& path = paths_[id];
        const int fd = ::openat(root_, path.empty() ? "." : path.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            const int error = errno;
            ::close(fd);
            return error;
        }
        Folder folder;
        folder.mtime = st.st_mtim;
        folder.ctime = st.st_ctim;
        while (const dirent* d = ::readdir(dir)) {
            const std::string_view name = d->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            bool isFolder = d->d_type == DT_DIR;
            bool isFile = d->d_type == DT_REG;
            struct stat entry {};
            if (d->d_type == DT_UNKNOWN &&
                ::fstatat(::dirfd(dir), d->d_name, &entry, AT_SYMLINK_NOFOLLOW) == 0) {
                isFolder = S_ISDIR(entry.st_mode);
                isFile = S_ISREG(entry.st_mode);
            }
            // What FAT cannot hold is not on the stick.
            if (isFolder || isFile) {
                folder.entries.push_back({std::string(name), isFolder});
            }
        }
        ::closedir(dir);
        std::sort(folder.entries.begin(), folder.entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });
        std::vector<std::string> names;
        names.reserve(folder.entries.size());
        for (const Entry& entry : folder.entries) {
            names.push_back(entry.name);
        }
        folder.index = stick::NameIndex(names);
        auto& slot = folders_[id];
        slot = std::move(folder);
        *found = &slot;
        return 0;
    }

    int StatNode(std::uint64_t id, struct stat* st) const {
        if (id == 0 || id >= paths_.size()) {
            return ENOENT;
        }
        return StatPath(paths_[id], st);
    }

    int StatPath(const std::string& path, struct stat* st) const {
        const int result = path.empty() ? ::fstat(root_, st)
                                        : ::fstatat(root_, path.c_str(), st, AT_SYMLINK_NOFOLLOW);
        return result == 0 ? 0 : errno;
    }

    // The node of a path below the stick's root; a path keeps its node for
    // the whole mount, so a node is never given to another path.
    std::uint64_t IdOf(const std::string& path) {
        const auto [at, fresh] = ids_.emplace(path, paths_.size());
        if (fresh) {
            paths_.push_back(path);
        }
        return at->second;
    }

    static fuse_attr AttrOf(std::uint64_t id, const struct stat& st) {
        const bool folder = S_ISDIR(st.st_mode);
        fuse_attr attr{};
        attr.ino = id;
        attr.size = static_cast<std::uint64_t>(st.st_size);
        attr.blocks = (attr.size + 511) / 512;
        attr.atime = static_cast<std::uint64_t>(st.st_atim.tv_sec);
        attr.atimensec = static_cast<std::uint32_t>(st.st_atim.tv_nsec);
        attr.mtime = static_cast<std::uint64_t>(st.st_mtim.tv_sec);
        attr.mtimensec = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
        attr.ctime = static_cast<std::uint64_t>(st.st_ctim.tv_sec);
        attr.ctimensec = static_cast<std::uint32_t>(st.st_ctim.tv_nsec);
        attr.mode = (folder ? S_IFDIR : S_IFREG) | kMode;
        attr.nlink = folder ? 2 : 1;
        attr.uid = 0;
        attr.gid = 0;
        attr.blksize = 4096;
        return attr;
    }

    void Reply(const fuse_in_header& in, const void* data, std::size_t size) {
        Send(in, 0, data, size);
    }
    void Fail(const fuse_in_header& in, int error) { Send(in, error, nullptr, 0); }

    void Send(const fuse_in_header& in, int error, const void* data, std::size_t size) {
        fuse_out_header out{};
        out.len = static_cast<std::uint32_t>(sizeof out + size);
        out.error = -error;
        out.unique = in.unique;
        iovec parts[2] = {{&out, sizeof out}, {const_cast<void*>(data), size}};
        // A reply to a request interrupted meanwhile fails with ENOENT: nobody
        // waits for it any more.
        const ssize_t ignored = ::writev(fuse_, parts, size == 0 ? 1 : 2);
        (void)ignored;
    }

    const int fuse_;
    const int root_;
    const std::atomic<int>* pulled_;
    bool destroyed_ = false;
    std::vector<std::string> paths_;  // node id -> path below the root ("" the root)
    std::unordered_map<std::string, std::uint64_t> ids_;
    std::unordered_map<std::uint64_t, Folder> folders_;
    std::unordered_set<int> open_;  // descriptors of the files the kernel holds open
    std::vector<char> data_;        // the reply being built
};

}  // namespace

void ServeStick(int fuse, int root, const std::atomic<int>& pulled) {
    Server server(fuse, root, &pulled);
    server.Run();
}

}  // namespace upd::platform
