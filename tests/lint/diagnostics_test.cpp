// Each diagnostic of the stick checker on a small stick and instrument tree:
// one table of manifests, each with the finding it must produce (severity,
// code, line and the gist of the message).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "lint/accept.h"
#include "lint/lint.h"
#include "support/package.h"
#include "support/tempdir.h"
#include "update/sim_package.h"

namespace upd::testing {
namespace {

using lint::Severity;
constexpr Severity kError = Severity::kError;
constexpr Severity kWarning = Severity::kWarning;

const std::string kApp = "application image v2\n";
const std::string kNoManifest = "(none)";
const std::string kLong(300, 'x');

// A stick with app.bin, app.conf and boot.img, and an instrument with an
// installed app.bin and app.conf and the folders backup and download.
class Fixture {
  public:
    Fixture() {
        Stick("firmware/app.bin", kApp);
        Stick("firmware/app.conf", "V2\nGain 1\nOffset 0\n");
        Stick("firmware/boot.img", "boot\n");
        Instrument("/home/Brimwood/bin/app.bin", "application image v1\n");
        Instrument("/home/Brimwood/cfg/app.conf", "V1\nGain 5\nOffset 2\n");
        Dir("/home/Brimwood/backup");
        Dir("/home/Brimwood/download");
    }
    void Stick(const std::string& relative, const std::string& content) const {
        std::filesystem::create_directories(
            std::filesystem::path(dir_ / "stick/" + relative).parent_path());
        WriteAll(dir_ / "stick/" + relative, content);
    }
    void Instrument(const std::string& inside, const std::string& content) const {
        std::filesystem::create_directories(
            std::filesystem::path(dir_ / "root" + inside).parent_path());
        WriteAll(dir_ / "root" + inside, content);
    }
    void Dir(const std::string& inside) const {
        std::filesystem::create_directories(dir_ / "root" + inside);
    }
    void Remove(const std::string& path) const { std::filesystem::remove_all(dir_ / path); }
    // A FIFO at `path` (under the fixture's folder: "stick/..." or "root/...").
    void Fifo(const std::string& path) const {
        Remove(path);
        ASSERT_EQ(::mkfifo((dir_ / path).c_str(), 0600), 0);
    }
    // A symbolic link at the instrument path `inside`.
    void Link(const std::string& inside, const std::string& target) const {
        Remove("root" + inside);
        std::filesystem::create_directories(
            std::filesystem::path(dir_ / "root" + inside).parent_path());
        ASSERT_EQ(::symlink(target.c_str(), (dir_ / "root" + inside).c_str()), 0);
    }
    // Signs the manifest and puts the public key beside the stick.
    std::string Sign() const {
        Stick("firmware/AuxInfo.txt.sha256",
              SigningKey::Get().Sign(ReadAll(dir_ / "stick/firmware/AuxInfo.txt")));
        WriteAll(dir_ / "key.pem", SigningKey::Get().PublicPem());
        return dir_ / "key.pem";
    }
    lint::Options Options() const {
        return {dir_ / "stick", "", dir_ / "root", std::nullopt, false};
    }

  private:
    TempDir dir_;
};

Keys With(Keys keys, const Keys& changes) {
    for (const auto& change : changes) {
        std::erase_if(keys, [&](const auto& kv) { return kv.first == change.first; });
        if (change.second != "-") {
            keys.push_back(change);
        }
    }
    return keys;
}

Keys Transfer(const Keys& changes = {}) {
    return With({{"Operation", "TransferFile"},
                 {"SrcDir", "/mnt/firmware"},
                 {"SrcFile", "app.bin"},
                 {"InterimDir", "/home/Brimwood/download"},
                 {"InterimFile", "app.bin.new"},
                 {"DestDir", "/home/Brimwood/bin"},
                 {"DestFile", "app.bin"},
                 {"BackupDir", "/home/Brimwood/backup"},
                 {"BackupFile", "app.bin"},
                 {"MD5Hash", Md5Hex(kApp)},
                 {"SHA256Hash", Sha256Hex(kApp)}},
                changes);
}

Keys Config(const Keys& changes = {}) {
    return With({{"Operation", "ConfigUpdate"},
                 {"SrcDir", "/mnt/firmware"},
                 {"SrcFile", "app.conf"},
                 {"DestDir", "/home/Brimwood/cfg"},
                 {"DestFile", "app.conf"},
                 {"BackupDir", "/home/Brimwood/backup"},
                 {"BackupFile", "app.conf"}},
                changes);
}

Keys Flash(const Keys& changes = {}) {
    return With({{"Operation", "FlashUpdate"},
                 {"Device", "/dev/mtd3"},
                 {"Offset", "0"},
                 {"EraseCommand", "flash_erase"},
                 {"WriteCommand", "flashcp"},
                 {"DataPath1", "/mnt/firmware/boot.img"}},
                changes);
}

Keys Msp(const Keys& changes = {}) {
    return With({{"Operation", "MSP430Update"},
                 {"CommandJTAG", "probe"},
                 {"Command1", "prog --fast"},
                 {"Command2", "prog"}},
                changes);
}

// A manifest running the given sections S, T, ... in that order (S on line 3,
// its Operation on line 4).
std::string Manifest(const std::vector<Keys>& sections) {
    std::string names;
    std::string text;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const std::string name(1, static_cast<char>('S' + i));
        names += (i == 0 ? "" : ", ") + name;
        text += SectionText(name, sections[i]);
    }
    return "SectionList\nSequence = " + names + "\n" + text;
}

std::string Upper(std::string text) {
    for (char& ch : text) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    return text;
}

struct Diagnostic {
    const char* what;
    std::string manifest;
    Severity severity;
    int code;
    int line;  // -1: any
    std::string says;
    std::function<void(const Fixture&, lint::Options&)> arrange = nullptr;
};

auto TimeStamp(const char* stamp) {
    return [stamp](const Fixture&, lint::Options& o) { o.timeStamp = stamp; };
}
auto OnStick(const char* file, std::string content) {
    return [file, content](const Fixture& f, lint::Options&) { f.Stick(file, content); };
}
auto Installed(const char* file, std::string content) {
    return [file, content](const Fixture& f, lint::Options&) { f.Instrument(file, content); };
}
auto Removed(const char* path) {
    return [path](const Fixture& f, lint::Options&) { f.Remove(path); };
}
auto Fifo(const char* path) {
    return [path](const Fixture& f, lint::Options&) { f.Fifo(path); };
}
// /home/Brimwood/cfg a link to `target`, with the installed file there.
auto LinkedCfg(const char* target, const char* where, std::string content) {
    return [=](const Fixture& f, lint::Options&) {
        f.Link("/home/Brimwood/cfg", target);
        f.Instrument(where, content);
    };
}
auto Signed() {
    return [](const Fixture& f, lint::Options& o) { o.publicKey = f.Sign(); };
}

TEST(LintDiagnosticsTest, EachProblemIsReportedWhereItStands) {
    const std::string stamp = "2026-01-01 00:00:00";
    const Diagnostic table[] = {
        // The manifest, its signature and the run list.
        {"no manifest", kNoManifest, kError, 610, 0, "no readable firmware/AuxInfo.txt"},
        {"line too long", "SectionList\n# c\nSequence = " + kLong + "\n", kError, 610, 3, "255"},
        {"pair before any section", "# c\nA = 1\nS\n", kError, 610, 2, "before the first section"},
        {"-t too long", Manifest({Transfer()}), kError, 621, 0, "31",
         TimeStamp("2026-01-01 00:00:00 and then some more")},
        {"no signature file", Manifest({Transfer()}), kError, 668, 0, "AuxInfo.txt.sha256",
         [](const Fixture& f, lint::Options& o) {
             o.publicKey = f.Sign();
             f.Remove("stick/firmware/AuxInfo.txt.sha256");
         }},
        {"empty list", "SectionList\nSequence = A, B\nB =\n", kError, 613, 3, "B is an empty list"},
        {"Operation too long", Manifest({{{"Operation", kLong.substr(0, 64)}}}), kError, 606, 4,
         "63"},
        // TransferFile, in the operation's order of checks.
        {"TimeStamp too long", Manifest({Transfer({{"TimeStamp", kLong.substr(0, 32)}})}), kError,
         605, 15, "31"},
        {"switch neither true nor false", Manifest({Transfer({{"NoUpdateSame", "yes"}})}), kError,
         605, 15, "true or false"},
        {"first absent key in order", Manifest({Transfer({{"DestFile", "-"}, {"SrcDir", "-"}})}),
         kError, 611, 3, "no SrcDir"},
        {"time stamp not convertible", Manifest({Transfer({{"TimeStamp", "2026-02-30"}})}), kError,
         631, 15, "2026-02-30", TimeStamp("2026-01-01 00:00:00")},
        {"source missing", Manifest({Transfer({{"SrcFile", "none"}})}), kError, 651, 14,
         "not on the stick"},
        {"interim parent missing", Manifest({Transfer({{"InterimDir", "/home/x/y"}})}), kError, 648,
         14, "parent"},
        {"interim path a directory", Manifest({Transfer()}), kError, 658, 8, "interim",
         [](const Fixture& f, lint::Options&) { f.Dir("/home/Brimwood/download/app.bin.new"); }},
        {"uppercase MD5", Manifest({Transfer({{"MD5Hash", Upper(Md5Hex(kApp))}})}), kError, 649, 14,
         "uppercase"},
        {"uppercase SHA-256", Manifest({Transfer({{"SHA256Hash", Upper(Sha256Hex(kApp))}})}),
         kError, 670, 14, "uppercase"},
        {"no SHA-256", Manifest({Transfer({{"SHA256Hash", "-"}})}), kError, 670, 3,
         "no SHA256Hash"},
        {"old backup a directory", Manifest({Transfer()}), kError, 653, 12, "directory",
         [](const Fixture& f, lint::Options&) { f.Dir("/home/Brimwood/backup/app.bin"); }},
        {"installed file missing", Manifest({Transfer({{"DestFile", "new.bin"}})}), kError, 654, 14,
         "DestNoExist"},
        {"backup directory missing", Manifest({Transfer({{"BackupDir", "/home/Brimwood/old"}})}),
         kError, 654, 14, "BackupDir"},
        {"interim copy on the stick", Manifest({Transfer({{"InterimDir", "/mnt/tmp"}})}), kError,
         655, 14, "file systems"},
        {"later failures come after the stop",
         Manifest({Transfer({{"SrcFile", "x"}}), Transfer({{"SrcFile", "y"}})}), kError, 651, 26,
         "already have stopped with 651"},
        // ConfigUpdate, FlashUpdate, MSP430Update, BackupFiles, RemoveFiles.
        {"config: first absent key", Manifest({Config({{"SrcDir", "-"}})}), kError, 618, 3,
         "no SrcDir"},
        {"config: package missing", Manifest({Config()}), kError, 630, 6, "not on the stick",
         Removed("stick/firmware/app.conf")},
        {"config: installed missing", Manifest({Config()}), kError, 623, 8, "does not exist",
         Removed("root/home/Brimwood/cfg/app.conf")},
        {"config: digest differs", Manifest({Config({{"SHA256Hash", Sha256Hex("x")}})}), kError,
         670, 11, "does not match"},
        {"config: package without version", Manifest({Config()}), kError, 662, 6, "version line",
         OnStick("firmware/app.conf", "Gain 1\n")},
        {"config: installed without version", Manifest({Config()}), kError, 663, 8, "version line",
         Installed("/home/Brimwood/cfg/app.conf", "V 1\n")},
        {"config: backup directory missing", Manifest({Config({{"BackupDir", "/home/old"}})}),
         kError, 629, 10, "BackupDir"},
        {"flash: Device too long",
         Manifest({Flash({{"Device", kLong.substr(0, 64)}, {"Offset", "-"}})}), kError, 636, 8,
         "63"},
        {"flash: no Offset", Manifest({Flash({{"Offset", "-"}})}), kError, 637, 3, "no Offset"},
        {"flash: verified data missing",
         Manifest({Flash({{"DataPath1", "/mnt/none"}, {"SHA256Hash", Sha256Hex("boot\n")}})}),
         kError, 658, 9, "does not exist"},
        {"flash: digest differs", Manifest({Flash({{"SHA256Hash", Sha256Hex("x")}})}), kError, 670,
         10, "does not match"},
        {"msp: Command2 too long", Manifest({Msp({{"Command2", kLong.substr(0, 128)}})}), kError,
         647, 7, "127"},
        {"msp: no CommandJTAG", Manifest({Msp({{"CommandJTAG", "-"}})}), kError, 666, 3,
         "no CommandJTAG"},
        {"backup dirs: parent missing",
         Manifest({{{"Operation", "BackupFiles"}, {"DestDir1", "/a/b"}}}), kError, 648, 5,
         "parent"},
        {"remove: a directory",
         Manifest({{{"Operation", "RemoveFiles"}, {"file1", "/home/Brimwood/backup"}}}), kError,
         657, 5, "directory"},
        // No file makes the checker wait: special files are judged by type.
        {"stick: a FIFO as package file", Manifest({Transfer()}), kError, 658, 8, "no regular file",
         Fifo("stick/firmware/app.bin")},
        {"stick: a FIFO no FAT stick holds", Manifest({Transfer()}), kError, 0, 0,
         "firmware/app.bin is no regular file", Fifo("stick/firmware/app.bin")},
        {"stick: a name FAT cannot hold", Manifest({Transfer()}), kError, 0, 0,
         "firmware/a:b holds ':'", OnStick("firmware/a:b", "x")},
        {"manifest a FIFO", kNoManifest, kError, 610, 0, "no regular file",
         Fifo("stick/firmware/AuxInfo.txt")},
        {"signature a FIFO", Manifest({Transfer()}), kError, 668, 0, "regular file",
         [](const Fixture& f, lint::Options& o) {
             o.publicKey = f.Sign();
             f.Fifo("stick/firmware/AuxInfo.txt.sha256");
         }},
        {"config: installed file a FIFO", Manifest({Config()}), kError, 626, 8, "no regular file",
         Fifo("root/home/Brimwood/cfg/app.conf")},
        {"config: verified package a FIFO", Manifest({Config({{"SHA256Hash", Sha256Hex("x")}})}),
         kError, 627, 6, "no regular file", Fifo("stick/firmware/app.conf")},
        // Paths as the instrument finds them: links inside its tree, stick
        // names as its vfat mount compares them.
        {"tree: an absolute link taken inside the tree", Manifest({Config()}), kError, 663, 8,
         "version line", LinkedCfg("/data/cfg", "/data/cfg/app.conf", "V 1\n")},
        {"tree: '..' does not climb out of the tree", Manifest({Config()}), kError, 663, 8,
         "version line", LinkedCfg("../../../../../../data/cfg", "/data/cfg/app.conf", "V 1\n")},
        {"tree: a link onto the stick", Manifest({Config()}), kWarning, 0, 6, "not greater",
         LinkedCfg("/mnt/firmware", "/unused", "")},
        {"stick: a name in other letter case with a trailing dot",
         Manifest({Transfer(
             {{"SrcDir", "/mnt/FIRMWARE"}, {"SrcFile", "App.Bin."}, {"MD5Hash", Md5Hex("x")}})}),
         kError, 649, -1, "does not match"},
        {"stick: a name found by its 8.3 alias",
         Manifest({Transfer({{"SrcFile", "M\xc3\x9cLLER.BIN"}, {"MD5Hash", Md5Hex("x")}})}), kError,
         649, -1, "does not match", OnStick("firmware/M\xc3\xbcller.bin", "m\n")},
        {"stick: the manifest in other letter case", kNoManifest, kError, 0, 4, "no operation",
         OnStick("FIRMWARE/AUXINFO.TXT", Manifest({{{"Operation", "Copy"}}}))},
        // Programs that cannot run: certain failures, or warnings where the
        // run goes on regardless.
        {"msp: JTAG program missing",
         Manifest({Msp({{"CommandJTAG", "/home/Brimwood/bin/probe -x"}})}), kError, 667, 7,
         "does not exist"},
        {"msp: JTAG program on the stick",
         Manifest({Msp({{"CommandJTAG", "/mnt/firmware/app.bin"}})}), kError, 667, 7,
         "without the right to run"},
        {"msp: JTAG program not executable",
         Manifest({Msp({{"CommandJTAG", "/home/Brimwood/bin/app.bin"}})}), kError, 667, 7,
         "not executable"},
        {"msp: JTAG quote never closed", Manifest({Msp({{"CommandJTAG", "probe 'x"}})}), kError,
         667, 7, "quote"},
        {"msp: JTAG status decided by another program",
         Manifest({Msp({{"CommandJTAG", "/home/Brimwood/bin/probe || true"}})}), kWarning, 0, 7,
         "does not exist"},
        {"msp: Command1 program missing",
         Manifest({Msp({{"Command1", "/home/Brimwood/bin/prog"}})}), kWarning, 0, 7,
         "then runs Command2"},
        {"flash: verified write program missing",
         Manifest({Flash({{"WriteCommand", "/home/Brimwood/bin/flashcp"},
                          {"SHA256Hash", Sha256Hex("boot\n")}})}),
         kError, 638, 9, "does not exist"},
        {"-t empty", Manifest({Transfer({{"TimeStamp", stamp}})}), kError, 631, 15,
         "cannot be converted", TimeStamp("")},
        // What the instrument passes over while it reports success: errors
        // without a code.
        {"unknown operation", Manifest({{{"Operation", "Copy"}}}), kError, 0, 4, "no operation"},
        {"operation in another case", Manifest({{{"Operation", "reboot"}}}), kError, 0, 4,
         "did you mean Reboot?"},
        {"listed section misspelled", "SectionList\nSequence = MainAp\nMainApp\n", kError, 0, 2,
         "does not exist: the instrument passes the section over without a code and reports "
         "success (did you mean MainApp?)"},
        {"section without Operation", Manifest({{{"Reboot", "true"}}}), kError, 0, 3,
         "no Operation"},
        // What the instrument passes over or ignores without a word.
        {"version read as a smaller decimal", Manifest({Config()}), kWarning, 0, 6,
         "\"V2.10\" is the decimal number 2.1 to the instrument, which compares versions as "
         "decimal numbers: it is lower than V2.2",
         OnStick("firmware/app.conf", "V2.10\nGain 1\n")},
        {"version with a second dot", Manifest({Config()}), kWarning, 0, 6,
         "what follows its second dot is not read",
         OnStick("firmware/app.conf", "V2.1.3\nGain 1\n")},
        {"byte-order mark", "\xEF\xBB\xBFSectionList\nSequence = S\n", kWarning, 0, 1,
         "byte-order mark"},
        {"no SectionList", "S\nOperation = Reboot\n", kWarning, 0, 0, "nothing runs"},
        {"key no operation reads", Manifest({Transfer({{"Srcdir", "/mnt"}})}), kWarning, 0, 15,
         "SrcDir is"},
        {"RemoveFiles numbering gap",
         Manifest({{{"Operation", "RemoveFiles"}, {"file1", "/a"}, {"file3", "/b"}}}), kWarning, 0,
         6, "file3 is never read"},
        {"Reboot not last", Manifest({{{"Operation", "Reboot"}}, Transfer()}), kWarning, 0, 3,
         "not last"},
        {"duplicate section", Manifest({Transfer()}) + "S\n", kWarning, 0, 15,
         "only the first (line 3)"},
        {"duplicate key", Manifest({Transfer()}) + "Operation = Reboot\n", kWarning, 0, 15,
         "only the first (line 4)"},
        {"section not in the run list", Manifest({Transfer()}) + "X\nOperation = Reboot\n",
         kWarning, 0, 15, "never runs"},
        {"time stamp equal to -t", Manifest({Transfer({{"TimeStamp", stamp}})}), kWarning, 660, 3,
         "notice 660", TimeStamp(stamp.c_str())},
        {"every later gated file skipped",
         Manifest({Transfer({{"TimeStamp", "2025-01-01 00:00:00"}}),
                   Transfer({{"TimeStamp", "2027-01-01 00:00:00"}})}),
         kWarning, 0, 28, "an earlier file", TimeStamp(stamp.c_str())},
        {"merge drops installed lines", Manifest({Config()}), kWarning, 0, 8, "drops 1",
         Installed("/home/Brimwood/cfg/app.conf", "V1\nOffset 2\nGain 5\n")},
        {"config line too long", Manifest({Config()}), kWarning, 0, 6, "line 2",
         OnStick("firmware/app.conf", "V2\n" + std::string(600, 'g') + "\nGain 1\n")},
        {"nothing merged", Manifest({Config()}), kWarning, 0, 6, "not greater",
         Installed("/home/Brimwood/cfg/app.conf", "V3\n")},
        {"msp failure unreported", Manifest({Msp()}), kWarning, 0, 6, "without reporting"},
        {"msp file missing", Manifest({Msp({{"Command1", "prog /mnt/firmware/m.txt"}})}), kWarning,
         0, 7, "not on the stick"},
        {"flash status ignored", Manifest({Flash()}), kWarning, 0, 8, "exit status"},
        {"signed: config unverified", Manifest({Config()}), kWarning, 0, 6, "unverified", Signed()},
        {"signed: flash data unverified", Manifest({Flash()}), kWarning, 0, 9, "unverified",
         Signed()},
        {"signed: msp file unverified",
         Manifest({Msp({{"Command2", "prog /mnt/firmware/boot.img"}})}), kWarning, 0, 7,
         "unverified", Signed()},
    };
    for (const Diagnostic& d : table) {
        SCOPED_TRACE(d.what);
        Fixture f;
        lint::Options options = f.Options();
        if (d.manifest != kNoManifest) {
            f.Stick("firmware/AuxInfo.txt", d.manifest);
        }
        if (d.arrange) {
            d.arrange(f, options);
        }
        const std::vector<lint::Finding> findings = lint::LintStick(options);
        const auto match = std::find_if(findings.begin(), findings.end(), [&](const auto& x) {
            return x.severity == d.severity && x.code == d.code &&
                   (d.line < 0 || x.line == d.line) && x.message.find(d.says) != std::string::npos;
        });
        EXPECT_NE(match, findings.end()) << lint::FormatText(findings);
        for (const lint::Finding& x : findings) {
            EXPECT_TRUE(lint::IsFindingName(x.name)) << x.message;
        }
        if (d.severity == kError && d.code != 0 && match != findings.end() &&
            d.says.find("already") == std::string::npos) {
            EXPECT_EQ(lint::PredictedCode(findings), d.code);
        }
    }
}

}  // namespace
}  // namespace upd::testing

namespace upd::testing {
namespace {

TEST(LintDiagnosticsTest, WhatItCannotKnowIsSaidOnce) {
    Fixture f;
    f.Stick("firmware/AuxInfo.txt",
            Manifest({Msp(), Flash({{"SHA256Hash", Sha256Hex("boot\n")}}), Transfer()}));
    const lint::Report report = lint::Check(f.Options());
    ASSERT_EQ(report.assumptions.size(), 3u);
    EXPECT_EQ(report.assumptions[0].code, 667);
    EXPECT_EQ(report.assumptions[0].line, 5);
    EXPECT_EQ(report.assumptions[1].code, 638);
    EXPECT_EQ(report.assumptions[2].what, lint::Unknowable::kDiskSpace);
    EXPECT_NE(report.assumptions[2].message.find(std::to_string(5 + kApp.size())),
              std::string::npos);
    const std::string text = lint::FormatText(report);
    EXPECT_EQ(text.find("note: "), text.rfind("note: ")) << text;
    EXPECT_NE(text.find("CommandJTAG of [S] exits 0 (else the run stops with 667)"),
              std::string::npos)
        << text;
    // A run that stops first assumes nothing of what comes after.
    f.Stick("firmware/AuxInfo.txt", Manifest({Transfer({{"SrcFile", "none"}}), Msp()}));
    EXPECT_TRUE(lint::Check(f.Options()).assumptions.empty());
}

}  // namespace
}  // namespace upd::testing

namespace upd::testing {
namespace {

TEST(LintDiagnosticsTest, AVersionThatReadsAsItLooksIsNoFinding) {
    for (const char* version : {"V2.9", "V2.05", "V3", "V2.90", "V2.95", "V10.5"}) {
        SCOPED_TRACE(version);
        Fixture f;
        f.Stick("firmware/AuxInfo.txt", Manifest({Config()}));
        f.Stick("firmware/app.conf", std::string(version) + "\nGain 1\n");
        lint::Options options = f.Options();
        options.instrumentRoot.clear();
        for (const lint::Finding& x : lint::LintStick(options)) {
            EXPECT_NE(x.name, "version-reads-smaller") << x.message;
        }
    }
}

}  // namespace
}  // namespace upd::testing
