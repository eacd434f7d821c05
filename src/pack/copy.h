// A package file copied onto the staged stick in one pass that also takes
// the digests the manifest gives for it, from the very bytes written.
#pragma once

#include <cstdint>
#include <string>

#include "pack/progress.h"

namespace upd::pack {

struct CopiedFile {
    std::uint64_t size = 0;
    std::string md5;     // lowercase hex, the instrument's own MD5
    std::string sha256;  // lowercase hex
};

// Copies the file `source` to the new file `target` (mode 0644), with its
// MD5 and SHA-256. The source is opened without blocking and copied only when
// the open file is a regular file of at most stick::kMaxFileSize bytes, so
// that an entry replaced by a FIFO since it was judged cannot make the copy
// wait. False with *error set, and no target left, on failure.
bool CopyWithDigests(const std::string& source, const std::string& target, Progress* progress,
                     CopiedFile* copied, std::string* error);

}  // namespace upd::pack
