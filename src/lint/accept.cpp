// A maker's acceptance of named warnings: read from comments in the manifest
// (which the instrument skips) and from the command line, and applied to the
// findings of a check, so that a package whose remaining warnings are known
// and explained can pass.
#include "lint/accept.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

namespace upd::lint {

namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr std::string_view kMarker = "update-lint:";

std::string_view Trim(std::string_view text) {
    const std::size_t start = text.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

// The next blank-separated word of `text`, taken off its front.
std::string_view NextWord(std::string_view* text) {
    *text = Trim(*text);
    const std::size_t end = std::min(text->find_first_of(kBlanks), text->size());
    const std::string_view word = text->substr(0, end);
    text->remove_prefix(end);
    return word;
}

// The section whose lines hold manifest line `line`: the last section line
// before it, "" before the first.
std::string SectionAt(const ManifestLines& lines, int line) {
    std::string section;
    for (const SectionLines& s : lines.sections) {
        if (s.line < line) {
            section = s.name;
        }
    }
    return section;
}

}  // namespace

bool IsFindingName(std::string_view name) {
    return !name.empty() && name.front() != '-' && name.back() != '-' &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
               std::string_view::npos;
}

std::optional<Accept> ParseAccept(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || !IsFindingName(text.substr(colon + 1))) {
        return std::nullopt;
    }
    return Accept{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1)),
                  "accepted on the command line", 0};
}

AcceptComments ReadAcceptComments(std::string_view bytes, const ManifestLines& lines) {
    AcceptComments found;
    int number = 0;
    while (!bytes.empty()) {
        const std::size_t end = std::min(bytes.find('\n'), bytes.size());
        std::string_view line = Trim(bytes.substr(0, end));
        bytes.remove_prefix(std::min(end + 1, bytes.size()));
        ++number;
        // A comment line, as the manifest loader skips it.
        if (line.empty() || (line.front() != '#' && line.front() != ';')) {
            continue;
        }
        line = Trim(line.substr(1));
        if (line.substr(0, kMarker.size()) != kMarker) {
            continue;
        }
        std::string_view rest = line.substr(kMarker.size());
        const std::string_view verb = NextWord(&rest);
        const std::string_view name = NextWord(&rest);
        const std::string_view because = NextWord(&rest);
        const std::string_view reason = Trim(rest);
        const std::string section = SectionAt(lines, number);
        if (verb != "accept" || !IsFindingName(name) || because != "because" || reason.empty()) {
            found.malformed.push_back(Finding{
                Severity::kWarning, section, number,
                "an update-lint comment that is not \"update-lint: accept NAME because REASON\": "
                "it accepts nothing",
                0, "accept-malformed"});
            continue;
        }
        found.accepts.push_back(Accept{section, std::string(name), std::string(reason), number});
    }
    return found;
}

void ApplyAccepts(const std::vector<Accept>& accepts, std::vector<Finding>* findings) {
    const std::size_t checked = findings->size();
    for (const Accept& accept : accepts) {
        bool matched = false;
        bool error = false;
        for (std::size_t i = 0; i < checked; ++i) {
            Finding& f = (*findings)[i];
            if (f.section != accept.section || f.name != accept.name) {
                continue;
            }
            if (f.severity == Severity::kError) {
                error = true;
                continue;
            }
            matched = true;
            f.accepted = true;
            f.reason = accept.reason;
        }
        if (matched) {
            continue;
        }
        const std::string where =
            accept.section.empty() ? "the manifest as a whole" : "section " + accept.section;
        findings->push_back(
            Finding{Severity::kWarning, accept.section, accept.line,
                    "accept " + accept.name + " matches no warning of " + where +
                        (error ? ": it names an error, and errors cannot be accepted" : ""),
                    0, "accept-unmatched"});
    }
}

}  // namespace upd::lint
