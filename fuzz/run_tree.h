// The whole-run fuzz target's view of the sandbox's files: a snapshot of the
// tree as path -> mode and content, and the one spelling of a path that the
// model keys its files by.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
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

// The sandbox's mounts (the host's folders, /dev/null, the read-only
// folders that hold them): there, but not the sandbox's own, so never walked
// into or removed. Read from the kernel's list once the sandbox is entered; a
// run mounts nothing and cannot move or remove a mount, so they stay.
inline std::set<std::string>& Mounts() {
    static std::set<std::string> mounts;
    return mounts;
}

// Notes the mount points below the root, as /proc/self/mountinfo lists them
// (its fifth field, with spaces and the like written as \ooo).
inline void NoteMounts() {
    FILE* info = std::fopen("/proc/self/mountinfo", "r");
    FUZZ_CHECK(info != nullptr);
    char line[4096];
    while (std::fgets(line, sizeof line, info) != nullptr) {
        char point[4096];
        FUZZ_CHECK(std::sscanf(line, "%*s %*s %*s %*s %4095s", point) == 1);
        std::string path;
        for (const char* p = point; *p != '\0'; ++p) {
            if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' &&
                p[3] >= '0' && p[3] <= '7') {
                path += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
                p += 3;
            } else {
                path += *p;
            }
        }
        if (path != "/") {
            Mounts().insert(path);
        }
    }
    std::fclose(info);
}

// Whether `p` is a mount or lies in one.
inline bool InMount(const std::string& p) {
    for (const std::string& m : Mounts()) {
        if (p == m ||
            (p.size() > m.size() && p.compare(0, m.size(), m) == 0 && p[m.size()] == '/')) {
            return true;
        }
    }
    return false;
}

// The sandbox's own files and folders (mounts left out), by absolute path.
struct Tree {
    std::map<std::string, FileState> files;
    std::set<std::string> dirs;
    // Whether the files' contents were read with the tree.
    bool contents = false;

    bool Exists(const std::string& p) const { return files.count(p) || dirs.count(p); }
    bool IsFile(const std::string& p) const { return files.count(p) != 0; }
    bool IsDir(const std::string& p) const { return dirs.count(p) != 0; }
    static std::string Parent(const std::string& p) {
        size_t slash = p.rfind('/');
        return slash == 0 ? "/" : p.substr(0, slash);
    }
    bool ParentIsDir(const std::string& p) const { return Parent(p) == "/" || IsDir(Parent(p)); }
};

// The bytes of the open file `fd`, `size` long.
inline void ReadContent(int fd, size_t size, std::string* out) {
    out->resize(size);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, out->data() + done, size - done);
        FUZZ_CHECK(got > 0);
        done += static_cast<size_t>(got);
    }
}

// Adds what the folder `dirfd` (at `dir`) holds to `tree`, depth first,
// leaving the mounts out. Regular files' contents are read when the tree asks
// for them; ContentOf() reads one otherwise.
inline void Walk(int dirfd, const std::string& dir, Tree* tree) {
    // Read with getdents64 into a buffer on the stack: readdir's own 32 KiB
    // buffer per folder would be most of the cost of a walk. The entries'
    // types spare a stat of each folder.
    alignas(8) char buf[4096];
    // Read until the kernel gives nothing more: a short read does not mean
    // the end of the folder (tmpfs returns one before its end after some
    // renames and removals), and an entry missed is a file or folder the
    // sandbox is never taken back from.
    for (long n = 1; n > 0;) {
        n = ::syscall(SYS_getdents64, dirfd, buf, sizeof buf);
        FUZZ_CHECK(n >= 0);
        for (long at = 0; at < n;) {
            const auto* e = reinterpret_cast<const dirent64*>(buf + at);
            at += e->d_reclen;
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
                continue;
            }
            std::string path = dir + "/" + e->d_name;
            if (Mounts().count(path)) {
                continue;
            }
            struct stat st {};
            if (e->d_type == DT_DIR) {
                const std::string& added = *tree->dirs.insert(std::move(path)).first;
                const int sub =
                    ::openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    Walk(sub, added, tree);
                    ::close(sub);
                }
                continue;
            }
            if (e->d_type == DT_REG && tree->contents) {
                const int fd = ::openat(dirfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                FUZZ_CHECK(fd >= 0 && ::fstat(fd, &st) == 0);
                FileState& f = tree->files[std::move(path)];
                f.mode = st.st_mode & 07777;
                f.size = static_cast<size_t>(st.st_size);
                ReadContent(fd, f.size, &f.content);
                ::close(fd);
                continue;
            }
            if (::fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            FUZZ_CHECK(!S_ISDIR(st.st_mode));  // the sandbox's file system gives every type
            FileState& f = tree->files[std::move(path)];
            f.mode = st.st_mode & 07777;
            f.size = static_cast<size_t>(st.st_size);
            if (!S_ISREG(st.st_mode)) {
                f.mode |= S_IFMT;  // never the mode of a file the model makes
            }
        }
    }
}

// The content of a file of the sandbox.
inline std::string ContentOf(const std::string& path) {
    std::string bytes;
    FUZZ_CHECK(ReadWhole(path, &bytes));
    return bytes;
}

// The content of a file of `tree`, read with it or now.
inline std::string ContentOf(const Tree& tree, const std::string& path) {
    const auto file = tree.files.find(path);
    if (tree.contents && file != tree.files.end()) {
        return file->second.content;
    }
    return ContentOf(path);
}

// What the sandbox holds now, with the files' contents or without.
inline Tree Snapshot(bool contents) {
    const int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(root >= 0);
    Tree tree;
    tree.contents = contents;
    Walk(root, "", &tree);
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
