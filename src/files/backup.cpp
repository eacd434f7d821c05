// Durable replacement of installed files: fsync of directories, temporary
// names beside a path, and backups made while the original stays in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "files/file.h"

namespace upd {
namespace {

// Tag of the temporary name a backup is made under.
constexpr std::string_view kBackupTag = "backup-tmp";
// Temporary names tried before giving up, when something that cannot be
// removed (a directory) sits on the first ones.
constexpr int kAttempts = 8;

// 64-bit FNV-1a: tells long names apart once they are shortened.
std::uint64_t NameHash(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

// True for the errors of link(2) that mean "no hard link here" rather than
// "no backup here": another file system, or one without hard links (ENOTSUP
// is EOPNOTSUPP on Linux), or a file with as many links as it may have.
bool NoHardLinkHere(int error) {
    return error == EXDEV || error == EPERM || error == ENOTSUP || error == EMLINK;
}

enum class Made { kDone, kNameTaken, kFailed };

// Gives `temp` the content of `installed`: a hard link, else a copy on the
// disk with the installed file's mode (as far as the file system keeps modes).
Made LinkOrCopy(const char* installed, const std::string& temp) {
    if (::link(installed, temp.c_str()) == 0) {
        return Made::kDone;
    }
    if (errno == EEXIST) {
        return Made::kNameTaken;
    }
    if (!NoHardLinkHere(errno)) {
        return Made::kFailed;
    }
    if (exists(temp.c_str())) {
        return Made::kNameTaken;
    }
    if (!CopyFileNoSystemSync(installed, temp.c_str())) {
        ::unlink(temp.c_str());
        return Made::kFailed;
    }
    struct stat st {};
    if (::stat(installed, &st) == 0 && ::chmod(temp.c_str(), st.st_mode & 07777) == 0 &&
        !SyncFile(temp.c_str())) {
        // (A file system without modes refuses the chmod; the content is
        // what counts, and it is on the disk.)
        ::unlink(temp.c_str());
        return Made::kFailed;
    }
    return Made::kDone;
}

}  // namespace

int SyncDirectory(const char* dir) {
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced ? 1 : 0;
}

int SyncFile(const char* path) {
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        return 0;
    }
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced ? 1 : 0;
}

int SyncDirectoryOf(const char* path) {
    std::string_view p(path);
    std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) {
        return SyncDirectory(".");
    }
    return SyncDirectory(slash == 0 ? "/" : std::string(p.substr(0, slash)).c_str());
}

std::string TemporaryPath(std::string_view path, std::string_view tag, int attempt) {
    std::size_t slash = path.rfind('/');
    std::string_view dir = slash == std::string_view::npos ? "" : path.substr(0, slash + 1);
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::string suffix = "." + std::string(tag);
    if (attempt != 0) {
        suffix += "." + std::to_string(attempt);
    }
    std::string name = "." + std::string(last) + suffix;
    if (name.size() > NAME_MAX) {
        char hash[20];
        std::snprintf(hash, sizeof hash, "~%016llx",
                      static_cast<unsigned long long>(NameHash(last)));
        std::size_t keep = NAME_MAX - 1 - std::string_view(hash).size() - suffix.size();
        name = "." + std::string(last.substr(0, keep)) + hash + suffix;
    }
    return std::string(dir) + name;
}

int NamesAnyOf(const char* candidate, std::span<const char* const> paths) {
    for (const char* path : paths) {
        if (path != nullptr && (SamePath(candidate, path) || SameEntry(candidate, path))) {
            return 1;
        }
    }
    return 0;
}

std::vector<std::string> TemporaryCandidates(std::string_view path, std::string_view tag,
                                             std::span<const char* const> avoid, int count) {
    std::vector<std::string> names;
    // Each path to avoid is one attempt's name at most.
    const int attempts = count + static_cast<int>(avoid.size());
    for (int attempt = 0; attempt < attempts && static_cast<int>(names.size()) < count; ++attempt) {
        std::string name = TemporaryPath(path, tag, attempt);
        if (!NamesAnyOf(name.c_str(), avoid)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

int MakeBackup(const char* installed, const char* backup,
               std::initializer_list<const char*> avoid) {
    std::vector<const char*> taken{installed, backup};
    taken.insert(taken.end(), avoid);
    for (const std::string& temp : TemporaryCandidates(backup, kBackupTag, taken, kAttempts)) {
        // What an interrupted run left under the name goes first.
        ::unlink(temp.c_str());
        switch (LinkOrCopy(installed, temp)) {
            case Made::kNameTaken:
                continue;
            case Made::kFailed:
                return 0;
            case Made::kDone:
                break;
        }
        if (ReplaceFile(temp.c_str(), backup) != kRenameDone) {
            ::unlink(temp.c_str());
            return 0;
        }
        return 1;
    }
    return 0;
}

}  // namespace upd
