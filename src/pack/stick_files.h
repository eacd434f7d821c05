// The files a manifest's sections take from the stick, read from the manifest
// store with the keys each operation reads, and how a path under the stick's
// mount point maps onto a folder standing for the stick.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace upd::pack {

// The instrument mounts the stick here.
inline constexpr std::string_view kStickMount = "/mnt";

// One file a section takes from the stick or from the instrument.
struct SectionFile {
    std::string section;
    std::string key;       // the key that names it ("SrcFile", "DataPath1", "Command1")
    std::string path;      // as the instrument would open it
    bool md5 = false;      // the section carries MD5Hash of this file
    bool sha256 = false;   // ... and SHA256Hash
    bool command = false;  // named in a command's text: may be a folder
    bool expands = false;  // a word of the command that the shell expands
                           // (`path` is its text): no one file it names
};

// The files that section `section` takes, by its Operation: the source file of
// TransferFile (both digests) and ConfigUpdate (SHA-256), the data file of
// FlashUpdate (SHA-256), and the paths under the mount point named inside the
// commands of MSP430Update and FlashUpdate (no digest), as the instrument's
// shell passes them (stick::StickPathsIn), with the words naming the mount
// point that the shell would expand marked `expands`. Empty for any other
// operation or a missing section. Reads the manifest store.
std::vector<SectionFile> FilesOfSection(const char* section);

// The path of `path` relative to the stick's root ("firmware/x" for
// "/mnt/firmware/x"), with empty and "." components dropped. nullopt when the
// path is not under the mount point or climbs out of it with "..".
std::optional<std::string> StickRelative(std::string_view path);

}  // namespace upd::pack
