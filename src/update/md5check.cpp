// The digest check of a file against the MD5 digest text of the manifest.
#include <cstring>

#include "files/file.h"
#include "update/update.h"

namespace upd {

int MD5Check(const char* path, const char* expected_hex) {
    char digest[512];
    if (expected_hex == nullptr || !MD5Hash(path, digest, sizeof digest)) {
        return 0;
    }
    // Exact text: another case, surrounding blanks or another length differ.
    return std::strcmp(expected_hex, digest) == 0 ? 1 : 0;
}

}  // namespace upd
