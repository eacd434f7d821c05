// Judging source entries with lstat, realpath and stat, none of which opens
// the entry, so that a FIFO or a device cannot make update-pack block.
#include "pack/source_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "stick/fat_name.h"

namespace upd::pack {
namespace {

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

bool Inside(const std::string& path, const std::string& folder) {
    return path == folder || path.starts_with(folder == "/" ? folder : folder + "/");
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 && static_cast<std::size_t>(n) < sizeof target
               ? std::string(target, static_cast<std::size_t>(n))
               : std::string("?");
}

const char* KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    return "no regular file";
}

SourceEntry Refused(SourceEntry entry, const std::string& why) {
    entry.kind = SourceEntry::Kind::kRefused;
    entry.problem = entry.path + " " + why;
    return entry;
}

}  // namespace

SourceTree::SourceTree(const std::string& root, bool followLinks)
    : root_(RealPath(root.empty() ? "." : root)), followLinks_(followLinks) {}

SourceEntry SourceTree::Judge(const std::string& path) const {
    SourceEntry entry;
    entry.path = path;
    struct stat own {};
    if (::lstat(path.c_str(), &own) != 0) {
        return entry;  // missing, or a folder on the way is missing or a file
    }
    const bool link = S_ISLNK(own.st_mode);
    entry.real = RealPath(path);
    if (entry.real.empty()) {
        return Refused(
            entry, link ? "is a symbolic link to " + LinkTarget(path) + ", which leads to nothing"
                        : "cannot be resolved: " + std::string(std::strerror(errno)));
    }
    if (!followLinks_ && (root_.empty() || !Inside(entry.real, root_))) {
        return Refused(entry, (link ? "is a symbolic link to " + LinkTarget(path)
                                    : "leads through a symbolic link to " + entry.real) +
                                  ", outside the source folder " + root_ +
                                  " (--follow-links packs what such links lead to)");
    }
    struct stat st {};
    if (::stat(entry.real.c_str(), &st) != 0) {
        return Refused(entry, "cannot be examined: " + std::string(std::strerror(errno)));
    }
    if (S_ISDIR(st.st_mode)) {
        entry.kind = SourceEntry::Kind::kFolder;
        return entry;
    }
    if (!S_ISREG(st.st_mode)) {
        return Refused(entry, std::string("is ") + KindOf(st.st_mode) +
                                  "; a stick holds only files and folders");
    }
    entry.size = static_cast<std::uint64_t>(st.st_size);
    if (entry.size > stick::kMaxFileSize) {
        return Refused(entry, "has " + std::to_string(entry.size) +
                                  " bytes; a file on FAT holds at most 4 GiB less one byte");
    }
    entry.kind = SourceEntry::Kind::kFile;
    return entry;
}

std::vector<SourceEntry> SourceTree::List(const SourceEntry& folder) const {
    std::vector<SourceEntry> entries;
    std::vector<std::string> holding = {folder.real};
    ListInto(folder.path, "", &holding, &entries);
    return entries;
}

void SourceTree::ListInto(const std::string& path, const std::string& relative,
                          std::vector<std::string>* holding,
                          std::vector<SourceEntry>* entries) const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    } else {
        SourceEntry unreadable;
        unreadable.path = path;
        entries->push_back(
            Refused(unreadable, "cannot be read: " + std::string(std::strerror(errno))));
        return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        SourceEntry entry = Judge(path + "/" + name);
        entry.relative = relative.empty() ? name : relative + "/" + name;
        const bool folder = entry.kind == SourceEntry::Kind::kFolder;
        if (folder && std::find(holding->begin(), holding->end(), entry.real) != holding->end()) {
            entry = Refused(entry, "leads back to " + entry.real + ", a folder that holds it");
        }
        entries->push_back(entry);
        if (entry.kind == SourceEntry::Kind::kFolder) {
            holding->push_back(entry.real);
            ListInto(entry.path, entry.relative, holding, entries);
            holding->pop_back();
        }
    }
}

}  // namespace upd::pack
