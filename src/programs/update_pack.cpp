// update-pack: builds an update stick from a source manifest and the files it
// names, or makes a key pair to sign sticks with.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "pack/image.h"
#include "pack/keys.h"
#include "pack/pack.h"

namespace {

constexpr char kUsage[] =
    "usage: update-pack SOURCE_MANIFEST OUTPUT_DIR [OPTION...]\n"
    "       update-pack --keygen PRIVATE.pem PUBLIC.pem\n"
    "\n"
    "Builds an update stick in OUTPUT_DIR (which must not exist, or be empty) from the\n"
    "source manifest and the files it names: each file a listed section takes from\n"
    "/mnt/PATH is looked for at PATH beside the source manifest, then by its name beside\n"
    "it, and copied to OUTPUT_DIR/PATH; a folder that a command names is copied whole.\n"
    "MD5Hash and SHA256Hash are filled in where missing and checked where given; the\n"
    "manifest goes to OUTPUT_DIR/firmware/AuxInfo.txt. Nothing is written unless the\n"
    "instrument could load the manifest, a FAT stick can hold every file as it is named,\n"
    "and the stick checker finds no error.\n"
    "\n"
    "  --key PRIVATE.pem     sign the manifest (firmware/AuxInfo.txt.sha256) and verify\n"
    "                        the signature with the key's public half\n"
    "  --pass-file FILE      the pass phrase of an encrypted key: FILE's first line\n"
    "  --pass-env VARIABLE   ... or the value of the environment variable VARIABLE;\n"
    "                        without either, asked for once on the terminal, if any\n"
    "  --instrument-key PUB  the public key the instrument holds: refuse to sign with a\n"
    "                        key that is not its pair, and verify the signature with it\n"
    "  --image STICK.img     also write a stick image: one FAT32 partition labelled BRIMWOOD\n"
    "                        (needs sfdisk, mkfs.vfat and mtools), read back before it\n"
    "                        counts; the same files give the same image, its time stamps\n"
    "                        taken from SOURCE_DATE_EPOCH or else 1980-01-01 00:00:00 UTC\n"
    "  --follow-links        follow symbolic links that leave the source folder (links\n"
    "                        inside it are always followed)\n"
    "  --no-flash-digest     leave FlashUpdate sections without SHA256Hash as written (the\n"
    "                        digest makes the instrument check a copy of the data file\n"
    "                        and stop the run when the write command fails)\n"
    "  --accept SECTION:NAME accept the stick checker's warning NAME for SECTION (as a\n"
    "                        \"# update-lint: accept NAME because REASON\" comment in the\n"
    "                        section does); may be given more than once\n"
    "  -q, --quiet           print only problems and notices of changed behaviour\n"
    "  --keygen PRIVATE.pem PUBLIC.pem\n"
    "                        make a 3072-bit RSA key pair; install PUBLIC.pem on the\n"
    "                        instrument as /home/Brimwood/bin/NorvoCal.pub\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit status: 0 written, 1 refused (the package must change), 2 failed (files,\n"
    "keys, tools or command line).\n";

constexpr int kUsageError = 2;

int Usage(const std::string& problem) {
    std::cerr << "update-pack: " << problem << "\n" << kUsage;
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
            std::cout << kUsage;
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
