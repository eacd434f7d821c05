// update-pack: builds an update stick from a source manifest and the files it
// names, or makes a key pair to sign sticks with.
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "pack/keys.h"
#include "pack/pack.h"

namespace {

constexpr char kUsage[] =
    "usage: update-pack SOURCE_MANIFEST OUTPUT_DIR [--key PRIVATE.pem] [--image STICK.img]\n"
    "       update-pack --keygen PRIVATE.pem PUBLIC.pem\n"
    "\n"
    "Builds an update stick in OUTPUT_DIR (which must not exist, or be empty) from the\n"
    "source manifest and the files it names: each file a listed section takes from\n"
    "/mnt/PATH is looked for at PATH beside the source manifest, then by its name beside\n"
    "it, and copied to OUTPUT_DIR/PATH. MD5Hash and SHA256Hash are filled in where\n"
    "missing and checked where given; the manifest goes to OUTPUT_DIR/firmware/AuxInfo.txt.\n"
    "Nothing is written unless the instrument could load the manifest and the stick\n"
    "checker finds no error.\n"
    "\n"
    "  --key PRIVATE.pem   sign the manifest (firmware/AuxInfo.txt.sha256) and verify\n"
    "                      the signature with the key's public half\n"
    "  --image STICK.img   also write a stick image: one FAT32 partition labelled BRIMWOOD\n"
    "                      (needs sfdisk, mkfs.vfat and mcopy)\n"
    "  --keygen PRIVATE.pem PUBLIC.pem\n"
    "                      make a 3072-bit RSA key pair; install PUBLIC.pem on the\n"
    "                      instrument as /home/Brimwood/bin/NorvoCal.pub\n"
    "  -h, --help          show this text\n"
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
              << publicPath << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    upd::pack::Options options;
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
        if (arg == "--key" || arg == "--image") {
            if (i + 1 >= args.size()) {
                return Usage(std::string(arg) + " needs a file name");
            }
            (arg == "--key" ? options.privateKey : options.image) = args[++i];
            continue;
        }
        if (arg.starts_with("-") && arg.size() > 1) {
            return Usage("unknown option " + std::string(arg));
        }
        positional.push_back(args[i]);
    }
    if (positional.size() != 2) {
        return Usage("give SOURCE_MANIFEST and OUTPUT_DIR");
    }
    options.source = positional[0];
    options.outputDir = positional[1];
    return static_cast<int>(upd::pack::Pack(options, std::cerr));
}
