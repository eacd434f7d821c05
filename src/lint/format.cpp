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

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += static_cast<char>(ch);
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
