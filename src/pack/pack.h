// Building an update stick from a source manifest and the files it names: the
// files copied to where the manifest takes them from, the digests filled in
// or checked, the manifest written and signed, the result checked as the
// instrument would load it, as FAT would hold it and by the stick checker,
// and, on request, a ready stick image, read back before it counts; all of it
// moved into place only when every step succeeded.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "lint/lint.h"
#include "pack/keys.h"

namespace upd::pack {

struct Options {
    std::string source{};      // the source manifest; the files it names are found beside it
    std::string outputDir{};   // the stick's root to write (must not exist, or be empty)
    std::string privateKey{};  // PEM private key to sign with; empty: unsigned
    std::string image{};       // stick image to write; empty: none
    PassPhrase passPhrase{};   // for an encrypted private key
    // PEM public key the instrument holds: the signature must verify with it.
    std::string instrumentKey{};
    // Follow symbolic links that leave the source folder (those inside it
    // are always followed).
    bool followLinks = false;
    // Leave FlashUpdate sections without SHA256Hash as written: a digest
    // changes what the instrument does with them.
    bool flashAsWritten = false;
    // The stick checker's warnings accepted on the command line.
    std::vector<lint::Accept> accepts{};
    bool quiet = false;     // tell only problems and what changes a section's behaviour
    bool progress = false;  // show the progress of long steps (on a terminal)
    // Every time stamp in the image (seconds since 1970, UTC); default
    // kFirstFatTime.
    std::optional<std::int64_t> imageTime{};
    // Called with the image's path after it is written and before it is read
    // back: a seam for tests that damage it.
    std::function<void(const std::string&)> imageWritten{};
};

// The exit statuses of update-pack.
enum class Outcome : int {
    kWritten = 0,  // the stick (and image) are in place
    kRefused = 1,  // the package is wrong: the source must change
    kFailed = 2,   // a file, key or tool failed, or the command line was wrong
};

// Builds the stick, telling what it did and every problem on `log`, a line each.
Outcome Pack(const Options& options, std::ostream& log);

}  // namespace upd::pack
