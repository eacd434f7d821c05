// The renderings of a stick check's findings: one line each for a person, a
// JSON document for scripts, and the exit status.
#include <cstdio>

#include "lint/lint.h"

namespace upd::lint {

namespace {

int Count(const std::vector<Finding>& findings, Severity severity) {
    int n = 0;
    for (const Finding& f : findings) {
        n += f.severity == severity ? 1 : 0;
    }
    return n;
}

// The length of the valid UTF-8 sequence at text[at], or 0 when none starts there.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                               : lead >= 0xE0                 ? 3
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                                                              : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = at + 1; i < at + length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// A JSON string: quotes, backslashes and control characters escaped, and so
// is every byte that is not part of valid UTF-8 (manifests need not be UTF-8).
std::string JsonString(const std::string& text) {
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

}  // namespace

int PredictedCode(const std::vector<Finding>& findings) {
    for (const Finding& f : findings) {
        if (f.severity == Severity::kError) {
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
        out += f.severity == Severity::kError ? "error" : "warning";
        if (f.code != 0) {
            out += " " + std::to_string(f.code);
        }
        if (f.line != 0) {
            out += " at line " + std::to_string(f.line);
        }
        if (!f.section.empty()) {
            out += " [" + f.section + "]";
        }
        out += ": " + f.message + "\n";
    }
    const int errors = Count(findings, Severity::kError);
    const int warnings = Count(findings, Severity::kWarning);
    out += std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
           std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    const int code = PredictedCode(findings);
    if (errors > 0) {
        out += "; the instrument would stop with " + std::to_string(code);
    } else if (code != 0) {
        out += "; the run would complete, leaving notice " + std::to_string(code);
    }
    return out + "\n";
}

std::string FormatJson(const std::vector<Finding>& findings) {
    std::string out = "{\"findings\": [";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const Finding& f = findings[i];
        out += i == 0 ? "\n  " : ",\n  ";
        out += "{\"severity\": \"";
        out += f.severity == Severity::kError ? "error" : "warning";
        out += "\", \"section\": " + JsonString(f.section) +
               ", \"line\": " + std::to_string(f.line) + ", \"code\": " + std::to_string(f.code) +
               ", \"message\": " + JsonString(f.message) + "}";
    }
    out += findings.empty() ? "]" : "\n]";
    out += ", \"errors\": " + std::to_string(Count(findings, Severity::kError)) +
           ", \"warnings\": " + std::to_string(Count(findings, Severity::kWarning)) +
           ", \"code\": " + std::to_string(PredictedCode(findings)) +
           ", \"status\": " + std::to_string(ExitStatus(findings)) + "}\n";
    return out;
}

int ExitStatus(const std::vector<Finding>& findings) {
    if (Count(findings, Severity::kError) > 0) {
        return 2;
    }
    return findings.empty() ? 0 : 1;
}

}  // namespace upd::lint
