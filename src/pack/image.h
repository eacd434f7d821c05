// A ready stick image: one FAT32 partition labelled as the instrument expects,
// holding a package's files, made with the partitioning tool, the FAT
// file-system maker and the FAT file tools rather than a writer of our own.
#pragma once

#include <cstdint>
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

// The partition's size for `bytes` of file content in `entries` files and
// folders: room for the content, its clusters and tables, never less than
// 64 MiB (FAT32 needs about 33 MiB), in whole MiB.
std::uint64_t PartitionSize(std::uint64_t bytes, std::uint64_t entries);

// Writes the image of a stick holding everything in the folder `contentDir`
// to `imagePath` (created or replaced): an msdos partition table with one
// partition of type c (FAT32 with LBA) at kPartitionOffset, formatted FAT32
// and labelled kStickLabel. False with *error set when a tool is missing or
// fails.
bool WriteStickImage(const std::string& contentDir, const std::string& imagePath,
                     std::string* error);

// The mtools argument that names the image's partition ("IMG@@1M").
std::string PartitionOf(const std::string& imagePath);

}  // namespace upd::pack
