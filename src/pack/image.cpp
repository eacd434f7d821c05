// The stick image: a sparse file sized to the content, partitioned with
// sfdisk, formatted with mkfs.vfat and filled with mcopy.
#include "pack/image.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "pack/tool.h"

namespace upd::pack {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMinimumPartition = 64 * kMiB;
// The largest cluster mkfs.vfat picks for a FAT32 volume of a stick's size:
// each file or folder may waste up to one.
constexpr std::uint64_t kClusterSlack = 32 * 1024;
// Boot sectors, tables and directories beyond the per-file slack.
constexpr std::uint64_t kFixedOverhead = 8 * kMiB;

// mtools checks a FAT's geometry against the drive's; an image has none.
const std::vector<std::string> kMtoolsEnvironment = {"MTOOLS_SKIP_CHECK=1"};

struct Tools {
    std::string sfdisk, mkfs, mcopy;
};

bool FindTools(Tools* tools, std::string* error) {
    struct Wanted {
        std::string* path;
        const char* name;
        const char* package;
    };
    const Wanted wanted[] = {{&tools->sfdisk, "sfdisk", "fdisk"},
                             {&tools->mkfs, "mkfs.vfat", "dosfstools"},
                             {&tools->mcopy, "mcopy", "mtools"}};
    for (const Wanted& w : wanted) {
        *w.path = FindTool(w.name);
        if (w.path->empty()) {
            *error = std::string("cannot make the image: ") + w.name +
                     " not found (install the package " + w.package + ")";
            return false;
        }
    }
    return true;
}

// Runs one tool; false with *error holding its command and output on failure.
bool Run(const std::vector<std::string>& argv, std::string_view input,
         const std::vector<std::string>& environment, std::string* error) {
    const ToolRun run = RunTool(argv, input, environment);
    if (run.ran && run.status == 0) {
        return true;
    }
    *error = "cannot make the image: " + argv[0] +
             (run.ran ? " failed (status " + std::to_string(run.status) + ")"
                      : std::string(" could not be run"));
    if (!run.output.empty()) {
        *error += ":\n" + run.output;
    }
    return false;
}

// Bytes of file content and number of entries below `dir`.
bool Measure(const std::string& dir, std::uint64_t* bytes, std::uint64_t* entries) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        ++*entries;
        if (it->is_regular_file(ec)) {
            *bytes += it->file_size(ec);
        }
    }
    return !ec;
}

}  // namespace

std::uint64_t PartitionSize(std::uint64_t bytes, std::uint64_t entries) {
    const std::uint64_t wanted = bytes + bytes / 16 + entries * kClusterSlack + kFixedOverhead;
    return std::max(kMinimumPartition, (wanted + kMiB - 1) / kMiB * kMiB);
}

std::string PartitionOf(const std::string& imagePath) {
    return imagePath + "@@" + std::to_string(kPartitionOffset / kMiB) + "M";
}

bool WriteStickImage(const std::string& contentDir, const std::string& imagePath,
                     std::string* error) {
    Tools tools;
    if (!FindTools(&tools, error)) {
        return false;
    }
    std::uint64_t bytes = 0;
    std::uint64_t entries = 0;
    if (!Measure(contentDir, &bytes, &entries)) {
        *error = "cannot read " + contentDir;
        return false;
    }
    const std::uint64_t partition = PartitionSize(bytes, entries);

    // A sparse file of the whole image: the tools write only what they use.
    std::error_code ec;
    fs::remove(imagePath, ec);
    if (FILE* f = std::fopen(imagePath.c_str(), "wb")) {
        std::fclose(f);
    }
    fs::resize_file(imagePath, kPartitionOffset + partition, ec);
    if (ec) {
        *error = "cannot create " + imagePath + ": " + ec.message();
        return false;
    }

    const std::string sectors = std::to_string(partition / 512);
    const std::string table = "label: dos\nstart=" + std::to_string(kPartitionOffset / 512) +
                              ", size=" + sectors + ", type=c\n";
    if (!Run({tools.sfdisk, "--no-reread", "--no-tell-kernel", "--quiet", imagePath}, table, {},
             error)) {
        return false;
    }
    if (!Run({tools.mkfs, "-F", "32", "-n", std::string(kStickLabel), "--offset",
              std::to_string(kPartitionOffset / 512), imagePath, std::to_string(partition / 1024)},
             {}, {}, error)) {
        return false;
    }

    // Every top-level entry of the content, folders copied whole.
    std::vector<std::string> copy = {tools.mcopy, "-s", "-m", "-Q", "-i", PartitionOf(imagePath)};
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(contentDir, ec)) {
        names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    if (ec) {
        *error = "cannot read " + contentDir;
        return false;
    }
    if (names.empty()) {
        return true;
    }
    copy.insert(copy.end(), names.begin(), names.end());
    copy.push_back("::/");
    return Run(copy, {}, kMtoolsEnvironment, error);
}

}  // namespace upd::pack
