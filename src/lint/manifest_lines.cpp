// Line numbers of a manifest's sections and keys, read with the same line
// reader, buffer and skipping rules as the manifest loader.
#include "lint/manifest_lines.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "manifest/auxinfo.h"
#include "manifest/line.h"

namespace upd::lint {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

const SectionLines* ManifestLines::Find(std::string_view section) const {
    const auto at = first.find(std::string(section));
    return at != first.end() ? &sections[at->second] : nullptr;
}

int ManifestLines::SectionLine(std::string_view section) const {
    const SectionLines* s = Find(section);
    return s != nullptr ? s->line : 0;
}

int ManifestLines::KeyLine(std::string_view section, std::string_view key) const {
    const SectionLines* s = Find(section);
    if (s == nullptr) {
        return 0;
    }
    for (const auto& k : s->keys) {
        if (k.name == key) {
            return k.line;
        }
    }
    return s->line;
}

ManifestLines ScanManifest(std::string_view bytes) {
    ManifestLines lines;
    // An empty manifest is read from an empty stream, as the updater does.
    static char none[1];
    std::unique_ptr<std::FILE, FileCloser> file(
        bytes.empty() ? ::fmemopen(none, 0, "r")
                      : ::fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r"));
    if (!file) {
        return lines;
    }
    lines.opened = true;
    char line[kManifestLineSize];
    char name[kManifestLineSize];
    char value[kManifestLineSize];
    int number = 0;
    for (;;) {
        // Each call passes over the blank and comment lines it counts, then
        // delivers (or refuses) one more.
        int skipped = 0;
        const int got = nextline(file.get(), line, kManifestLineSize,
                                 kSkipBlankLines | kSkipCommentLines, &skipped);
        if (got == -1 || got == -3) {
            break;
        }
        number += skipped + 1;
        if (got == -2) {
            lines.tooLongLine = number;
            break;
        }
        if (number == 1 && std::strncmp(line, kByteOrderMark, 3) == 0) {
            lines.byteOrderMark = true;
        }
        if (std::strchr(line, '=') == nullptr) {
            lines.first.try_emplace(line, lines.sections.size());
            lines.sections.push_back(SectionLines{line, number, {}});
            continue;
        }
        if (lines.sections.empty()) {
            lines.pairBeforeSection = number;
            break;
        }
        nvline(line, name, sizeof name, value, sizeof value);
        lines.sections.back().keys.push_back(KeyLine{name, number});
    }
    return lines;
}

}  // namespace upd::lint
