// Where each section and key of a manifest stands in its file: the manifest
// read again line by line with the updater's own line reader, so that every
// finding can name its line.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace upd::lint {

struct KeyLine {
    std::string name;
    int line;
};

struct SectionLines {
    std::string name;
    int line;
    std::vector<KeyLine> keys;
};

struct ManifestLines {
    bool opened = false;
    bool byteOrderMark = false;          // the file starts with the UTF-8 byte-order mark
    int tooLongLine = 0;                 // the first line the loader refuses as too long
    int pairBeforeSection = 0;           // a name=value line before the first section
    std::vector<SectionLines> sections;  // every section line, in file order
    std::unordered_map<std::string, std::size_t> first;  // name: index of its first section

    // The first section of that name (the only one the updater looks into),
    // or null.
    const SectionLines* Find(std::string_view section) const;
    // Line of the first section of that name, 0 when none.
    int SectionLine(std::string_view section) const;
    // Line of the first key of that name in that section, else of the section.
    int KeyLine(std::string_view section, std::string_view key) const;
};

// The lines of the manifest's bytes.
ManifestLines ScanManifest(std::string_view bytes);

}  // namespace upd::lint
