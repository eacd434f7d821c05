// update-lint: checks an update stick before it ships and reports what the
// instrument's updater would do with it.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "digest/ssl.h"
#include "help_text.h"
#include "lint/image.h"
#include "lint/lint.h"
#include "util/program.h"

namespace {

constexpr char kProgram[] = "update-lint";

// The exit statuses, as the help text lists them.
constexpr int kUsageStatus = 3;

bool json = false;

// A command line or input this program cannot work with: one line on
// standard error, and with --json the same as a JSON object on standard output.
int Refuse(const std::string& problem, bool usage) {
    const std::string line = usage ? upd::UsageErrorLine(kProgram, problem)
                                   : std::string(kProgram) + ": " + problem + "\n";
    std::fputs(line.c_str(), stderr);
    if (json) {
        const std::string object = std::string("{\"error\": ") +
                                   (usage ? "\"usage\"" : "\"input\"") +
                                   ", \"message\": " + upd::lint::JsonString(problem) +
                                   ", \"status\": " + std::to_string(kUsageStatus) + "}\n";
        std::fputs(object.c_str(), stdout);
    }
    return kUsageStatus;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A regular file holding an RSA public key; nothing else is opened.
bool KeyReadable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    EVP_PKEY* key = EVP_PKEY_new();
    const bool read = key != nullptr && upd::ReadPublicKey(path.c_str(), &key) != 0;
    EVP_PKEY_free(key);
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    // --json shapes every answer, a usage error before it included.
    for (int i = 1; i < argc; ++i) {
        json = json || std::strcmp(argv[i], "--json") == 0;
    }
    upd::lint::Options options;
    std::string image;
    std::optional<std::string> stick;
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(upd::kHelpText, stdout);
            return 0;
        } else if (arg == "--version") {
            std::fputs(upd::VersionLine(kProgram).c_str(), stdout);
            return 0;
        } else if (arg == "--json") {
            continue;
        } else if (arg == "--show") {
            show = true;
        } else if (arg == "-f") {
            options.force = true;
        } else if ((arg == "--key" || arg == "--instrument" || arg == "-t" || arg == "--image" ||
                    arg == "--accept") &&
                   !hasValue) {
            return Refuse(arg + " needs a value", true);
        } else if (arg == "--key") {
            options.publicKey = argv[++i];
        } else if (arg == "--instrument") {
            options.instrumentRoot = argv[++i];
        } else if (arg == "-t") {
            options.timeStamp = argv[++i];
        } else if (arg == "--image") {
            image = argv[++i];
        } else if (arg == "--accept") {
            const auto accept = upd::lint::ParseAccept(argv[++i]);
            if (!accept) {
                return Refuse(std::string("--accept needs SECTION:NAME, not ") + argv[i], true);
            }
            options.accepts.push_back(*accept);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Refuse("unknown option " + arg, true);
        } else if (stick) {
            return Refuse("more than one stick given", true);
        } else {
            stick = arg;
        }
    }
    if (stick.has_value() == !image.empty()) {
        return Refuse("give either a STICK directory or --image STICK.img", true);
    }
    if (!options.instrumentRoot.empty() && !IsDirectory(options.instrumentRoot)) {
        return Refuse("the instrument tree " + options.instrumentRoot + " is no directory", false);
    }
    if (!options.publicKey.empty() && !KeyReadable(options.publicKey)) {
        return Refuse("no RSA public key can be read from " + options.publicKey, false);
    }

    std::optional<upd::lint::StickImage> copied;
    if (!image.empty()) {
        copied.emplace(image);
        if (!copied->ok()) {
            return Refuse(copied->error(), false);
        }
        options.stick = copied->root();
    } else {
        options.stick = *stick;
    }
    if (!IsDirectory(options.stick)) {
        return Refuse("the stick " + options.stick + " is no directory", false);
    }

    const upd::lint::Report report = upd::lint::Check(options);
    const std::string text =
        json ? (show ? upd::lint::FormatShowJson(report) : upd::lint::FormatJson(report))
             : (show ? upd::lint::FormatShow(report) : "") + upd::lint::FormatText(report);
    std::fputs(text.c_str(), stdout);
    return upd::lint::ExitStatus(report.findings);
}
