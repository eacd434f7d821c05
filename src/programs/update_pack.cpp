// update-pack: builds an update stick from a source manifest and the files it
// names, or makes a key pair to sign sticks with.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "help_text.h"
#include "pack/image.h"
#include "pack/keys.h"
#include "pack/pack.h"
#include "util/program.h"

namespace {

constexpr char kProgram[] = "update-pack";
// A wrong command line is a failure, as the help says.
constexpr int kUsageError = static_cast<int>(upd::pack::Outcome::kFailed);

int Usage(const std::string& problem) {
    std::cerr << upd::UsageErrorLine(kProgram, problem);
    return kUsageError;
}

int Keygen(const std::string& privatePath, const std::string& publicPath) {
    std::string error;
    if (!upd::pack::GenerateKeyPair(privatePath, publicPath, &error)) {
        std::cerr << "update-pack: " << error << "\n";
        return static_cast<int>(upd::pack::Outcome::kFailed);
    }
    std::cerr << "update-pack: wrote the private key " << privatePath << " and the public key "
              << publicPath << ", fingerprint " << upd::pack::PublicKeyFingerprint(publicPath)
              << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    upd::pack::Options options;
    options.passPhrase.prompt = true;
    options.progress = ::isatty(STDERR_FILENO) == 1;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << upd::kHelpText;
            return 0;
        }
        if (arg == "--version") {
            std::cout << upd::VersionLine(kProgram);
            return 0;
        }
        if (arg == "--keygen") {
            if (args.size() != 3 || i != 0) {
                return Usage("--keygen takes exactly PRIVATE.pem and PUBLIC.pem");
            }
            return Keygen(args[1], args[2]);
        }
        struct Valued {
            std::string_view name;
            std::string* value;
        };
        const Valued valued[] = {{"--key", &options.privateKey},
                                 {"--image", &options.image},
                                 {"--pass-file", &options.passPhrase.file},
                                 {"--pass-env", &options.passPhrase.variable},
                                 {"--instrument-key", &options.instrumentKey}};
        bool taken = false;
        for (const Valued& v : valued) {
            if (arg == v.name) {
                if (i + 1 >= args.size()) {
                    return Usage(std::string(arg) + " needs a value");
                }
                *v.value = args[++i];
                taken = true;
            }
        }
        if (taken) {
            continue;
        }
        if (arg == "--accept") {
            const auto accept =
                i + 1 < args.size() ? upd::lint::ParseAccept(args[i + 1]) : std::nullopt;
            if (!accept) {
                return Usage("--accept needs SECTION:NAME");
            }
            options.accepts.push_back(*accept);
            ++i;
        } else if (arg == "--follow-links") {
            options.followLinks = true;
        } else if (arg == "--no-flash-digest") {
            options.flashAsWritten = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return Usage("unknown option " + std::string(arg));
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) {
        return Usage("give SOURCE_MANIFEST and OUTPUT_DIR");
    }
    if (!options.passPhrase.file.empty() && !options.passPhrase.variable.empty()) {
        return Usage("give --pass-file or --pass-env, not both");
    }
    if (!options.instrumentKey.empty() && options.privateKey.empty()) {
        return Usage("--instrument-key checks a signature: give --key too");
    }
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch != nullptr && !options.image.empty()) {
        std::string error;
        options.imageTime = upd::pack::ParseSourceDateEpoch(epoch, &error);
        if (!options.imageTime) {
            std::cerr << "update-pack: " << error << "\n";
            return kUsageError;
        }
    }
    options.source = positional[0];
    options.outputDir = positional[1];
    return static_cast<int>(upd::pack::Pack(options, std::cerr));
}
