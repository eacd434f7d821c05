// Copies a stick image's files out with mcopy into a temporary directory.
#include "lint/image.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

extern char** environ;

namespace upd::lint {

namespace {

// The partition of a stick image starts 1 MiB in, as the partitioning tools
// align it.
constexpr char kPartitionOffset[] = "@@1M";

// Runs a program with standard input and output closed to /dev/null; its
// exit status, or -1 when it cannot be started.
int RunQuietly(std::vector<std::string> argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (std::string& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    // mtools checks a file system's geometry against the partition table;
    // the tools that made the image need not agree with it.
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    // Names are UTF-8 on the instrument's stick and short names in code page
    // 437, as its vfat mount reads them; in another locale mtools would turn
    // the characters beyond ASCII into others.
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::setenv("DEFAULT_CODEPAGE", "437", 1);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

StickImage::StickImage(const std::string& image, const std::string& under) {
    if (::access(image.c_str(), R_OK) != 0) {
        error_ = "cannot read the image " + image;
        return;
    }
    const std::filesystem::path parent =
        under.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(under);
    std::string dir = (parent / "update-lint.XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) {
        error_ = "cannot make a temporary directory";
        return;
    }
    root_ = dir;
    const int status =
        RunQuietly({"mcopy", "-s", "-n", "-i", image + kPartitionOffset, "::/", root_ + "/"});
    if (status != 0) {
        error_ = status < 0 ? "cannot run mcopy (install mtools)"
                            : "mcopy cannot read a FAT file system at 1 MiB in " + image;
    }
}

StickImage::~StickImage() {
    if (!root_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
}

}  // namespace upd::lint
