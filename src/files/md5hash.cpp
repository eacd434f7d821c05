// The MD5 digest of a file's whole contents as lowercase hexadecimal text.
#include <cstdint>
#include <cstdio>

#include "digest/md5.h"
#include "files/file.h"

namespace upd {
namespace {

// Read size. Reads this large go from the file straight into the buffer,
// bypassing the stream's own buffer, and keep the system-call overhead small
// beside the digest.
constexpr int kChunk = 64 * 1024;

// Room for 32 digits and the NUL.
constexpr int kHexSize = 33;

}  // namespace

int MD5Hash(const char* path, char* out, int out_size) {
    if (out_size < kHexSize) {
        return 0;
    }
    std::FILE* file = OpenRegularStream(path);
    if (file == nullptr) {
        return 0;
    }
    md5_state_s state;
    md5_init(&state);
    std::uint8_t chunk[kChunk];
    bool read_failed = false;
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, kChunk, file);
        if (got == kChunk) {
            md5_append(&state, chunk, kChunk);
            continue;
        }
        // A short read: an error drops the chunk, the end of the file ends the
        // digest with it.
        if (std::ferror(file)) {
            read_failed = true;
            break;
        }
        const bool at_end = std::feof(file) != 0;
        md5_append(&state, chunk, static_cast<int>(got));
        if (at_end) {
            break;
        }
    }
    if (std::fclose(file) != 0 || read_failed) {
        return 0;
    }
    std::uint8_t digest[16];
    md5_finish(&state, digest);
    for (int i = 0; i < 16; ++i) {
        std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
    return 1;
}

}  // namespace upd
