// The whole-run fuzz target's view of the sandbox's files: a snapshot of the
// tree as path -> mode and content, and the one spelling of a path that the
// model keys its files by.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace upd::fuzz {

struct FileState {
    std::string content;  // left empty by a walk that reads no contents
    mode_t mode = 0;
    size_t size = 0;
};

// The sandbox's own files and folders (mounts left out), by absolute path.
struct Tree {
    std::map<std::string, FileState> files;
    std::set<std::string> dirs;
    // The sandbox's mounts (the host's folders, /dev/null): there, but not
    // the sandbox's own, so never walked into or removed.
    std::set<std::string> mounts;

    // Whether `p` is a mount or lies in one.
    bool InMount(const std::string& p) const {
        for (const std::string& m : mounts) {
            if (p == m ||
                (p.size() > m.size() && p.compare(0, m.size(), m) == 0 && p[m.size()] == '/')) {
                return true;
            }
        }
        return false;
    }

    bool Exists(const std::string& p) const { return files.count(p) || dirs.count(p); }
    bool IsFile(const std::string& p) const { return files.count(p) != 0; }
    bool IsDir(const std::string& p) const { return dirs.count(p) != 0; }
    static std::string Parent(const std::string& p) {
        size_t slash = p.rfind('/');
        return slash == 0 ? "/" : p.substr(0, slash);
    }
    bool ParentIsDir(const std::string& p) const { return Parent(p) == "/" || IsDir(Parent(p)); }
};

// Adds what the folder `dirfd` (at `dir`) holds to `tree`, depth first; other
// file systems (the sandbox's mounts) are left out. Files' contents are read
// only with `contents`; ContentOf() reads one when it is needed.
inline void Walk(int dirfd, const std::string& dir, dev_t dev, bool contents, Tree* tree) {
    // Read with getdents64 into a buffer on the stack: readdir's own 32 KiB
    // buffer per folder would be most of the cost of a walk.
    alignas(8) char buf[4096];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, dirfd, buf, sizeof buf);
        FUZZ_CHECK(n >= 0);
        if (n == 0) {
            break;
        }
        for (long at = 0; at < n;) {
            const auto* e = reinterpret_cast<const dirent64*>(buf + at);
            at += e->d_reclen;
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
                continue;
            }
            std::string path = dir + "/" + e->d_name;
            struct stat st {};
            if (::fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            if (st.st_dev != dev) {
                tree->mounts.insert(std::move(path));
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                const std::string& added = *tree->dirs.insert(std::move(path)).first;
                const int sub =
                    ::openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    Walk(sub, added, dev, contents, tree);
                    ::close(sub);
                }
                continue;
            }
            FileState& f = tree->files[std::move(path)];
            f.mode = st.st_mode & 07777;
            f.size = static_cast<size_t>(st.st_size);
            if (!S_ISREG(st.st_mode)) {
                f.mode |= S_IFMT;  // never the mode of a file the model makes
                continue;
            }
            if (!contents) {
                continue;
            }
            const int fd = ::openat(dirfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            FUZZ_CHECK(fd >= 0);
            f.content.resize(f.size);
            size_t done = 0;
            while (done < f.content.size()) {
                const ssize_t got = ::read(fd, f.content.data() + done, f.content.size() - done);
                FUZZ_CHECK(got > 0);
                done += static_cast<size_t>(got);
            }
            ::close(fd);
        }
    }
}

// The content of a file of the sandbox.
inline std::string ContentOf(const std::string& path) {
    std::string bytes;
    FUZZ_CHECK(ReadWhole(path, &bytes));
    return bytes;
}

// What the sandbox holds now.
inline Tree Snapshot(bool contents) {
    int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(root >= 0);
    struct stat st {};
    FUZZ_CHECK(::fstat(root, &st) == 0);
    Tree tree;
    Walk(root, "", st.st_dev, contents, &tree);
    ::close(root);
    return tree;
}

// The one spelling of a path that the model keys its files by: absolute,
// repeated slashes and "." parts dropped (the tree has no symbolic links).
// None for a path the model does not follow: relative, with "..", or ending
// in a slash or "." (a folder where a file is meant); any run with one is
// checked only for the invariants that hold for every run.
inline std::optional<std::string> Normalized(const std::string& p, bool folder = false) {
    if (p.empty() || p[0] != '/' || p.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::string out;
    size_t start = 1;
    while (start <= p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) {
            end = p.size();
        }
        const std::string part = p.substr(start, end - start);
        const bool last = end == p.size();
        if (part == "..") {
            return std::nullopt;
        }
        if (part.empty() || part == ".") {
            if (last && !folder) {
                return std::nullopt;
            }
        } else {
            out += "/" + part;
        }
        start = end + 1;
    }
    if (out.empty()) {
        return std::nullopt;  // the root itself
    }
    return out;
}

}  // namespace upd::fuzz
