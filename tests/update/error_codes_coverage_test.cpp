// Every error code the updater can report must be produced and checked by at
// least one end-to-end test, one that runs the simulated instrument. The test
// reads the code table, then the end-to-end test sources, and looks in each for
// the code's number or its constant's name; comments do not count.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "update/codes.h"

namespace upd {
namespace {

namespace fs = std::filesystem;

// Codes that no run of the updater can write to the error file, with why.
const std::map<int, std::string> kNeverReported = {
    {kErrUnmountFailed,
     "a failed umount only stores its code: it happens after the report of another code, or at "
     "the end of a completed run, whose status ignores it"},
    {kErrConfigValueTooLong,
     "the six ConfigUpdate paths have 256-byte buffers and its SHA256Hash a 512-byte one, and a "
     "manifest value holds at most 254 characters (a manifest line holds at most 255)"},
    {kErrRemoveValueTooLong,
     "the file keys of RemoveFiles have 514-byte buffers, beyond the longest manifest value"},
};

// Codes the program can report but the simulated instrument cannot bring
// about, with why; each is tested on the operation directly instead.
const std::map<int, std::string> kNotInSimulation = {
    {kErrTransferChmod,
     "chmod of a file that has just been renamed into place fails only on a file system that "
     "refuses mode changes, which the simulated instrument's directories never do"},
};

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The source without its comments (string literals kept: tests compare the
// error file's text "1902 652", for instance).
std::string WithoutComments(const std::string& src) {
    std::string out;
    out.reserve(src.size());
    enum { kCode, kLine, kBlock, kString, kChar } state = kCode;
    for (size_t i = 0; i < src.size(); ++i) {
        char c = src[i];
        char next = i + 1 < src.size() ? src[i + 1] : '\0';
        switch (state) {
            case kCode:
                if (c == '/' && next == '/') {
                    state = kLine;
                } else if (c == '/' && next == '*') {
                    state = kBlock;
                    ++i;
                } else {
                    state = c == '"' ? kString : c == '\'' ? kChar : kCode;
                    out += c;
                }
                break;
            case kLine:
                if (c == '\n') {
                    state = kCode;
                    out += c;
                }
                break;
            case kBlock:
                if (c == '*' && next == '/') {
                    state = kCode;
                    ++i;
                    out += ' ';
                }
                break;
            case kString:
            case kChar:
                out += c;
                if (c == '\\' && next != '\0') {
                    out += next;
                    ++i;
                } else if ((state == kString && c == '"') || (state == kChar && c == '\'')) {
                    state = kCode;
                }
                break;
        }
    }
    return out;
}

// The constants of the code table, by name, read from its header.
std::map<std::string, int> CodeConstants() {
    const std::string header = ReadText(fs::path(UPD_SOURCE_DIR) / "src/update/codes.h");
    const std::regex constant(R"(constexpr\s+int\s+(k\w+)\s*=\s*(\d{3})\s*;)");
    std::map<std::string, int> names;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), constant);
         it != std::sregex_iterator(); ++it) {
        names[(*it)[1]] = std::stoi((*it)[2]);
    }
    return names;
}

// The test sources that run the simulated instrument, themselves or through a
// header of the tests that does, each without comments, by path.
std::map<std::string, std::string> EndToEndSources() {
    const fs::path tests = fs::path(UPD_SOURCE_DIR) / "tests";
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(tests)) {
        const fs::path& p = entry.path();
        if (entry.is_regular_file() && (p.extension() == ".cpp" || p.extension() == ".h") &&
            p.parent_path().filename() != "support" && p.filename() != __FILE_NAME__) {
            all[p.string()] = WithoutComments(ReadText(p));
        }
    }
    std::set<std::string> simHeaders;
    for (const auto& [path, text] : all) {
        if (fs::path(path).extension() == ".h" && text.find("SimInstrument") != std::string::npos) {
            simHeaders.insert(fs::path(path).filename().string());
        }
    }
    std::map<std::string, std::string> e2e;
    for (const auto& [path, text] : all) {
        bool runsSim = text.find("SimInstrument") != std::string::npos;
        for (const std::string& h : simHeaders) {
            runsSim = runsSim || text.find("\"" + h + "\"") != std::string::npos ||
                      text.find("/" + h + "\"") != std::string::npos;
        }
        if (runsSim && fs::path(path).extension() == ".cpp") {
            e2e[path] = text;
        }
    }
    return e2e;
}

TEST(ErrorCodeCoverage, TableAndConstantsAgree) {
    std::map<std::string, int> names = CodeConstants();
    std::set<int> constants;
    for (const auto& [name, code] : names) {
        constants.insert(code);
    }
    std::set<int> table;
    for (const ErrorCodeInfo& info : kErrorCodes) {
        table.insert(info.code);
    }
    EXPECT_EQ(constants, table) << "every code needs a constant, and every constant a table row";
    for (const auto& [code, why] : kNeverReported) {
        EXPECT_TRUE(table.count(code)) << code;
    }
    for (const auto& [code, why] : kNotInSimulation) {
        EXPECT_TRUE(table.count(code)) << code;
    }
}

TEST(ErrorCodeCoverage, EveryReportableCodeIsProducedEndToEnd) {
    const std::map<std::string, int> names = CodeConstants();
    const std::map<std::string, std::string> sources = EndToEndSources();
    ASSERT_FALSE(sources.empty()) << "no end-to-end tests found under tests/";

    std::map<int, std::set<std::string>> where;
    for (const auto& [path, text] : sources) {
        for (const ErrorCodeInfo& info : kErrorCodes) {
            const std::regex number("(^|[^0-9A-Za-z_.])" + std::to_string(info.code) +
                                    "($|[^0-9A-Za-z_.])");
            if (std::regex_search(text, number)) {
                where[info.code].insert(fs::path(path).filename().string());
            }
        }
        for (const auto& [name, code] : names) {
            const std::regex word("\\b" + name + "\\b");
            if (std::regex_search(text, word)) {
                where[code].insert(fs::path(path).filename().string());
            }
        }
    }

    std::ostringstream missing;
    for (const ErrorCodeInfo& info : kErrorCodes) {
        if (kNeverReported.count(info.code) || kNotInSimulation.count(info.code)) {
            continue;
        }
        if (where[info.code].empty()) {
            missing << "  " << info.code << " (" << info.meaning << ")\n";
        }
    }
    EXPECT_TRUE(missing.str().empty()) << "codes that no end-to-end test produces:\n"
                                       << missing.str();
}

}  // namespace
}  // namespace upd
