// What the stick will do, as update-lint --show tells it: the example
// package built by update-pack and signed, its run list step by step, and
// with an instrument tree what each step changes there.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "digest/fingerprint.h"
#include "lint/lint.h"
#include "pack/pack.h"
#include "support/package.h"
#include "support/sim_fixture.h"
#include "support/tempdir.h"

namespace upd::testing {
namespace {

const std::string kSource = std::string(UPD_SOURCE_DIR) + "/examples/update-package/";

// The example packed into dir/stick and signed, its public key at dir/key.pem.
class Example {
  public:
    Example() {
        std::ostringstream log;
        EXPECT_EQ(
            pack::Pack({.source = kSource + "AuxInfo.txt.in", .outputDir = dir_ / "stick"}, log),
            pack::Outcome::kWritten)
            << log.str();
        WriteAll(dir_ / "stick/firmware/AuxInfo.txt.sha256",
                 SigningKey::Get().Sign(ReadAll(dir_ / "stick/firmware/AuxInfo.txt")));
        WriteAll(dir_ / "key.pem", SigningKey::Get().PublicPem());
    }
    lint::Options Options() const {
        lint::Options options;
        options.stick = dir_ / "stick";
        options.publicKey = dir_ / "key.pem";
        return options;
    }
    std::string Path(const std::string& relative) const { return dir_ / relative; }

  private:
    TempDir dir_;
};

TEST(LintShowTest, TellsTheExamplesRunStepByStep) {
    const Example example;
    WriteAll(example.Path("stick/firmware/notes.txt"), "left over\n");
    const lint::Report report = lint::Check(example.Options());
    const lint::Account& a = report.account;
    EXPECT_EQ(lint::ExitStatus(report.findings), 0) << lint::FormatText(report);
    EXPECT_TRUE(a.signedRun);
    EXPECT_EQ(a.fingerprint, PublicKeyFingerprint(example.Path("key.pem")));
    EXPECT_EQ(a.unused, std::vector<std::string>{"firmware/notes.txt"});

    const struct {
        std::string section, operation;
        std::size_t takes, commands;
    } steps[] = {
        {"Backup", "BackupFiles", 0, 0},
        {"MainApp", "TransferFile", 1, 0},
        {"Help", "TransferFile", 1, 0},
        {"Settings", "ConfigUpdate", 1, 0},
        {"Microcontroller", "MSP430Update", 1, 3},
        {"BootLogo", "FlashUpdate", 1, 1},
        {"Finish", "Reboot", 0, 0},
    };
    ASSERT_EQ(a.run.size(), std::size(steps));
    for (std::size_t i = 0; i < a.run.size(); ++i) {
        SCOPED_TRACE(steps[i].section);
        EXPECT_EQ(a.run[i].section, steps[i].section);
        EXPECT_EQ(a.run[i].operation, steps[i].operation);
        EXPECT_EQ(a.run[i].outcome, i + 1 == a.run.size() ? "reboots" : "runs");
        EXPECT_EQ(a.run[i].takes.size(), steps[i].takes);
        EXPECT_EQ(a.run[i].commands.size(), steps[i].commands);
        EXPECT_TRUE(a.run[i].changes.empty());
    }
    const lint::Taken& app = a.run[1].takes[0];
    EXPECT_EQ(app.path, "/mnt/firmware/brimwood");
    EXPECT_EQ(app.size, ReadAll(kSource + "brimwood").size());
    EXPECT_EQ(app.sha256, Sha256Hex(ReadAll(kSource + "brimwood")));

    const std::string text = lint::FormatShow(report);
    EXPECT_NE(text.find("signature: checked with " + example.Path("key.pem") +
                        ", SHA-256 fingerprint " + a.fingerprint + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  5. Microcontroller (line 79): MSP430Update, runs\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("stick files no section uses:\n  firmware/notes.txt\nfindings:\n"),
              std::string::npos)
        << text;
    const std::string json = lint::FormatShowJson(report);
    EXPECT_EQ(json.substr(0, 16), "{\"signed\": true,");
    EXPECT_NE(json.find("\"unused\": [\"firmware/notes.txt\"], \"findings\": ["), std::string::npos)
        << json;
}

TEST(LintShowTest, TellsWhatEachStepDoesToAnInstrument) {
    const Example example;
    SimInstrument sim;
    sim.Write("/home/Brimwood/bin/brimwood", "old\n");
    sim.Write("/home/Brimwood/bin/bwhelp.txt", ReadAll(kSource + "bwhelp.txt"));
    sim.Write("/home/Brimwood/cfg/brimwood.conf", "V1.0\nLanguage German\n");
    lint::Options options = example.Options();
    options.instrumentRoot = sim.Host("");
    const struct {
        const char* stamp;
        std::string app, help, settings;  // outcomes
        std::string appChange;            // the start of MainApp's change
    } rows[] = {
        {"2026-01-01 00:00:00", "installed", "skipped-same", "merged", "installed "},
        {"2026-12-01 10:00:00", "gated", "skipped-same", "merged", "nothing: gated"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stamp);
        options.timeStamp = r.stamp;
        const lint::Account a = lint::Check(options).account;
        ASSERT_EQ(a.run.size(), 7u);
        EXPECT_EQ(a.run[1].outcome, r.app);
        EXPECT_EQ(a.run[2].outcome, r.help);
        EXPECT_EQ(a.run[3].outcome, r.settings);
        ASSERT_FALSE(a.run[1].changes.empty());
        EXPECT_EQ(a.run[1].changes[0].substr(0, r.appChange.size()), r.appChange);
        EXPECT_EQ(a.run[3].changes.back(),
                  "merged into /home/Brimwood/cfg/brimwood.conf (keys added: Brightness, Units, "
                  "Backlight, Autosave), the file it replaced kept at "
                  "/home/Brimwood/backup/cfg/brimwood.conf");
    }
}

}  // namespace
}  // namespace upd::testing
