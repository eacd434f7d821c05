// Building an update stick from a source manifest and the files it names: the
// files copied to where the manifest takes them from, the digests filled in
// or checked, the manifest written and signed, the result checked as the
// instrument would load it and by the stick checker, and, on request, a ready
// stick image; all of it moved into place only when every step succeeded.
#pragma once

#include <ostream>
#include <string>

namespace upd::pack {

struct Options {
    std::string source;      // the source manifest; the files it names are found beside it
    std::string outputDir;   // the stick's root to write (must not exist, or be empty)
    std::string privateKey;  // PEM private key to sign with; empty: unsigned
    std::string image;       // stick image to write; empty: none
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
