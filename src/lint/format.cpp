// The renderings of a stick check's findings: one line each for a person, a
// JSON document for scripts, and the exit status.
#include <cstdio>

#include "lint/lint.h"
#include "update/codes.h"

namespace upd::lint {

namespace {

// The findings of that severity that count: accepted ones do not.
int Count(const std::vector<Finding>& findings, Severity severity) {
    int n = 0;
    for (const Finding& f : findings) {
        n += f.severity == severity && !f.accepted ? 1 : 0;
    }
    return n;
}

int CountAccepted(const std::vector<Finding>& findings) {
    int n = 0;
    for (const Finding& f : findings) {
        n += f.accepted ? 1 : 0;
    }
    return n;
}

// Errors without a code are the faults the instrument passes over while it
// reports success; those of the stick as a whole are what FAT cannot hold.
bool PassedOver(const std::vector<Finding>& findings) {
    for (const Finding& f : findings) {
        if (f.severity == Severity::kError && f.code == 0 && !f.section.empty()) {
            return true;
        }
    }
    return false;
}

// The length of the well-formed UTF-8 sequence at text[at], or 0 when none
// starts there: no overlong form, no surrogate (U+D800-U+DFFF), nothing
// beyond U+10FFFF. The lead byte decides the range of the second byte; every
// later byte is a plain continuation byte.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    struct Form {
        unsigned char leadLow, leadHigh;
        std::size_t length;
        unsigned char secondLow, secondHigh;
    };
    static constexpr Form kForms[] = {
        {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
        {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
        {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
    };
    const unsigned char lead = byte(at);
    for (const Form& form : kForms) {
        if (lead < form.leadLow || lead > form.leadHigh) {
            continue;
        }
        if (at + form.length > text.size() || byte(at + 1) < form.secondLow ||
            byte(at + 1) > form.secondHigh) {
            return 0;
        }
        for (std::size_t i = at + 2; i < at + form.length; ++i) {
            if ((byte(i) & 0xC0) != 0x80) {
                return 0;
            }
        }
        return form.length;
    }
    return 0;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        const std::size_t utf8 = ch >= 0x80 ? Utf8Length(text, i) : 1;
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch == 0x7F || utf8 == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += text.substr(i, utf8);
            i += utf8 - 1;
        }
    }
    return out + "\"";
}

int PredictedCode(const std::vector<Finding>& findings) {
    for (const Finding& f : findings) {
        if (f.severity == Severity::kError && f.code != 0) {
            return f.code;
        }
    }
    int notice = 0;
    for (const Finding& f : findings) {
        notice = f.code != 0 ? f.code : notice;
    }
    return notice;
}

std::string FormatText(const std::vector<Finding>& findings) {
    std::string out;
    for (const Finding& f : findings) {
        out += f.accepted ? "accepted warning"
                          : (f.severity == Severity::kError ? "error" : "warning");
        if (f.code != 0) {
            out += " " + std::to_string(f.code);
        }
        if (!f.name.empty()) {
            out += " " + f.name;
        }
        if (f.line != 0) {
            out += " at line " + std::to_string(f.line);
        }
        if (!f.section.empty()) {
            out += " [" + f.section + "]";
        }
        out += ": " + f.message;
        out += f.accepted ? " (accepted: " + f.reason + ")\n" : "\n";
    }
    const int errors = Count(findings, Severity::kError);
    const int warnings = Count(findings, Severity::kWarning);
    const int accepted = CountAccepted(findings);
    out += std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
           std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    if (accepted > 0) {
        out += " (" + std::to_string(accepted) + " accepted)";
    }
    const int code = PredictedCode(findings);
    if (code == kNoticeSame || code == kNoticeOlder) {
        out += "; the run would complete, leaving notice " + std::to_string(code);
    } else if (code != 0) {
        out += "; the instrument would stop with " + std::to_string(code);
    } else if (PassedOver(findings)) {
        out += "; the instrument would report success without running every listed section";
    } else if (errors > 0) {
        out += "; no FAT stick holds these files as they are";
    }
    return out + "\n";
}

std::string FormatText(const Report& report) {
    std::string text = FormatText(report.findings);
    if (report.assumptions.empty()) {
        return text;
    }
    // Said once, before the summary line.
    const std::size_t summary = text.rfind('\n', text.size() - 2);
    std::string note = "note: the prediction assumes that ";
    for (std::size_t i = 0; i < report.assumptions.size(); ++i) {
        note += (i == 0                               ? ""
                 : i + 1 == report.assumptions.size() ? " and that "
                                                      : ", that ") +
                report.assumptions[i].message;
    }
    note += "; the checker cannot know\n";
    return text.insert(summary == std::string::npos ? 0 : summary + 1, note);
}

std::string FormatJson(const std::vector<Finding>& findings) {
    return FormatJson(Report{findings, {}});
}

std::string FormatJson(const Report& report) {
    const std::vector<Finding>& findings = report.findings;
    std::string out = "{\"findings\": [";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const Finding& f = findings[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"severity\": \"";
        out += f.severity == Severity::kError ? "error" : "warning";
        out += "\", \"name\": " + JsonString(f.name) + ", \"section\": " + JsonString(f.section) +
               ", \"line\": " + std::to_string(f.line) + ", \"code\": " + std::to_string(f.code) +
               ", \"message\": " + JsonString(f.message);
        if (f.accepted) {
            out += ", \"accepted\": true, \"reason\": " + JsonString(f.reason);
        }
        out += "}";
    }
    out += findings.empty() ? "]" : "\n]";
    out += ", \"assumptions\": [";
    for (std::size_t i = 0; i < report.assumptions.size(); ++i) {
        const Assumption& a = report.assumptions[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += std::string("{\"what\": \"") +
               (a.what == Unknowable::kCommandStatus ? "command-status" : "disk-space") +
               "\", \"section\": " + JsonString(a.section) +
               ", \"line\": " + std::to_string(a.line) + ", \"code\": " + std::to_string(a.code) +
               ", \"message\": " + JsonString(a.message) + "}";
    }
    out += report.assumptions.empty() ? "]" : "\n]";
    out += ", \"errors\": " + std::to_string(Count(findings, Severity::kError)) +
           ", \"warnings\": " + std::to_string(Count(findings, Severity::kWarning)) +
           ", \"accepted\": " + std::to_string(CountAccepted(findings)) +
           ", \"code\": " + std::to_string(PredictedCode(findings)) +
           ", \"status\": " + std::to_string(ExitStatus(findings)) + "}\n";
    return out;
}

int ExitStatus(const std::vector<Finding>& findings) {
    if (Count(findings, Severity::kError) > 0) {
        return 2;
    }
    return Count(findings, Severity::kWarning) > 0 ? 1 : 0;
}

}  // namespace upd::lint
