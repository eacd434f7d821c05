// update-lint: checks an update stick before it ships and reports what the
// instrument's updater would do with it.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "digest/ssl.h"
#include "lint/image.h"
#include "lint/lint.h"

namespace {

constexpr int kUsageStatus = 3;

constexpr char kUsage[] =
    "Usage: update-lint STICK [options]\n"
    "       update-lint --image STICK.img [options]\n"
    "Checks an update stick (a directory holding firmware/AuxInfo.txt, or a stick\n"
    "image) and reports, for each problem, the manifest section and line, what the\n"
    "instrument would do, and the error code it would show.\n"
    "\n"
    "  --key PUBLIC.pem    check as a signed run (-s) with this public key\n"
    "  --instrument ROOT   an instrument's file tree (laid out as for update-sim):\n"
    "                      also check what depends on the installed files\n"
    "  -t TIMESTAMP        the installed firmware's time stamp, as given to update\n"
    "  -f                  as update -f: install files whatever their time stamps\n"
    "  --image STICK.img   read the stick from an image (a partition table and FAT;\n"
    "                      needs mtools); one cut short or unreadable is refused\n"
    "  --json              a JSON report for scripts\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 no findings, 1 warnings only, 2 errors (the run would fail),\n"
    "3 bad usage or a stick, image or key that cannot be read.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "update-lint: %s\n%s", problem.c_str(), kUsage);
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
    upd::lint::Options options;
    std::string image;
    bool json = false;
    std::optional<std::string> stick;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "-f") {
            options.force = true;
        } else if ((arg == "--key" || arg == "--instrument" || arg == "-t" || arg == "--image") &&
                   !hasValue) {
            return Usage(arg + " needs a value");
        } else if (arg == "--key") {
            options.publicKey = argv[++i];
        } else if (arg == "--instrument") {
            options.instrumentRoot = argv[++i];
        } else if (arg == "-t") {
            options.timeStamp = argv[++i];
        } else if (arg == "--image") {
            image = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (stick) {
            return Usage("more than one stick given");
        } else {
            stick = arg;
        }
    }
    if (stick.has_value() == !image.empty()) {
        return Usage("give either a STICK directory or --image STICK.img");
    }
    if (!options.instrumentRoot.empty() && !IsDirectory(options.instrumentRoot)) {
        return Usage("the instrument tree " + options.instrumentRoot + " is no directory");
    }
    if (!options.publicKey.empty() && !KeyReadable(options.publicKey)) {
        return Usage("no RSA public key can be read from " + options.publicKey);
    }

    std::optional<upd::lint::StickImage> copied;
    if (!image.empty()) {
        copied.emplace(image);
        if (!copied->ok()) {
            std::fprintf(stderr, "update-lint: %s\n", copied->error().c_str());
            return kUsageStatus;
        }
        options.stick = copied->root();
    } else {
        options.stick = *stick;
    }
    if (!IsDirectory(options.stick)) {
        std::fprintf(stderr, "update-lint: the stick %s is no directory\n", options.stick.c_str());
        return kUsageStatus;
    }

    const upd::lint::Report report = upd::lint::Check(options);
    const std::string text = json ? upd::lint::FormatJson(report) : upd::lint::FormatText(report);
    std::fputs(text.c_str(), stdout);
    return upd::lint::ExitStatus(report.findings);
}
