// Walks and looks up a folder standing for a stick with the mount's name rules.
#include "stick/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "stick/fat_name.h"

namespace upd::stick {

namespace {

// The names the folder open at `fd` holds from its offset on, "." and ".."
// left out, sorted. Read into a buffer on the stack: readdir's own buffer of
// 32 KiB for each folder would cost more than the listing of a stick's folder.
std::optional<std::vector<std::string>> ReadNames(int fd) {
    std::vector<std::string> names;
    alignas(8) char buffer[4096];
    ssize_t got = 0;
    while ((got = ::getdents64(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
        }
    }
    if (got < 0) {
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::optional<std::vector<std::string>> ListNames(int dirfd) {
    const int own = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) {
        return std::nullopt;
    }
    std::optional<std::vector<std::string>> names = ReadNames(own);
    ::close(own);
    return names;
}

std::optional<std::vector<std::string>> ListNames(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::vector<std::string>> names = ReadNames(fd);
    ::close(fd);
    return names;
}

namespace {

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// The names of one folder met so far, by the keys that find them.
class FolderNames {
  public:
    // Records `name` (shown as `entry`); the entry met before that one FAT
    // folder cannot hold beside it, or null.
    const std::string* Add(const std::string& name, const std::string& entry) {
        const std::string key = NameKey(name);
        const std::optional<std::string> alias = ShortAlias(name);
        const std::string aliasKey = alias ? NameKey(*alias) : std::string();
        for (const std::string* other :
             {Lookup(names_, key), Lookup(aliases_, key), Lookup(names_, aliasKey)}) {
            if (other != nullptr) {
                return other;
            }
        }
        names_.emplace(key, entry);
        if (!aliasKey.empty()) {
            aliases_.emplace(aliasKey, entry);
        }
        return nullptr;
    }

  private:
    static const std::string* Lookup(const std::map<std::string, std::string>& keys,
                                     const std::string& key) {
        const auto at = keys.find(key);
        return key.empty() || at == keys.end() ? nullptr : &at->second;
    }

    std::map<std::string, std::string> names_;    // key of a name -> its entry
    std::map<std::string, std::string> aliases_;  // key of an 8.3 alias -> its entry
};

class Walker {
  public:
    std::vector<TreeProblem> problems;

    // `dirfd` is the walk's own: its listing is read where it stands.
    void Folder(int dirfd, const std::string& path) {
        const std::optional<std::vector<std::string>> names = ReadNames(dirfd);
        if (!names) {
            Report(EntryFault::kUnreadable, path, "", "cannot be read");
            return;
        }
        FolderNames seen;
        for (const std::string& name : *names) {
            const std::string entry = Join(path, name);
            if (const NameFault fault = CheckName(name); fault != NameFault::kNone) {
                Report(EntryFault::kName, entry, "", DescribeFault(name, fault));
            } else if (const std::string* other = seen.Add(name, entry)) {
                Report(EntryFault::kSameName, entry, *other,
                       "has the same FAT name as " + *other +
                           ": letter case, trailing dots and 8.3 aliases make one name of "
                           "them on FAT, and one would replace the other");
            }
            Entry(dirfd, name, entry);
        }
    }

  private:
    void Entry(int dirfd, const std::string& name, const std::string& path) {
        struct stat st {};
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            Report(EntryFault::kUnreadable, path, "", "cannot be examined");
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            const int sub =
                ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                Report(EntryFault::kUnreadable, path, "", "cannot be read");
                return;
            }
            Folder(sub, path);
            ::close(sub);
        } else if (S_ISLNK(st.st_mode)) {
            Report(EntryFault::kSymlink, path, "", "is a symbolic link, which FAT cannot hold");
        } else if (!S_ISREG(st.st_mode)) {
            Report(EntryFault::kSpecial, path, "",
                   "is no regular file (a FIFO, socket or device), which FAT cannot hold");
        } else if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
            Report(EntryFault::kTooLarge, path, "",
                   "has " + std::to_string(st.st_size) +
                       " bytes; a FAT file holds at most 4 GiB less one byte");
        }
    }

    void Report(EntryFault fault, const std::string& path, const std::string& other,
                const std::string& why) {
        problems.push_back({fault, path, other, (path.empty() ? "the stick" : path) + " " + why});
    }
};

// Opens the folder reached from `root` through the entries `parts`, none of
// them followed if it is a symbolic link; -1 when one is missing or no folder.
int OpenFolder(const std::string& root, const std::vector<std::string>& parts) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& part : parts) {
        if (fd < 0) {
            break;
        }
        const int next =
            ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

bool IsFolder(const std::string& root, const std::vector<std::string>& parts) {
    const int fd = OpenFolder(root, parts);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

std::vector<TreeProblem> CheckTree(const std::string& root) {
    Walker walker;
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        walker.problems.push_back({EntryFault::kUnreadable, "", "", root + " cannot be read"});
        return walker.problems;
    }
    walker.Folder(fd, "");
    ::close(fd);
    std::stable_sort(walker.problems.begin(), walker.problems.end(),
                     [](const TreeProblem& a, const TreeProblem& b) { return a.path < b.path; });
    return walker.problems;
}

NameIndex::NameIndex(const std::vector<std::string>& names) {
    // Where several entries match (a folder no FAT stick holds), the first in
    // byte order; an entry's own name before another's alias.
    const auto keep = [](std::unordered_map<std::string, std::string>& map, std::string key,
                         const std::string& name) {
        auto [at, fresh] = map.emplace(std::move(key), name);
        if (!fresh && name < at->second) {
            at->second = name;
        }
    };
    for (const std::string& name : names) {
        if (CheckName(name) != NameFault::kNone) {
            continue;
        }
        keep(byKey_, NameKey(name), name);
        if (const std::optional<std::string> alias = ShortAlias(name)) {
            keep(byAlias_, NameKey(*alias), name);
        }
    }
}

const std::string* NameIndex::Find(std::string_view wanted) const {
    const std::string key = NameKey(wanted);
    if (key.empty()) {
        return nullptr;
    }
    if (const auto at = byKey_.find(key); at != byKey_.end()) {
        return &at->second;
    }
    const auto at = byAlias_.find(key);
    return at == byAlias_.end() ? nullptr : &at->second;
}

std::optional<std::string> FindName(const std::vector<std::string>& names,
                                    std::string_view wanted) {
    const NameIndex index(names);
    const std::string* found = index.Find(wanted);
    return found ? std::optional<std::string>(*found) : std::nullopt;
}

std::optional<std::string> FindEntry(int dirfd, std::string_view wanted) {
    const std::optional<std::vector<std::string>> names = ListNames(dirfd);
    return names ? FindName(*names, wanted) : std::nullopt;
}

std::optional<std::string> Resolve(const std::string& root, std::string_view relative) {
    // A path that ends in a slash names a folder, as in the kernel.
    const bool folderWanted = relative.ends_with('/');
    std::vector<std::string> parts;  // the entries found so far, from the root
    while (!relative.empty()) {
        const std::size_t slash = relative.find('/');
        const std::string_view part = relative.substr(0, slash);
        relative =
            slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            // The kernel climbs out of folders only: "file/.." finds nothing.
            if (parts.empty() || !IsFolder(root, parts)) {
                return std::nullopt;
            }
            parts.pop_back();
            continue;
        }
        const int fd = OpenFolder(root, parts);
        if (fd < 0) {
            return std::nullopt;
        }
        std::optional<std::string> found = FindEntry(fd, part);
        ::close(fd);
        if (!found) {
            return std::nullopt;
        }
        parts.push_back(std::move(*found));
    }
    if (folderWanted && !IsFolder(root, parts)) {
        return std::nullopt;
    }
    std::string path;
    for (const std::string& p : parts) {
        path = Join(path, p);
    }
    return path;
}

}  // namespace upd::stick
