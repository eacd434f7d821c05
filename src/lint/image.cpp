// Reads a stick image: its partition table, the FAT file system its first
// partition holds, both measured against the image file, then every file
// copied out with mtools' mcopy into a temporary folder. An image that is
// cut short, or that mcopy cannot read whole, is refused: no stick the
// instrument could mount would be left to check.
#include "lint/image.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

extern char** environ;

namespace upd::lint {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::size_t kBootSignatureAt = 510;
constexpr std::size_t kPartitionTableAt = 446;
constexpr std::size_t kPartitionEntrySize = 16;

std::uint32_t Le(const unsigned char* at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | at[i];
    }
    return value;
}

// One sector of the image at `offset`; false when the image ends before it.
bool ReadSector(std::ifstream& in, std::uint64_t offset, std::array<unsigned char, kSector>* out) {
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(out->data()), kSector);
    return in.gcount() == static_cast<std::streamsize>(kSector);
}

bool Signed(const std::array<unsigned char, kSector>& sector) {
    return sector[kBootSignatureAt] == 0x55 && sector[kBootSignatureAt + 1] == 0xAA;
}

// Where the FAT file system of the image starts, after checking that the
// partition table and the file system's own size fit the image; 0 with
// `error` set when they do not.
std::uint64_t FileSystemOffset(const std::string& image, std::string* error) {
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "the image " + image + " is no regular file";
        return 0;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::ifstream in(image, std::ios::binary);
    std::array<unsigned char, kSector> sector{};
    if (!in || !ReadSector(in, 0, &sector) || !Signed(sector)) {
        *error = "the image " + image + " has no partition table";
        return 0;
    }
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < 4 && length == 0; ++i) {
        const unsigned char* entry = sector.data() + kPartitionTableAt + i * kPartitionEntrySize;
        if (entry[4] != 0) {
            start = Le(entry + 8, 4) * kSector;
            length = Le(entry + 12, 4) * kSector;
        }
    }
    if (start == 0 || length == 0) {
        *error = "the partition table of " + image + " holds no partition";
        return 0;
    }
    if (start + length > size) {
        *error = "the image " + image + " is cut short: its partition ends at byte " +
                 std::to_string(start + length) + ", the file holds " + std::to_string(size);
        return 0;
    }
    if (!ReadSector(in, start, &sector) || !Signed(sector)) {
        *error = "the partition of " + image + " holds no FAT file system";
        return 0;
    }
    const std::uint64_t bytesPerSector = Le(sector.data() + 11, 2);
    const std::uint32_t small = Le(sector.data() + 19, 2);
    const std::uint64_t sectors = small != 0 ? small : Le(sector.data() + 32, 4);
    if (bytesPerSector < 512 || bytesPerSector > 4096 ||
        (bytesPerSector & (bytesPerSector - 1)) != 0 || sectors == 0) {
        *error = "the partition of " + image + " holds no FAT file system";
        return 0;
    }
    if (sectors * bytesPerSector > length) {
        *error = "the FAT file system of " + image + " claims " +
                 std::to_string(sectors * bytesPerSector) + " bytes, more than its partition's " +
                 std::to_string(length);
        return 0;
    }
    return start;
}

// Runs a program with standard input and output on /dev/null and its errors
// in `errors`; its exit status, or -1 when it cannot be started or does not
// exit. Names are UTF-8 on the instrument's stick and short names in code
// page 437, as its vfat mount reads them: in another locale mtools would turn
// the characters beyond ASCII into others.
int Run(std::vector<std::string> argv, const std::string& errors) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char*> args;
    for (std::string& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    // mtools checks a file system's geometry against the partition table;
    // the tools that made the image need not agree with it.
    std::vector<std::string> variables = {"LC_ALL=C.UTF-8", "DEFAULT_CODEPAGE=437",
                                          "MTOOLS_SKIP_CHECK=1"};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view v = *e;
        if (!v.starts_with("LC_ALL=") && !v.starts_with("DEFAULT_CODEPAGE=") &&
            !v.starts_with("MTOOLS_SKIP_CHECK=")) {
            variables.emplace_back(v);
        }
    }
    std::vector<char*> env;
    for (std::string& v : variables) {
        env.push_back(v.data());
    }
    env.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The first line a program wrote to its error file.
std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

StickImage::StickImage(const std::string& image, const std::string& under) {
    const std::uint64_t offset = FileSystemOffset(image, &error_);
    if (!error_.empty()) {
        return;
    }
    const std::filesystem::path parent =
        under.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(under);
    std::string dir = (parent / "update-lint.XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) {
        error_ = "cannot make a temporary directory";
        return;
    }
    base_ = dir;
    root_ = dir + "/stick";
    const std::string errors = dir + "/mcopy-errors";
    if (::mkdir(root_.c_str(), 0700) != 0) {
        error_ = "cannot make a temporary directory";
        return;
    }
    const int status =
        Run({"mcopy", "-s", "-n", "-i", image + "@@" + std::to_string(offset), "::/", root_ + "/"},
            errors);
    if (status < 0) {
        error_ = "cannot run mcopy (install mtools)";
    } else if (status != 0) {
        const std::string said = FirstLine(errors);
        error_ = "mcopy cannot read the FAT file system of " + image + " whole" +
                 (said.empty() ? "" : ": " + said);
    }
}

StickImage::~StickImage() {
    if (!base_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }
}

}  // namespace upd::lint
