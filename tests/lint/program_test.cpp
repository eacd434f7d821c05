// The update-lint program: its exit statuses, its two renderings, and a stick
// read from an image.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "lint/lint.h"
#include "support/sim_fixture.h"
#include "support/tempdir.h"
#include "util/program.h"

namespace upd::testing {
namespace {

using lint::Finding;
using lint::Severity;

TEST(LintProgramTest, ExitStatusAndRenderingsFollowTheWorstFinding) {
    const Finding warning{Severity::kWarning, "S", 4, "a \"quoted\" word", 0};
    const Finding notice{Severity::kWarning, "S", 3, "notice", 660};
    const Finding error{Severity::kError, "", 0, "no manifest", 610};
    Finding accepted{Severity::kWarning, "S", 5, "known", 0, "msp-failure-unreported"};
    accepted.accepted = true;
    accepted.reason = "why";
    const Finding passedOver{Severity::kError, "S", 2, "gone", 0, "section-missing"};
    struct Row {
        std::vector<Finding> findings;
        int status;
        int code;
        std::string summary;
    };
    const Row rows[] = {
        {{}, 0, 0, "0 errors, 0 warnings\n"},
        {{warning, notice},
         1,
         660,
         "0 errors, 2 warnings; the run would complete, leaving notice 660\n"},
        {{notice, error, warning},
         2,
         610,
         "1 error, 2 warnings; the instrument would stop with 610\n"},
        {{accepted}, 0, 0, "0 errors, 0 warnings (1 accepted)\n"},
        {{accepted, warning}, 1, 0, "0 errors, 1 warning (1 accepted)\n"},
        {{passedOver},
         2,
         0,
         "1 error, 0 warnings; the instrument would report success without running every listed "
         "section\n"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(lint::ExitStatus(r.findings), r.status);
        EXPECT_EQ(lint::PredictedCode(r.findings), r.code);
        const std::string text = lint::FormatText(r.findings);
        EXPECT_EQ(text.substr(text.size() - r.summary.size()), r.summary);
    }
    EXPECT_EQ(lint::FormatText({warning}),
              "warning at line 4 [S]: a \"quoted\" word\n0 errors, 1 warning\n");
    EXPECT_EQ(lint::FormatText({accepted}),
              "accepted warning msp-failure-unreported at line 5 [S]: known (accepted: why)\n"
              "0 errors, 0 warnings (1 accepted)\n");
    EXPECT_EQ(
        lint::FormatJson({warning, accepted}),
        "{\"findings\": [\n  {\"severity\": \"warning\", \"name\": \"\", \"section\": \"S\", "
        "\"line\": 4, \"code\": 0, \"message\": \"a \\\"quoted\\\" word\"},\n  {\"severity\": "
        "\"warning\", \"name\": \"msp-failure-unreported\", \"section\": \"S\", \"line\": 5, "
        "\"code\": 0, \"message\": \"known\", \"accepted\": true, \"reason\": \"why\"}\n], "
        "\"assumptions\": [], \"errors\": 0, \"warnings\": 1, \"accepted\": 1, \"code\": 0, "
        "\"status\": 1}\n");
}

TEST(LintProgramTest, JsonIsWellFormedUtf8WhateverTheBytes) {
    // Every byte that is not part of well-formed UTF-8 is escaped on its own.
    const struct {
        std::string text;
        std::string json;
    } cases[] = {
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"\xC0\xAF", "\\u00c0\\u00af"},                        // overlong '/'
        {"\xE0\x80\xAF", "\\u00e0\\u0080\\u00af"},             // overlong, three bytes
        {"\xED\xA0\x80", "\\u00ed\\u00a0\\u0080"},             // a surrogate
        {"\xF4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // beyond U+10FFFF
        {"\xE2\x82", "\\u00e2\\u0082"},                        // cut short
        {"\x80\xFF", "\\u0080\\u00ff"},                        // no lead byte, no UTF-8 byte
        {"\t\x7F\"\\", "\\u0009\\u007f\\\"\\\\"},
    };
    for (const auto& c : cases) {
        const std::string json = lint::FormatJson({{Severity::kWarning, "", 0, c.text, 0}});
        EXPECT_NE(json.find("\"message\": \"" + c.json + "\"}"), std::string::npos) << json;
    }
}

TEST(LintProgramTest, ReadsADirectoryOrAnImageAndSaysWhatItCannotRead) {
    SimInstrument runner;  // only to run programs
    TempDir dir;
    const std::string stick = dir / "stick";
    std::filesystem::create_directories(stick + "/firmware");
    // The manifest names its file as the instrument's vfat mount finds it.
    WriteAll(stick + "/firmware/app.bin", "app\n");
    WriteAll(stick + "/firmware/AuxInfo.txt",
             "SectionList\nSequence = A, B\nA\nOperation = TransferFile\nSrcDir = /mnt/FIRMWARE\n"
             "SrcFile = App.bin\nInterimDir = /d\nInterimFile = i\nDestDir = /d\nDestFile = f\n"
             "BackupDir = /d\nBackupFile = b\nMD5Hash = x\nSHA256Hash = x\nB\n"
             "Operation = Reboot\n");
    const std::string lintProgram = UPD_LINT_BINARY;

    EXPECT_EQ(runner.Execute({lintProgram, "--help"}).status, 0);
    EXPECT_EQ(runner.Execute({lintProgram}).status, 3);
    EXPECT_EQ(runner.Execute({lintProgram, dir / "none"}).status, 3);
    EXPECT_EQ(runner.Execute({lintProgram, stick, "--key", dir / "none.pem"}).status, 3);
    const SimRun clean = runner.Execute({lintProgram, stick, "--json"});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(
        clean.out,
        "{\"findings\": [], \"assumptions\": [], \"errors\": 0, \"warnings\": 0, \"accepted\": 0, "
        "\"code\": 0, \"status\": 0}\n");

    // The same stick as an image: one FAT partition 1 MiB in, as the
    // partitioning and formatting tools make it.
    const std::string image = dir / "stick.img";
    const SimRun made = runner.Execute({"sh", "-c",
                                        "truncate -s 40M '" + image +
                                            "' && echo 'start=2048, type=c' | sfdisk -q '" + image +
                                            "' && mkfs.vfat -F 32 -n BRIMWOOD --offset 2048 '" +
                                            image + "' 39936 && MTOOLS_SKIP_CHECK=1 mcopy -s -i '" +
                                            image + "@@1M' '" + stick + "/firmware' ::/"});
    if (made.status == 127) {
        GTEST_SKIP() << "sfdisk, mkfs.vfat or mcopy missing: " << made.err;
    }
    ASSERT_EQ(made.status, 0) << made.err;
    const SimRun fromImage = runner.Execute({lintProgram, "--image", image, "--json"});
    EXPECT_EQ(fromImage.status, 0) << fromImage.err;
    EXPECT_EQ(fromImage.out, clean.out);

    // What cannot be read is refused with status 3, never checked in part
    // and never waited for.
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(runner
                  .Execute({"sh", "-c",
                            "cp '" + image + "' '" + dir / "short.img" + "' && truncate -s 3M '" +
                                dir / "short.img" + "'"})
                  .status,
              0);
    const struct {
        std::vector<std::string> args;
        std::string says;
    } unreadable[] = {
        {{"--image", stick + "/firmware/AuxInfo.txt"}, "no partition table"},
        {{"--image", dir / "short.img"}, "cut short"},
        {{"--image", fifo}, "no regular file"},
        {{stick, "--key", fifo}, "no RSA public key"},
    };
    for (const auto& u : unreadable) {
        std::vector<std::string> command = {lintProgram};
        command.insert(command.end(), u.args.begin(), u.args.end());
        const SimRun refused = runner.Execute(command);
        EXPECT_EQ(refused.status, 3) << u.says;
        EXPECT_NE(refused.err.find(u.says), std::string::npos) << refused.err;
    }
}

TEST(LintProgramTest, TheCommandLineAnswersAsTheHelpSays) {
    SimInstrument runner;  // only to run programs
    TempDir dir;
    const std::string stick = dir / "stick";
    std::filesystem::create_directories(stick + "/firmware");
    WriteAll(stick + "/firmware/AuxInfo.txt", "SectionList\nSequence = R\nR\nOperation = Reboot\n");
    const std::string unknown = "update-lint: unknown option --bogus (see update-lint --help)\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of standard output
        std::string err;  // standard error exactly
    } rows[] = {
        {{"--version"}, 0, VersionLine("update-lint"), ""},
        {{"--bogus", stick}, 3, "", unknown},
        {{"--bogus", "--json"},
         3,
         "{\"error\": \"usage\", \"message\": \"unknown option --bogus\", \"status\": 3}\n",
         unknown},
        {{stick, "--accept", "R"},
         3,
         "",
         "update-lint: --accept needs SECTION:NAME, not R (see update-lint --help)\n"},
        {{stick, "--json", "--key", dir / "none.pem"},
         3,
         "{\"error\": \"input\"",
         "update-lint: no RSA public key can be read from " + dir / "none.pem" + "\n"},
        {{stick}, 0, "0 errors, 0 warnings\n", ""},
        {{stick, "--accept", "R:reboot-not-last"},
         1,
         "warning accept-unmatched [R]: accept reboot-not-last matches no warning of section R",
         ""},
    };
    for (const auto& r : rows) {
        std::vector<std::string> command = {UPD_LINT_BINARY};
        command.insert(command.end(), r.args.begin(), r.args.end());
        const SimRun run = runner.Execute(command);
        EXPECT_EQ(run.status, r.status) << run.out << run.err;
        EXPECT_EQ(run.out.substr(0, r.out.size()), r.out);
        EXPECT_EQ(run.err, r.err);
    }
}

}  // namespace
}  // namespace upd::testing
