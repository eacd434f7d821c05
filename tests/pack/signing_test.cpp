// Key pairs from update-pack and the signature it writes: the instrument's
// check and the openssl tool accept it with the pair's public key and refuse
// it with another.
#include <sys/stat.h>

#include "digest/command.h"
#include "pack/keys.h"
#include "pack_fixture.h"

namespace upd::testing {
namespace {

using pack::Outcome;

bool OpensslVerifies(const std::string& publicKey, const std::string& signature,
                     const std::string& message) {
    const std::string command = "openssl dgst -sha256 -verify " + Quoted(publicKey) +
                                " -signature " + Quoted(signature) + " " + Quoted(message) +
                                " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

TEST_F(PackTest, KeygenMakesAPairThatSignsWhatTheInstrumentVerifies) {
    std::string error;
    // Small keys keep the test quick, also under an emulator.
    ASSERT_TRUE(pack::GenerateKeyPair(dir_ / "key.pem", dir_ / "key.pub", &error, 2048)) << error;
    ASSERT_TRUE(pack::GenerateKeyPair(dir_ / "other.pem", dir_ / "other.pub", &error, 2048))
        << error;
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Manifest("SectionList\nSequence = App\n" + AppSection());
    Source("app.bin", kAppContent);
    ASSERT_EQ(Pack({.privateKey = dir_ / "key.pem"}), Outcome::kWritten) << log_.str();

    const std::string manifest = dir_ / "out/firmware/AuxInfo.txt";
    const std::string signature = dir_ / "out/firmware/AuxInfo.txt.sha256";
    EXPECT_EQ(Out("firmware/AuxInfo.txt.sha256").size(), 256u);  // a 2048-bit key's
    EXPECT_TRUE(pack::VerifiesOnInstrument(manifest, signature, dir_ / "key.pub"));
    EXPECT_TRUE(OpensslVerifies(dir_ / "key.pub", signature, manifest));
    ::testing::internal::CaptureStdout();  // the instrument's check tells why it refuses
    EXPECT_FALSE(pack::VerifiesOnInstrument(manifest, signature, dir_ / "other.pub"));
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(OpensslVerifies(dir_ / "other.pub", signature, manifest));
}

TEST_F(PackTest, KeygenNeverReplacesAKey) {
    WriteAll(dir_ / "key.pem", "mine");
    std::string error;
    EXPECT_FALSE(pack::GenerateKeyPair(dir_ / "key.pem", dir_ / "key.pub", &error, 2048));
    EXPECT_EQ(ReadAll(dir_ / "key.pem"), "mine");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "key.pub"));
    // Nor is a private key left without its public half.
    WriteAll(dir_ / "taken.pub", "theirs");
    EXPECT_FALSE(pack::GenerateKeyPair(dir_ / "new.pem", dir_ / "taken.pub", &error, 2048));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "new.pem"));
}

TEST_F(PackTest, AKeyThatCannotSignLeavesNoStick) {
    Manifest("SectionList\nSequence = App\n" + AppSection());
    Source("app.bin", kAppContent);
    WriteAll(dir_ / "key.pem", "not a key");
    EXPECT_EQ(Pack({.privateKey = dir_ / "key.pem"}), Outcome::kFailed);
    EXPECT_NE(log_.str().find("holds no readable private key"), std::string::npos) << log_.str();
    EXPECT_FALSE(OutExists());
    EXPECT_EQ(Entries(), 2u);  // src and key.pem
}

}  // namespace
}  // namespace upd::testing
