// The manifest signature check against signatures made by the openssl tool:
// whole-file reads, public-key loading and verification, with the messages a
// refused signature prints.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "digest/command.h"
#include "digest/ssl.h"
#include "support/tempdir.h"

namespace upd {
namespace {

using testing::CommandOutput;
using testing::Quoted;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

const char kFinalFailed[] = "EVP_DigestVerifyFinal failed, error 0x";

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct Buffer {
    unsigned char* data = nullptr;
    unsigned int length = 0;
    ~Buffer() { std::free(data); }
};

// Keys and signatures made once for the suite by the openssl tool.
class Signature : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        manifest_ = Path("AuxInfo.txt");
        WriteAll(manifest_, "[SectionList]\nSequence=Files\n\n[Files]\nOperation=TransferFile\n");
        for (const char* name : {"k2048", "k4096", "other"}) {
            const std::string bits = std::string(name) == "k4096" ? "4096" : "2048";
            Tool("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + bits + " -out " +
                 Quoted(Path(std::string(name) + ".key")));
            Tool("pkey -in " + Quoted(Path(std::string(name) + ".key")) + " -pubout -out " +
                 Quoted(Path(std::string(name) + ".pub")));
            Tool("dgst -sha256 -sign " + Quoted(Path(std::string(name) + ".key")) + " -out " +
                 Quoted(Path(std::string(name) + ".sig")) + " " + Quoted(manifest_));
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static std::string Path(const std::string& name) { return *dir_ / name; }
    static void Tool(const std::string& args) { CommandOutput("openssl " + args + " 2>&1"); }

    static Pkey LoadKey(const std::string& path) {
        Pkey key(EVP_PKEY_new());
        EVP_PKEY* raw = key.release();
        EXPECT_EQ(ReadPublicKey(path.c_str(), &raw), 1) << path;
        return Pkey(raw);
    }

    // Runs VerifyIt and returns its result, with what it printed in `printed`.
    static int Verify(const std::string& message, const std::string& signature, EVP_PKEY* key,
                      std::string* printed) {
        ::testing::internal::CaptureStdout();
        const int result = VerifyIt(reinterpret_cast<const unsigned char*>(message.data()),
                                    static_cast<unsigned int>(message.size()),
                                    reinterpret_cast<const unsigned char*>(signature.data()),
                                    static_cast<unsigned int>(signature.size()), key);
        std::fflush(stdout);
        *printed = ::testing::internal::GetCapturedStdout();
        return result;
    }

    static TempDir* dir_;
    static std::string manifest_;
};

TempDir* Signature::dir_ = nullptr;
std::string Signature::manifest_;

TEST_F(Signature, GoodSignaturesVerifySilently) {
    for (const char* name : {"k2048", "k4096"}) {
        Pkey key = LoadKey(Path(std::string(name) + ".pub"));
        Buffer message;
        Buffer signature;
        ASSERT_EQ(ReadBytesFromFile(manifest_.c_str(), &message.data, &message.length), 1);
        ASSERT_EQ(ReadBytesFromFile(Path(std::string(name) + ".sig").c_str(), &signature.data,
                                    &signature.length),
                  1);
        EXPECT_EQ(signature.length, std::string(name) == "k4096" ? 512u : 256u);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(
            VerifyIt(message.data, message.length, signature.data, signature.length, key.get()), 1)
            << name;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
}

TEST_F(Signature, AlteredOrForeignSignaturesAreRefusedWithTheFinalMessage) {
    const std::string message = ReadAll(manifest_);
    const std::string good = ReadAll(Path("k2048.sig"));
    std::string changed_message = message;
    changed_message[10] ^= 0x01;
    std::string changed_signature = good;
    changed_signature[100] ^= 0x80;
    struct Case {
        const char* what;
        std::string message;
        std::string signature;
        const char* key;
    };
    const Case cases[] = {
        {"changed manifest byte", changed_message, good, "k2048"},
        {"manifest one byte longer", message + "\n", good, "k2048"},
        {"changed signature byte", message, changed_signature, "k2048"},
        {"truncated signature", message, good.substr(0, good.size() - 1), "k2048"},
        {"signature by another key", message, ReadAll(Path("other.sig")), "k2048"},
        {"signature of a shorter key", message, good, "k4096"},
    };
    for (const Case& c : cases) {
        Pkey key = LoadKey(Path(std::string(c.key) + ".pub"));
        std::string printed;
        EXPECT_EQ(Verify(c.message, c.signature, key.get(), &printed), 0) << c.what;
        EXPECT_EQ(printed.rfind(kFinalFailed, 0), 0u) << c.what << ": " << printed;
        EXPECT_EQ(printed.back(), '\n') << c.what;
    }
}

TEST_F(Signature, EmptyOrMissingArgumentsAreRefusedSilently) {
    const std::string message = ReadAll(manifest_);
    const std::string good = ReadAll(Path("k2048.sig"));
    Pkey key = LoadKey(Path("k2048.pub"));
    std::string printed;
    EXPECT_EQ(Verify(message, "", key.get(), &printed), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(Verify("", good, key.get(), &printed), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(Verify(message, good, nullptr, &printed), 0);
    EXPECT_EQ(printed, "");
}

// A key object that never received a key is refused, not dereferenced.
TEST_F(Signature, KeyObjectWithoutKeyFailsWithoutCrash) {
    Pkey empty(EVP_PKEY_new());
    std::string printed;
    EXPECT_EQ(Verify(ReadAll(manifest_), ReadAll(Path("k2048.sig")), empty.get(), &printed), 0);
    EXPECT_NE(printed.find(kFinalFailed), std::string::npos) << printed;
}

TEST_F(Signature, KeyFilesWithoutAnRsaPublicKeyAreRefused) {
    WriteAll(Path("empty.pub"), "");
    WriteAll(Path("text.pub"), "not a key\n");
    WriteAll(Path("broken.pub"), "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
    Tool("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + Quoted(Path("ec.key")));
    Tool("pkey -in " + Quoted(Path("ec.key")) + " -pubout -out " + Quoted(Path("ec.pub")));
    const char* names[] = {"missing.pub", "empty.pub", "text.pub",
                           "broken.pub",  "ec.pub",    "k2048.key"};
    for (const char* name : names) {
        EVP_PKEY* original = EVP_PKEY_new();
        EVP_PKEY* key = original;
        EXPECT_EQ(ReadPublicKey(Path(name).c_str(), &key), 0) << name;
        EXPECT_EQ(key, original) << name;
        EVP_PKEY_free(key);
    }
}

TEST_F(Signature, ReadBytesFromFileReadsExactlyTheFile) {
    const std::string binary("\0\x01\xff\n\r\0z", 7);
    WriteAll(Path("binary"), binary);
    WriteAll(Path("empty"), "");
    ASSERT_EQ(::mkdir(Path("dir").c_str(), 0755), 0);
    testing::MakeFifo(Path("fifo"));  // a signature file that would block a reader
    for (const std::string& content : {binary, std::string()}) {
        Buffer read;
        const std::string name = content.empty() ? "empty" : "binary";
        ASSERT_EQ(ReadBytesFromFile(Path(name).c_str(), &read.data, &read.length), 1) << name;
        ASSERT_NE(read.data, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(read.data), read.length), content);
    }
    for (const char* name : {"missing", "dir", "fifo"}) {
        unsigned char sentinel = 0;
        unsigned char* data = &sentinel;
        unsigned int length = 12345;
        EXPECT_EQ(ReadBytesFromFile(Path(name).c_str(), &data, &length), 0) << name;
        EXPECT_EQ(data, &sentinel) << name;
        EXPECT_EQ(length, 12345u) << name;
    }
}

}  // namespace
}  // namespace upd
