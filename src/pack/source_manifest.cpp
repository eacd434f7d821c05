// The source manifest, line by line: each line is put through the
// instrument's own line reader and pair splitter, one at a time, so that its
// kind (section, pair, or skipped) is exactly what the instrument would make
// of it while its bytes stay as written.
#include "pack/source_manifest.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "manifest/auxinfo.h"
#include "manifest/line.h"

namespace upd::pack {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// What the line reader makes of one line: its length (>= 0), -1 for a blank
// or comment line, -2 for a line too long, -3 for a read failure.
int ReadOneLine(std::string text, char (&buf)[kManifestLineSize]) {
    if (text.empty()) {
        return -1;
    }
    std::unique_ptr<std::FILE, FileCloser> stream(::fmemopen(text.data(), text.size(), "r"));
    if (!stream) {
        return -3;
    }
    int skipped = 0;
    return nextline(stream.get(), buf, kManifestLineSize, kSkipBlankLines | kSkipCommentLines,
                    &skipped);
}

std::string At(std::size_t index) {
    return "line " + std::to_string(index + 1) + ": ";
}

}  // namespace

std::optional<SourceManifest> SourceManifest::Parse(std::string_view text, std::string* problem) {
    SourceManifest manifest;
    bool sawEnd = false;
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        Line line;
        line.text = std::string(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (newline != std::string_view::npos) {
            line.end = "\n";
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.pop_back();
                line.end = "\r\n";
            }
            if (!sawEnd) {
                manifest.lineEnd_ = line.end;
                sawEnd = true;
            }
        }

        char buf[kManifestLineSize];
        const int length = ReadOneLine(line.text, buf);
        const std::size_t index = manifest.lines_.size();
        if (length == -2) {
            *problem = At(index) + "longer than " + std::to_string(kManifestLineSize - 1) +
                       " characters; the instrument would not load the manifest";
            return std::nullopt;
        }
        if (length == -3) {
            *problem = At(index) + "cannot be read";
            return std::nullopt;
        }
        if (length >= 0 && std::strchr(buf, '=') == nullptr) {
            line.kind = Kind::kSection;
            line.name = buf;
            inSection = true;
        } else if (length >= 0) {
            if (!inSection) {
                *problem = At(index) +
                           "a name=value line before the first section line; the instrument "
                           "would not load the manifest";
                return std::nullopt;
            }
            char name[kManifestLineSize];
            char value[kManifestLineSize];
            nvline(buf, name, sizeof name, value, sizeof value);
            line.kind = Kind::kPair;
            line.name = name;
        }
        manifest.lines_.push_back(std::move(line));
    }
    return manifest;
}

std::optional<std::size_t> SourceManifest::FindSection(std::string_view section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Kind::kSection && lines_[i].name == section) {
            return i;
        }
    }
    return std::nullopt;
}

int SourceManifest::LineOf(std::string_view section, std::string_view key) const {
    const std::optional<std::size_t> start = FindSection(section);
    if (!start) {
        return 0;
    }
    for (std::size_t i = *start + 1; i < lines_.size() && lines_[i].kind != Kind::kSection; ++i) {
        if (lines_[i].kind == Kind::kPair && lines_[i].name == key) {
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

bool SourceManifest::AppendKey(std::string_view section, std::string_view key,
                               std::string_view value) {
    const std::optional<std::size_t> start = FindSection(section);
    if (!start) {
        return false;
    }
    // After the section's last pair: comment lines that follow it belong to
    // the next section more likely than to this one.
    std::size_t last = *start;
    for (std::size_t i = *start + 1; i < lines_.size() && lines_[i].kind != Kind::kSection; ++i) {
        if (lines_[i].kind == Kind::kPair) {
            last = i;
        }
    }
    lines_[last].added.push_back(std::string(key) + " = " + std::string(value));
    return true;
}

std::string SourceManifest::Text() const {
    std::string text;
    for (const Line& line : lines_) {
        text += line.text;
        text += line.end;
        if (!line.added.empty() && line.end.empty()) {
            text += lineEnd_;
        }
        for (const std::string& added : line.added) {
            text += added;
            text += lineEnd_;
        }
    }
    return text;
}

int SourceManifest::SourceLineOf(int line) const {
    if (line <= 0) {
        return 0;
    }
    int written = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        written += 1 + static_cast<int>(lines_[i].added.size());
        if (line <= written) {
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

}  // namespace upd::pack
