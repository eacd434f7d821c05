// The lines of update-sim's account of a run.
#include "update/run_report.h"

#include <unordered_map>

#include "update/codes.h"

namespace upd {
namespace {

constexpr std::string_view kPrefix = "update-sim: ";

std::string_view Verb(Change change) {
    switch (change) {
        case Change::kBackedUp:
            return "backed up";
        case Change::kInstalled:
            return "installed";
        case Change::kMerged:
            return "merged";
        case Change::kRemoved:
            break;
    }
    return "removed";
}

std::string Line(std::string_view text) {
    return std::string(kPrefix) + std::string(text);
}

}  // namespace

std::string_view CodeMeaning(int code) {
    for (const ErrorCodeInfo& info : kErrorCodes) {
        if (info.code == code) {
            return info.meaning;
        }
    }
    return {};
}

std::vector<std::string> RunReport::Lines(int status) const {
    std::vector<std::string> lines;
    std::string outcome = "exit status " + std::to_string(status);
    if (status == 0) {
        outcome += " (the run completed)";
    } else if (status == 1) {
        outcome += " (the run failed)";
    }
    lines.push_back(Line(outcome));

    if (codes_.empty()) {
        lines.push_back(Line("code: none (no error file written)"));
    }
    for (int code : codes_) {
        const std::string_view meaning = CodeMeaning(code);
        lines.push_back(Line("code " + std::to_string(code) + ": " +
                             std::string(meaning.empty() ? "not in the code table" : meaning)));
    }

    if (messages_.empty()) {
        lines.push_back(Line("display: nothing shown"));
    }
    for (const std::string& message : messages_) {
        lines.push_back(Line("display: " + message));
    }

    // An old backup removed and then made anew is one backup, told once.
    std::unordered_map<std::string_view, std::size_t> lastBackup;  // path -> index
    for (std::size_t i = 0; i < changes_.size(); ++i) {
        if (changes_[i].first == Change::kBackedUp) {
            lastBackup[changes_[i].second] = i;
        }
    }
    std::vector<std::string> told;
    for (std::size_t i = 0; i < changes_.size(); ++i) {
        const auto& [change, path] = changes_[i];
        const auto backup = lastBackup.find(path);
        if (change == Change::kRemoved && backup != lastBackup.end() && backup->second > i) {
            continue;
        }
        told.push_back(Line(std::string(Verb(change)) + " " + path));
    }
    if (told.empty()) {
        told.push_back(Line("no file installed, backed up, merged or removed"));
    }
    lines.insert(lines.end(), told.begin(), told.end());
    return lines;
}

}  // namespace upd
