// The stick image: a sparse file sized to the content, partitioned with
// sfdisk, formatted with mkfs.vfat, labelled with mlabel and filled with
// mcopy; identifiers and time stamps fixed so that the bytes depend on the
// content alone.
#include "pack/image.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "digest/ssl.h"
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

struct Tools {
    std::string sfdisk, mkfs, mlabel, mmd, mcopy;
};

bool FindTools(Tools* tools, std::string* error) {
    struct Wanted {
        std::string* path;
        const char* name;
        const char* package;
    };
    const Wanted wanted[] = {{&tools->sfdisk, "sfdisk", "fdisk"},
                             {&tools->mkfs, "mkfs.vfat", "dosfstools"},
                             {&tools->mlabel, "mlabel", "mtools"},
                             {&tools->mmd, "mmd", "mtools"},
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

// The mtools' environment: no geometry check (an image has no drive), names
// read as UTF-8 and short names in the instrument's code page, and "now" and
// the time zone fixed.
std::vector<std::string> MtoolsEnvironment(std::int64_t time) {
    return {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8", "DEFAULT_CODEPAGE=437", "TZ=UTC0",
            "SOURCE_DATE_EPOCH=" + std::to_string(time)};
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

// The entries below `dir` in path order, relative to it.
bool Entries(const std::string& dir, std::vector<fs::directory_entry>* entries) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        entries->push_back(*it);
    }
    std::sort(entries->begin(), entries->end(),
              [&](const fs::directory_entry& a, const fs::directory_entry& b) {
                  return a.path().lexically_relative(dir) < b.path().lexically_relative(dir);
              });
    return !ec;
}

std::string Hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

}  // namespace

std::optional<std::int64_t> ParseSourceDateEpoch(std::string_view text, std::string* error) {
    std::int64_t time = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), time);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        *error = "SOURCE_DATE_EPOCH \"" + std::string(text) + "\" is no number of seconds";
        return std::nullopt;
    }
    if (time < kFirstFatTime || time > kLastFatTime) {
        *error = "SOURCE_DATE_EPOCH " + std::string(text) +
                 " lies outside FAT's time stamps (1980 to 2107)";
        return std::nullopt;
    }
    return time;
}

std::optional<ImageIdentity> IdentifyContent(const std::string& contentDir,
                                             const std::map<std::string, std::string>& digests,
                                             std::int64_t time, std::string* error) {
    std::vector<fs::directory_entry> entries;
    if (!Entries(contentDir, &entries)) {
        *error = "cannot read " + contentDir;
        return std::nullopt;
    }
    std::string listing;
    for (const fs::directory_entry& entry : entries) {
        const std::string relative = entry.path().lexically_relative(contentDir).string();
        std::error_code ec;
        if (entry.is_directory(ec)) {
            listing += "folder  " + relative + "/\n";
            continue;
        }
        const auto known = digests.find(relative);
        char digest[65] = {};
        if (known != digests.end()) {
            listing += known->second;
        } else if (SHA256Hash(entry.path().c_str(), digest)) {
            listing += digest;
        } else {
            *error = "cannot read " + entry.path().string();
            return std::nullopt;
        }
        listing += "  " + relative + "\n";
    }
    char digest[65] = {};
    SHA256HashBytes(reinterpret_cast<const unsigned char*>(listing.data()), listing.size(), digest);
    ImageIdentity identity;
    identity.diskId = static_cast<std::uint32_t>(std::stoul(std::string(digest, 8), nullptr, 16));
    identity.volumeId =
        static_cast<std::uint32_t>(std::stoul(std::string(digest + 8, 8), nullptr, 16));
    identity.time = time;
    return identity;
}

std::uint64_t PartitionSize(std::uint64_t bytes, std::uint64_t entries) {
    const std::uint64_t wanted = bytes + bytes / 16 + entries * kClusterSlack + kFixedOverhead;
    return std::max(kMinimumPartition, (wanted + kMiB - 1) / kMiB * kMiB);
}

std::string PartitionOf(const std::string& imagePath) {
    return imagePath + "@@" + std::to_string(kPartitionOffset / kMiB) + "M";
}

std::optional<std::uint64_t> WriteStickImage(const std::string& contentDir,
                                             const std::string& imagePath,
                                             const ImageIdentity& identity, std::string* error) {
    Tools tools;
    if (!FindTools(&tools, error)) {
        return std::nullopt;
    }
    std::vector<fs::directory_entry> entries;
    if (!Entries(contentDir, &entries)) {
        *error = "cannot read " + contentDir;
        return std::nullopt;
    }
    std::uint64_t bytes = 0;
    std::error_code ec;
    for (const fs::directory_entry& entry : entries) {
        bytes += entry.is_regular_file(ec) ? entry.file_size(ec) : 0;
    }
    const std::uint64_t partition = PartitionSize(bytes, entries.size());
    const std::uint64_t size = kPartitionOffset + partition;

    // A sparse file of the whole image: the tools write only what they use.
    fs::remove(imagePath, ec);
    if (FILE* f = std::fopen(imagePath.c_str(), "wb")) {
        std::fclose(f);
    }
    fs::resize_file(imagePath, size, ec);
    if (ec) {
        *error = "cannot create " + imagePath + ": " + ec.message();
        return std::nullopt;
    }

    const std::string table = "label: dos\nlabel-id: 0x" + Hex8(identity.diskId) +
                              "\nstart=" + std::to_string(kPartitionOffset / 512) +
                              ", size=" + std::to_string(partition / 512) + ", type=c\n";
    const std::vector<std::string> mtools = MtoolsEnvironment(identity.time);
    // --invariant fixes what mkfs.vfat would take from the clock or chance;
    // the serial is the content's, the label written by mlabel at the given time.
    if (!Run({tools.sfdisk, "--no-reread", "--no-tell-kernel", "--quiet", imagePath}, table, {},
             error) ||
        !Run({tools.mkfs, "-F", "32", "--invariant", "-i", Hex8(identity.volumeId), "--offset",
              std::to_string(kPartitionOffset / 512), imagePath, std::to_string(partition / 1024)},
             {}, {}, error) ||
        !Run({tools.mlabel, "-i", PartitionOf(imagePath), "::" + std::string(kStickLabel)}, {},
             mtools, error)) {
        return std::nullopt;
    }

    // Folders first, then the files of each folder, all in path order: the
    // order of the entries in the image is then that of their names, not
    // the order in which the staging folder's file system lists them.
    std::vector<std::string> folders = {tools.mmd, "-i", PartitionOf(imagePath)};
    std::map<std::string, std::vector<std::string>> files;  // image folder -> files
    for (const fs::directory_entry& entry : entries) {
        const fs::path relative = entry.path().lexically_relative(contentDir);
        if (entry.is_directory(ec)) {
            folders.push_back("::/" + relative.string());
        } else {
            files["::/" + relative.parent_path().string()].push_back(entry.path().string());
        }
    }
    if (folders.size() > 3 && !Run(folders, {}, mtools, error)) {
        return std::nullopt;
    }
    for (auto& [folder, paths] : files) {
        std::vector<std::string> copy = {tools.mcopy, "-Q", "-i", PartitionOf(imagePath)};
        copy.insert(copy.end(), paths.begin(), paths.end());
        copy.push_back(folder.ends_with('/') ? folder : folder + "/");
        if (!Run(copy, {}, mtools, error)) {
            return std::nullopt;
        }
    }
    return size;
}

}  // namespace upd::pack
