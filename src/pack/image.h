// A ready stick image: one FAT32 partition labelled as the instrument expects,
// holding a package's files, made with the partitioning tool, the FAT
// file-system maker and the FAT file tools rather than a writer of our own.
// The same content gives the same image, byte for byte: its identifiers
// derive from the content and every time stamp is one given time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "update/update.h"

namespace upd::pack {

// The label the instrument finds its stick by: the last part of its default
// device path.
inline constexpr std::string_view kStickLabel =
    std::string_view(kDefaultDevice).substr(std::string_view(kDefaultDevice).rfind('/') + 1);

// The partition starts 1 MiB into the image.
inline constexpr std::uint64_t kPartitionOffset = 1024 * 1024;

// FAT's first and last time stamps (1980-01-01 00:00:00 and 2107-12-31
// 23:59:58, UTC), in seconds since 1970. The first stamps an image whose
// maker gave no SOURCE_DATE_EPOCH.
inline constexpr std::int64_t kFirstFatTime = 315532800;
inline constexpr std::int64_t kLastFatTime = 4354819198;

// What makes an image of a content the same every time.
struct ImageIdentity {
    std::uint32_t diskId = 0;           // the partition table's disk identifier
    std::uint32_t volumeId = 0;         // the FAT's volume serial number
    std::int64_t time = kFirstFatTime;  // every entry's time stamp, UTC
};

// A SOURCE_DATE_EPOCH value: decimal seconds since 1970 within FAT's time
// stamps. nullopt with *error set otherwise.
std::optional<std::int64_t> ParseSourceDateEpoch(std::string_view text, std::string* error);

// The identity of the content of `contentDir` at `time`: the SHA-256 of its
// listing (a line per entry in path order, "DIGEST  PATH" for a file and
// "folder  PATH/" for a folder), whose first four bytes make the disk
// identifier and the next four the volume serial. `digests` holds the SHA-256
// of files already known (path -> lowercase hex); the others are read.
std::optional<ImageIdentity> IdentifyContent(const std::string& contentDir,
                                             const std::map<std::string, std::string>& digests,
                                             std::int64_t time, std::string* error);

// The partition's size for `bytes` of file content in `entries` files and
// folders: room for the content, its clusters and tables, never less than
// 64 MiB (FAT32 needs about 33 MiB), in whole MiB.
std::uint64_t PartitionSize(std::uint64_t bytes, std::uint64_t entries);

// Writes the image of a stick holding everything in the folder `contentDir`
// to `imagePath` (created or replaced): an msdos partition table with one
// partition of type c (FAT32 with LBA) at kPartitionOffset, formatted FAT32
// and labelled kStickLabel, with `identity`. The FAT tools run under a UTF-8
// locale, so that names outside ASCII keep their characters. Its size in
// bytes, or nullopt with *error set when a tool is missing or fails.
std::optional<std::uint64_t> WriteStickImage(const std::string& contentDir,
                                             const std::string& imagePath,
                                             const ImageIdentity& identity, std::string* error);

// The mtools argument that names the image's partition ("IMG@@1M").
std::string PartitionOf(const std::string& imagePath);

}  // namespace upd::pack
