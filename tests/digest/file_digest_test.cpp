// File digests (MD5Hash, MD5Check, SHA256Hash) against md5sum and sha256sum and
// the FIPS 180-4 vectors, over sizes on both sides of the read and block sizes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "digest/command.h"
#include "digest/ssl.h"
#include "files/file.h"
#include "support/tempdir.h"
#include "update/update.h"

namespace upd {
namespace {

using testing::CommandOutput;
using testing::Quoted;
using testing::TempDir;
using testing::WriteAll;

std::string Content(std::size_t size) {
    std::string content(size, '\0');
    std::uint32_t x = 0x9e3779b9;
    for (char& ch : content) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ch = static_cast<char>(x);
    }
    return content;
}

// The first word of a tool's output line: the digest.
std::string ToolDigest(const std::string& tool, const std::string& path) {
    const std::string line = CommandOutput(tool + " " + Quoted(path));
    return line.substr(0, line.find(' '));
}

TEST(FileDigest, AgreesWithMd5sumAndSha256sum) {
    const std::size_t sizes[] = {
        0,    1,    55,    56,    63,    64,     255,    256,    257,     4095,
        4096, 4097, 65535, 65536, 65537, 131071, 131072, 131073, 3 << 20, (5 << 20) + 17};
    TempDir dir;
    for (std::size_t size : sizes) {
        const std::string path = dir / ("file" + std::to_string(size));
        WriteAll(path, Content(size));
        char md5[33];
        char sha[65];
        ASSERT_EQ(MD5Hash(path.c_str(), md5, sizeof md5), 1) << "size " << size;
        ASSERT_EQ(SHA256Hash(path.c_str(), sha), 1) << "size " << size;
        EXPECT_EQ(md5, ToolDigest("md5sum", path)) << "size " << size;
        EXPECT_EQ(sha, ToolDigest("sha256sum", path)) << "size " << size;
        EXPECT_EQ(MD5Check(path.c_str(), md5), 1) << "size " << size;
    }
}

TEST(FileDigest, Sha256MatchesFips180Vectors) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir / "message";
        WriteAll(path, c.message);
        char sha[65];
        ASSERT_EQ(SHA256Hash(path.c_str(), sha), 1);
        EXPECT_STREQ(sha, c.digest) << "message of " << c.message.size() << " bytes";
        char fromMemory[65];
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.message.data());
        ASSERT_EQ(SHA256HashBytes(bytes, c.message.size(), fromMemory), 1);
        EXPECT_STREQ(fromMemory, c.digest) << "message of " << c.message.size() << " bytes";
    }
}

// Failures leave the caller's buffer as it was. A directory opens but cannot be
// read, which is the read failure part way through.
TEST(FileDigest, FailuresLeaveTheOutputUntouched) {
    TempDir dir;
    const std::string missing = dir / "missing";
    const std::string directory = dir / "sub";
    ASSERT_EQ(::mkdir(directory.c_str(), 0755), 0);
    for (const std::string& path : {missing, directory}) {
        char md5[64];
        char sha[65];
        std::memset(md5, 'x', sizeof md5);
        std::memset(sha, 'x', sizeof sha);
        EXPECT_EQ(MD5Hash(path.c_str(), md5, sizeof md5), 0) << path;
        EXPECT_EQ(SHA256Hash(path.c_str(), sha), 0) << path;
        EXPECT_EQ(MD5Check(path.c_str(), "d41d8cd98f00b204e9800998ecf8427e"), 0) << path;
        EXPECT_EQ(std::string(md5, sizeof md5), std::string(sizeof md5, 'x'));
        EXPECT_EQ(std::string(sha, sizeof sha), std::string(sizeof sha, 'x'));
    }
}

TEST(FileDigest, Md5HashNeedsRoomForTheTerminator) {
    TempDir dir;
    const std::string path = dir / "empty";
    WriteAll(path, "");
    char out[40];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(MD5Hash(path.c_str(), out, 32), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'x'));
    EXPECT_EQ(MD5Hash(path.c_str(), out, 33), 1);
    EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(out[33], 'x');
}

// The comparison is exact text: nothing is normalised.
TEST(FileDigest, Md5CheckComparesTextExactly) {
    TempDir dir;
    const std::string path = dir / "abc";
    WriteAll(path, "abc");
    struct Case {
        const char* expected;
        int result;
    };
    const Case cases[] = {
        {"900150983cd24fb0d6963f7d28e17f72", 1},  {"900150983CD24FB0D6963F7D28E17F72", 0},
        {" 900150983cd24fb0d6963f7d28e17f72", 0}, {"900150983cd24fb0d6963f7d28e17f72 ", 0},
        {"900150983cd24fb0d6963f7d28e17f7", 0},   {"", 0},
        {"d41d8cd98f00b204e9800998ecf8427e", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MD5Check(path.c_str(), c.expected), c.result) << '"' << c.expected << '"';
    }
}

}  // namespace
}  // namespace upd
