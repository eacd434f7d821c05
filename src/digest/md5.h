// MD5 message digest (RFC 1321): a running state that takes a message in
// pieces of any size and yields its 16-byte digest.
#pragma once

#include <cstdint>

namespace upd {

// The running state of one digest in progress; plain data, owned by the caller.
struct md5_state_s {
    std::uint32_t bit_count[2];  // message length in bits, low word first
    std::uint32_t chain[4];      // chaining words A, B, C, D
    std::uint8_t block[64];      // input not yet processed (a partial block)
};

// Starts a new message.
void md5_init(md5_state_s* state);

// Appends `length` bytes of `data` to the message; a length of 0 or less does
// nothing.
void md5_append(md5_state_s* state, const std::uint8_t* data, int length);

// Pads the message and writes its 16-byte digest. The state is left padded, not
// reset: start again with md5_init.
void md5_finish(md5_state_s* state, std::uint8_t digest[16]);

}  // namespace upd
