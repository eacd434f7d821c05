// A package's source manifest as text that can be edited without losing any of
// it: each line is read exactly as the instrument reads it, and keys added to a
// section are written at its end, every other byte staying as it was.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace upd::pack {

// The UTF-8 byte-order mark some editors put at the start of a text file. The
// instrument would read it as part of the first section's name.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

class SourceManifest {
  public:
    // Reads `text` line by line. nullopt, with *problem telling which line and
    // why, when the instrument could not load it.
    static std::optional<SourceManifest> Parse(std::string_view text, std::string* problem);

    // The 1-based line number of the first pair named `key` in the first
    // section named `section` (the pair every lookup finds); 0 when none.
    int LineOf(std::string_view section, std::string_view key) const;

    // Adds the line "key = value" after the last pair of the first section
    // named `section`. False when there is no such section.
    bool AppendKey(std::string_view section, std::string_view key, std::string_view value);

    // The whole text, added lines included.
    std::string Text() const;

    // The source line that line `line` of Text() is (1-based), or for an added
    // line the line it follows; 0 past the end.
    int SourceLineOf(int line) const;

  private:
    enum class Kind { kSkipped, kSection, kPair };
    struct Line {
        std::string text;  // as in the file, without its line end
        std::string end;   // "\n", "\r\n", or "" for a last line without one
        Kind kind = Kind::kSkipped;
        std::string name;                // section name, or pair name
        std::vector<std::string> added;  // lines added after this one
    };

    // The index of the first section line named `section`.
    std::optional<std::size_t> FindSection(std::string_view section) const;

    std::vector<Line> lines_;
    std::string lineEnd_ = "\n";  // the file's own line end, for added lines
};

}  // namespace upd::pack
