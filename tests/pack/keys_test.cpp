// The keys of a pipeline: an encrypted key opened with its pass phrase from a
// file or a variable and never prompted for without a terminal, a signing key
// checked against the instrument's by fingerprint, and a key generation that
// a signal interrupts leaving no key file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "digest/command.h"
#include "pack/keys.h"
#include "pack_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;
using pack::Outcome;

class KeysTest : public PackTest {
  protected:
    void SetUp() override {
        Manifest("SectionList\nSequence = App\n" + AppSection());
        Source("app.bin", kAppContent);
        CommandOutput("openssl pkey -in " + Quoted(TestKeys() / "key.pem") +
                      " -aes256 -passout pass:secret -out " + Quoted(dir_ / "locked.pem"));
        WriteAll(dir_ / "right", "secret\n");
        WriteAll(dir_ / "wrong", "guess\n");
        ::setenv("UPD_TEST_PASS", "secret", 1);
    }
};

TEST_F(KeysTest, AnEncryptedKeyOpensWithItsPassPhraseAndIsNeverPromptedForBlindly) {
    struct Row {
        pack::PassPhrase pass;
        Outcome outcome;
        const char* said;
    };
    const Row rows[] = {
        {{.file = dir_ / "right"}, Outcome::kWritten, "signed"},
        {{.variable = "UPD_TEST_PASS"}, Outcome::kWritten, "signed"},
        {{.file = dir_ / "wrong"}, Outcome::kFailed, "cannot decrypt "},
        {{.variable = "UPD_TEST_UNSET"}, Outcome::kFailed, "UPD_TEST_UNSET is not set"},
        {{}, Outcome::kFailed, "is encrypted and there is no terminal to ask for its pass phrase"},
    };
    for (const Row& row : rows) {
        fs::remove_all(dir_ / "out");
        EXPECT_EQ(Pack({.privateKey = dir_ / "locked.pem", .passPhrase = row.pass}), row.outcome)
            << log_.str();
        EXPECT_NE(log_.str().find(row.said), std::string::npos) << log_.str();
    }
}

// The program in a pipeline: a session without a terminal, nothing on
// standard input.
TEST_F(KeysTest, TheProgramRunsWithoutATerminal) {
    const std::string run = "setsid -w " + Quoted(UPD_PACK_BINARY) + " " +
                            Quoted(dir_ / "src/AuxInfo.txt.in") + " " + Quoted(dir_ / "out") +
                            " --key " + Quoted(dir_ / "locked.pem") + " </dev/null 2>" +
                            Quoted(dir_ / "said");
    EXPECT_EQ(WEXITSTATUS(std::system(run.c_str())), 2);
    EXPECT_NE(ReadAll(dir_ / "said").find("no terminal"), std::string::npos)
        << ReadAll(dir_ / "said");
    EXPECT_EQ(WEXITSTATUS(std::system((run + " --pass-env UPD_TEST_PASS").c_str())), 0)
        << ReadAll(dir_ / "said");
}

TEST_F(KeysTest, TheInstrumentsKeyIsCheckedByItsFingerprint) {
    std::string error;
    ASSERT_TRUE(pack::GenerateKeyPair(dir_ / "other.pem", dir_ / "other.pub", &error, 2048));
    const std::string fingerprint =
        CommandOutput("openssl pkey -pubin -in " + Quoted(TestKeys() / "key.pub") +
                      " -outform DER | sha256sum")
            .substr(0, 64);

    EXPECT_EQ(Pack({.privateKey = TestKeys() / "key.pem", .instrumentKey = TestKeys() / "key.pub"}),
              Outcome::kWritten)
        << log_.str();
    EXPECT_NE(
        log_.str().find("signing key " + TestKeys() / "key.pem" + ", fingerprint " + fingerprint),
        std::string::npos)
        << log_.str();
    EXPECT_NE(log_.str().find("instrument key " + TestKeys() / "key.pub" + ", fingerprint " +
                              fingerprint),
              std::string::npos);

    fs::remove_all(dir_ / "out");
    EXPECT_EQ(Pack({.privateKey = dir_ / "other.pem", .instrumentKey = TestKeys() / "key.pub"}),
              Outcome::kFailed);
    EXPECT_NE(log_.str().find("other.pem is not the private half of the instrument's key"),
              std::string::npos)
        << log_.str();
    EXPECT_FALSE(OutExists());
}

TEST_F(KeysTest, AnInterruptedKeygenLeavesNoKeyFile) {
    for (const int signal : {SIGINT, SIGTERM}) {
        const TempDir keys;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string error;
            // Long enough to be caught in the middle.
            pack::GenerateKeyPair(keys / "key.pem", keys / "key.pub", &error, 8192);
            ::_exit(0);
        }
        // Once both temporary files are there, the generation runs.
        while (std::distance(fs::directory_iterator(keys.path()), fs::directory_iterator()) < 2) {
            ::usleep(1000);
        }
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_TRUE(fs::is_empty(keys.path())) << fs::directory_iterator(keys.path())->path();
    }
}

}  // namespace
}  // namespace upd::testing
