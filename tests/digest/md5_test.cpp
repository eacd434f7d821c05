// The MD5 module against RFC 1321's test suite and OpenSSL's MD5, whole and in
// pieces.
#include "digest/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

namespace upd {
namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
    std::string hex;
    char two[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

const std::uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::string Md5Whole(const std::string& message) {
    md5_state_s state;
    md5_init(&state);
    md5_append(&state, Bytes(message), static_cast<int>(message.size()));
    std::uint8_t digest[16];
    md5_finish(&state, digest);
    return Hex(digest, 16);
}

// Deterministic bytes that are not a repeating pattern of any block size.
std::string Message(std::size_t size) {
    std::string message(size, '\0');
    std::uint32_t x = 0x12345678;
    for (char& ch : message) {
        x = x * 1103515245u + 12345u;
        ch = static_cast<char>(x >> 24);
    }
    return message;
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case {
        const char* message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Md5Whole(c.message), c.digest) << "message \"" << c.message << "\"";
    }
}

// Lengths around the padding boundary (55/56 bytes) and the block size agree
// with OpenSSL's MD5.
TEST(Md5, AgreesWithOpenSslAcrossBlockBoundaries) {
    for (std::size_t size = 0; size <= 200; ++size) {
        const std::string message = Message(size);
        std::uint8_t expected[EVP_MAX_MD_SIZE];
        unsigned int expected_size = 0;
        ASSERT_EQ(EVP_Digest(message.data(), message.size(), expected, &expected_size, EVP_md5(),
                             nullptr),
                  1);
        EXPECT_EQ(Md5Whole(message), Hex(expected, expected_size)) << "size " << size;
    }
}

// Any split of the message into appended pieces gives the digest of the whole;
// pieces of 0 bytes or a negative count add nothing.
TEST(Md5, PiecesGiveTheDigestOfTheWhole) {
    const std::string message = Message(1000);
    const std::string whole = Md5Whole(message);
    const std::vector<std::vector<int>> patterns = {
        {1},      {63},       {64},          {65},  {0, 7, -5, 64, 0}, {55, 1, 8},
        {128, 3}, {1, 63, 1}, {200, -1, 13}, {999}, {57, 0, 300},
    };
    for (const auto& pattern : patterns) {
        md5_state_s state;
        md5_init(&state);
        std::size_t at = 0;
        for (std::size_t i = 0; at < message.size(); ++i) {
            const int piece = pattern[i % pattern.size()];
            const int count =
                piece > 0 ? static_cast<int>(std::min<std::size_t>(piece, message.size() - at))
                          : piece;
            md5_append(&state, Bytes(message) + at, count);
            if (count > 0) {
                at += static_cast<std::size_t>(count);
            }
        }
        std::uint8_t digest[16];
        md5_finish(&state, digest);
        EXPECT_EQ(Hex(digest, 16), whole) << "pattern starting " << pattern[0];
    }
    // Every place of a single cut.
    for (std::size_t cut = 0; cut <= 300; ++cut) {
        md5_state_s state;
        md5_init(&state);
        md5_append(&state, Bytes(message), static_cast<int>(cut));
        md5_append(&state, Bytes(message) + cut, static_cast<int>(message.size() - cut));
        std::uint8_t digest[16];
        md5_finish(&state, digest);
        EXPECT_EQ(Hex(digest, 16), whole) << "cut at " << cut;
    }
}

// Past 512 MiB the bit count no longer fits its low word: the carry into the
// high word must reach the length that closes the message.
TEST(Md5, BitCountCarriesIntoTheHighWord) {
    const std::string chunk = Message(1 << 20);
    const int chunks = 513;  // 513 MiB, just past 2^32 bits
    md5_state_s state;
    md5_init(&state);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(EVP_DigestInit_ex(ctx, EVP_md5(), nullptr), 1);
    for (int i = 0; i < chunks; ++i) {
        md5_append(&state, Bytes(chunk), static_cast<int>(chunk.size() - 3));
        md5_append(&state, Bytes(chunk) + chunk.size() - 3, 3);
        ASSERT_EQ(EVP_DigestUpdate(ctx, chunk.data(), chunk.size()), 1);
    }
    std::uint8_t digest[16];
    md5_finish(&state, digest);
    std::uint8_t expected[EVP_MAX_MD_SIZE];
    unsigned int expected_size = 0;
    ASSERT_EQ(EVP_DigestFinal_ex(ctx, expected, &expected_size), 1);
    EVP_MD_CTX_free(ctx);
    EXPECT_EQ(state.bit_count[1], 1u);
    EXPECT_EQ(Hex(digest, 16), Hex(expected, expected_size));
}

}  // namespace
}  // namespace upd
