// Temporary names beside a destination, the rename that never replaces, and
// the folder sync that makes a rename durable.
#include "pack/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace upd::pack {
namespace {

namespace fs = std::filesystem;

// `path` without trailing slashes, split into its folder and its name.
void Split(const std::string& path, fs::path* folder, std::string* name) {
    fs::path p(path);
    while (p.has_relative_path() && p.filename().empty()) {
        p = p.parent_path();
    }
    *folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
    *name = p.filename().string();
}

}  // namespace

std::string TemplateBeside(const std::string& path) {
    fs::path folder;
    std::string name;
    Split(path, &folder, &name);
    return (folder / ("." + name + ".update-pack-XXXXXX")).string();
}

bool MoveNew(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL) {
        return false;
    }
    // File systems without the flag: test, then rename.
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool SyncFolderOf(const std::string& path) {
    fs::path folder;
    std::string name;
    Split(path, &folder, &name);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace upd::pack
