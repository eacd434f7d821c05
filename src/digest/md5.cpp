// MD5 message digest (RFC 1321). The block transform is fully unrolled and
// takes a run of whole blocks at once, loading each message word straight from
// the input at the step that uses it, so that no block is copied and the four
// chaining words stay in registers across the run.
#include "digest/md5.h"

#include <bit>
#include <cstring>

namespace upd {
namespace {

// 0x80 and then zero bytes: the padding that closes every message.
constexpr std::uint8_t pad[64] = {0x80};

// Message word `i` of a block, read as little-endian.
inline std::uint32_t Word(const std::uint8_t* block, int i) {
    const std::uint8_t* p = block + 4 * i;
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    } else {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    }
}

// The four round steps. Each adds the word and the constant to `a` before the
// round function, and each round function is written so that its term on `b`
// (the result of the step just before) comes last: the parts that depend on
// older words can then run while that step is still being computed.
// F(b, c, d) = (b & c) | (~b & d), written as d ^ (b & (c ^ d)).
template <int S>
inline void StepF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, std::uint32_t k) {
    a += x + k;
    a += d ^ (b & (c ^ d));
    a = std::rotl(a, S) + b;
}

// G(b, c, d) = (b & d) | (c & ~d); the two terms never share a bit, so they
// can be added separately, the one without `b` first.
template <int S>
inline void StepG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, std::uint32_t k) {
    a += x + k;
    a += c & ~d;
    a += b & d;
    a = std::rotl(a, S) + b;
}

// H(b, c, d) = b ^ c ^ d.
template <int S>
inline void StepH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, std::uint32_t k) {
    a += x + k;
    a += (c ^ d) ^ b;
    a = std::rotl(a, S) + b;
}

// I(b, c, d) = c ^ (b | ~d).
template <int S>
inline void StepI(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, std::uint32_t k) {
    a += x + k;
    a += c ^ (b | ~d);
    a = std::rotl(a, S) + b;
}

// Runs the transform over `count` consecutive 64-byte blocks.
void md5_process(std::uint32_t chain[4], const std::uint8_t* data, std::size_t count) {
    std::uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
    for (; count != 0; --count, data += 64) {
        const std::uint32_t aa = a, bb = b, cc = c, dd = d;
        const std::uint8_t* x = data;

        StepF<7>(a, b, c, d, Word(x, 0), 0xd76aa478);
        StepF<12>(d, a, b, c, Word(x, 1), 0xe8c7b756);
        StepF<17>(c, d, a, b, Word(x, 2), 0x242070db);
        StepF<22>(b, c, d, a, Word(x, 3), 0xc1bdceee);
        StepF<7>(a, b, c, d, Word(x, 4), 0xf57c0faf);
        StepF<12>(d, a, b, c, Word(x, 5), 0x4787c62a);
        StepF<17>(c, d, a, b, Word(x, 6), 0xa8304613);
        StepF<22>(b, c, d, a, Word(x, 7), 0xfd469501);
        StepF<7>(a, b, c, d, Word(x, 8), 0x698098d8);
        StepF<12>(d, a, b, c, Word(x, 9), 0x8b44f7af);
        StepF<17>(c, d, a, b, Word(x, 10), 0xffff5bb1);
        StepF<22>(b, c, d, a, Word(x, 11), 0x895cd7be);
        StepF<7>(a, b, c, d, Word(x, 12), 0x6b901122);
        StepF<12>(d, a, b, c, Word(x, 13), 0xfd987193);
        StepF<17>(c, d, a, b, Word(x, 14), 0xa679438e);
        StepF<22>(b, c, d, a, Word(x, 15), 0x49b40821);

        StepG<5>(a, b, c, d, Word(x, 1), 0xf61e2562);
        StepG<9>(d, a, b, c, Word(x, 6), 0xc040b340);
        StepG<14>(c, d, a, b, Word(x, 11), 0x265e5a51);
        StepG<20>(b, c, d, a, Word(x, 0), 0xe9b6c7aa);
        StepG<5>(a, b, c, d, Word(x, 5), 0xd62f105d);
        StepG<9>(d, a, b, c, Word(x, 10), 0x02441453);
        StepG<14>(c, d, a, b, Word(x, 15), 0xd8a1e681);
        StepG<20>(b, c, d, a, Word(x, 4), 0xe7d3fbc8);
        StepG<5>(a, b, c, d, Word(x, 9), 0x21e1cde6);
        StepG<9>(d, a, b, c, Word(x, 14), 0xc33707d6);
        StepG<14>(c, d, a, b, Word(x, 3), 0xf4d50d87);
        StepG<20>(b, c, d, a, Word(x, 8), 0x455a14ed);
        StepG<5>(a, b, c, d, Word(x, 13), 0xa9e3e905);
        StepG<9>(d, a, b, c, Word(x, 2), 0xfcefa3f8);
        StepG<14>(c, d, a, b, Word(x, 7), 0x676f02d9);
        StepG<20>(b, c, d, a, Word(x, 12), 0x8d2a4c8a);

        StepH<4>(a, b, c, d, Word(x, 5), 0xfffa3942);
        StepH<11>(d, a, b, c, Word(x, 8), 0x8771f681);
        StepH<16>(c, d, a, b, Word(x, 11), 0x6d9d6122);
        StepH<23>(b, c, d, a, Word(x, 14), 0xfde5380c);
        StepH<4>(a, b, c, d, Word(x, 1), 0xa4beea44);
        StepH<11>(d, a, b, c, Word(x, 4), 0x4bdecfa9);
        StepH<16>(c, d, a, b, Word(x, 7), 0xf6bb4b60);
        StepH<23>(b, c, d, a, Word(x, 10), 0xbebfbc70);
        StepH<4>(a, b, c, d, Word(x, 13), 0x289b7ec6);
        StepH<11>(d, a, b, c, Word(x, 0), 0xeaa127fa);
        StepH<16>(c, d, a, b, Word(x, 3), 0xd4ef3085);
        StepH<23>(b, c, d, a, Word(x, 6), 0x04881d05);
        StepH<4>(a, b, c, d, Word(x, 9), 0xd9d4d039);
        StepH<11>(d, a, b, c, Word(x, 12), 0xe6db99e5);
        StepH<16>(c, d, a, b, Word(x, 15), 0x1fa27cf8);
        StepH<23>(b, c, d, a, Word(x, 2), 0xc4ac5665);

        StepI<6>(a, b, c, d, Word(x, 0), 0xf4292244);
        StepI<10>(d, a, b, c, Word(x, 7), 0x432aff97);
        StepI<15>(c, d, a, b, Word(x, 14), 0xab9423a7);
        StepI<21>(b, c, d, a, Word(x, 5), 0xfc93a039);
        StepI<6>(a, b, c, d, Word(x, 12), 0x655b59c3);
        StepI<10>(d, a, b, c, Word(x, 3), 0x8f0ccc92);
        StepI<15>(c, d, a, b, Word(x, 10), 0xffeff47d);
        StepI<21>(b, c, d, a, Word(x, 1), 0x85845dd1);
        StepI<6>(a, b, c, d, Word(x, 8), 0x6fa87e4f);
        StepI<10>(d, a, b, c, Word(x, 15), 0xfe2ce6e0);
        StepI<15>(c, d, a, b, Word(x, 6), 0xa3014314);
        StepI<21>(b, c, d, a, Word(x, 13), 0x4e0811a1);
        StepI<6>(a, b, c, d, Word(x, 4), 0xf7537e82);
        StepI<10>(d, a, b, c, Word(x, 11), 0xbd3af235);
        StepI<15>(c, d, a, b, Word(x, 2), 0x2ad7d2bb);
        StepI<21>(b, c, d, a, Word(x, 9), 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    chain[0] = a;
    chain[1] = b;
    chain[2] = c;
    chain[3] = d;
}

}  // namespace

void md5_init(md5_state_s* state) {
    state->bit_count[0] = 0;
    state->bit_count[1] = 0;
    state->chain[0] = 0x67452301;
    state->chain[1] = 0xefcdab89;
    state->chain[2] = 0x98badcfe;
    state->chain[3] = 0x10325476;
}

void md5_append(md5_state_s* state, const std::uint8_t* data, int length) {
    if (length <= 0) {
        return;
    }
    std::size_t left = static_cast<std::size_t>(length);
    const std::size_t offset = (state->bit_count[0] >> 3) & 63;

    // Bit count: low word with carry into the high word.
    const std::uint32_t bits = static_cast<std::uint32_t>(length) << 3;
    state->bit_count[1] += static_cast<std::uint32_t>(length) >> 29;
    state->bit_count[0] += bits;
    if (state->bit_count[0] < bits) {
        ++state->bit_count[1];
    }

    // Complete a partly filled block first.
    if (offset != 0) {
        const std::size_t room = 64 - offset;
        if (left < room) {
            std::memcpy(state->block + offset, data, left);
            return;
        }
        std::memcpy(state->block + offset, data, room);
        md5_process(state->chain, state->block, 1);
        data += room;
        left -= room;
    }

    // Whole blocks straight from the input, then keep the tail.
    md5_process(state->chain, data, left / 64);
    data += left & ~std::size_t{63};
    left &= 63;
    if (left != 0) {
        std::memcpy(state->block, data, left);
    }
}

void md5_finish(md5_state_s* state, std::uint8_t digest[16]) {
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = static_cast<std::uint8_t>(state->bit_count[i >> 2] >> ((i & 3) * 8));
    }
    // Pad to 56 bytes modulo 64 (1 to 64 bytes), then the length.
    const int used = static_cast<int>((state->bit_count[0] >> 3) & 63);
    md5_append(state, pad, ((55 - used) & 63) + 1);
    md5_append(state, length, 8);
    for (int i = 0; i < 16; ++i) {
        digest[i] = static_cast<std::uint8_t>(state->chain[i >> 2] >> ((i & 3) * 8));
    }
}

}  // namespace upd
