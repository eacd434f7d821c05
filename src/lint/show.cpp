// The account of what a stick will do, as the check followed its run: for a
// person, one block per entry of the run list; for scripts, the same fields
// in the JSON report.
#include <string>
#include <string_view>
#include <utility>

#include "lint/lint.h"

namespace upd::lint {

namespace {

// How each outcome reads to a person.
std::string Outcome(const Step& step) {
    static constexpr std::pair<std::string_view, std::string_view> kSaid[] = {
        {"runs", "runs"},
        {"installed", "installs"},
        {"skipped-same", "skipped: the installed file is the same"},
        {"gated", "skipped: gated by the time stamp"},
        {"merged", "merges"},
        {"not-merged", "merges nothing"},
        {"reboots", "reboots"},
        {"passed-over", "passed over without a code"},
    };
    if (step.outcome == "fails") {
        return "fails with " + std::to_string(step.code);
    }
    if (step.outcome == "after-stop") {
        return "never runs: the run stopped with " + std::to_string(step.code);
    }
    for (const auto& [outcome, said] : kSaid) {
        if (step.outcome == outcome) {
            return std::string(said);
        }
    }
    return step.outcome;
}

std::string Size(std::uint64_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + JsonString(items[i]);
    }
    return out + "]";
}

}  // namespace

std::string FormatShow(const Report& report) {
    const Account& a = report.account;
    std::string out;
    if (a.signedRun) {
        out += "signature: checked with " + a.key + ", SHA-256 fingerprint " +
               (a.fingerprint.empty() ? "(the key cannot be read)" : a.fingerprint) + "\n";
    } else {
        out += "signature: not checked (no --key): the report is that of an unsigned run\n";
    }
    out += "run list, in order" +
           std::string(a.instrument ? ", with what each section does to the instrument tree" : "") +
           ":\n";
    if (a.run.empty()) {
        out += "  (nothing runs)\n";
    }
    for (std::size_t i = 0; i < a.run.size(); ++i) {
        const Step& step = a.run[i];
        out += "  " + std::to_string(i + 1) + ". " + step.section + " (line " +
               std::to_string(step.line) +
               "): " + (step.operation.empty() ? "no operation" : step.operation) + ", " +
               Outcome(step) + "\n";
        for (const Taken& t : step.takes) {
            out += "       takes " + t.path;
            out += t.sha256.empty()
                       ? " (no file on the stick)\n"
                       : " (" + Size(t.size) + ", MD5 " + t.md5 + ", SHA-256 " + t.sha256 + ")\n";
        }
        for (const std::string& put : step.puts) {
            out += "       puts  " + put + "\n";
        }
        for (const std::string& command : step.commands) {
            out += "       runs  " + command + "\n";
        }
        for (const std::string& change : step.changes) {
            out += "       did   " + change + "\n";
        }
    }
    out += "stick files no section uses:" + std::string(a.unused.empty() ? " none\n" : "\n");
    for (const std::string& file : a.unused) {
        out += "  " + file + "\n";
    }
    return out + "findings:\n";
}

std::string FormatShowJson(const Report& report) {
    const Account& a = report.account;
    std::string out = "{\"signed\": " + std::string(a.signedRun ? "true" : "false") +
                      ", \"key\": " + JsonString(a.key) +
                      ", \"fingerprint\": " + JsonString(a.fingerprint) +
                      ", \"instrument\": " + (a.instrument ? "true" : "false") + ", \"run\": [";
    for (std::size_t i = 0; i < a.run.size(); ++i) {
        const Step& step = a.run[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"section\": " + JsonString(step.section) +
               ", \"line\": " + std::to_string(step.line) +
               ", \"operation\": " + JsonString(step.operation) +
               ", \"outcome\": " + JsonString(step.outcome) +
               ", \"code\": " + std::to_string(step.code) + ", \"takes\": [";
        for (std::size_t j = 0; j < step.takes.size(); ++j) {
            const Taken& t = step.takes[j];
            out += (j == 0 ? "" : ", ") + std::string("{\"path\": ") + JsonString(t.path) +
                   ", \"size\": " + std::to_string(t.size) + ", \"md5\": " + JsonString(t.md5) +
                   ", \"sha256\": " + JsonString(t.sha256) + "}";
        }
        out += "], \"puts\": " + JsonList(step.puts) +
               ", \"commands\": " + JsonList(step.commands) +
               ", \"changes\": " + JsonList(step.changes) + "}";
    }
    out += a.run.empty() ? "]" : "\n]";
    out += ", \"unused\": " + JsonList(a.unused) + ", ";
    // The findings and the rest of the report follow in their own form.
    return out + FormatJson(report).substr(1);
}

}  // namespace upd::lint
