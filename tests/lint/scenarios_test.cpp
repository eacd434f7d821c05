// One table of failure scenarios, each run both ways: the updater on the
// simulated instrument, and the stick checker on the same stick and instrument
// tree beforehand. The code the checker predicts must be exactly the code the
// run leaves in the error file (0 for none). Each row prints a line
// "SCENARIO <what>: lint <code>, sim <code>".
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <functional>

#include "lint/lint.h"
#include "update/sim_package.h"

namespace upd::testing {
namespace {

const std::string kApp = "application image v2\n";

// A transfer S of app.bin into /home/Brimwood/bin over an installed copy, its
// backup in /home/Brimwood/backup; `change` edits the keys. A section B before
// it and a section E after it run when given.
std::function<void(const SimInstrument&)> Transfer(
    std::function<void(Keys&)> change = [](Keys&) {}, const std::string& before = "",
    const std::string& after = "") {
    return [=](const SimInstrument& sim) {
        sim.Write("/home/Brimwood/bin/app.bin", "application image v1\n");
        sim.MakeDir("/home/Brimwood/backup");
        Keys keys =
            TransferKeys(sim, "app.bin", kApp, "/home/Brimwood/bin", "/home/Brimwood/backup");
        change(keys);
        sim.WriteManifest("SectionList\nSequence = " + std::string(before.empty() ? "" : "B, ") +
                          "S" + (after.empty() ? "" : ", E") + "\n" + before +
                          SectionText("S", keys) + after);
    };
}

std::string Upper(std::string text) {
    for (char& ch : text) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    return text;
}

std::function<void(const SimInstrument&)> Config(std::function<void(const SimInstrument&)> change,
                                                 Keys extra = {}) {
    return [change, extra](const SimInstrument& sim) {
        sim.WriteStick("firmware/app.conf", "V2\nGain 1\n");
        sim.Write("/home/Brimwood/cfg/app.conf", "V1\nGain 5\n");
        sim.MakeDir("/home/Brimwood/backup");
        Keys keys = {{"Operation", "ConfigUpdate"}, {"SrcDir", "/mnt/firmware"},
                     {"SrcFile", "app.conf"},       {"DestDir", "/home/Brimwood/cfg"},
                     {"DestFile", "app.conf"},      {"BackupDir", "/home/Brimwood/backup"},
                     {"BackupFile", "app.conf.bak"}};
        keys.insert(keys.end(), extra.begin(), extra.end());
        change(sim);
        sim.WriteManifest("SectionList\nSequence = S\n" + SectionText("S", keys));
    };
}

std::function<void(const SimInstrument&)> Manifest(const std::string& text) {
    return [text](const SimInstrument& sim) { sim.WriteManifest(text); };
}

// The checker's options for a run of the updater with `args`.
lint::Options OptionsFor(const SimInstrument& sim, const std::vector<std::string>& args) {
    lint::Options options;
    options.stick = sim.Stick();
    options.instrumentRoot = sim.root();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-s") {
            options.publicKey = sim.Host(kPublicKey);
        } else if (args[i] == "-f") {
            options.force = true;
        } else if (args[i] == "-t" && i + 1 < args.size()) {
            options.timeStamp = args[++i];
        }
    }
    return options;
}

struct Scenario {
    const char* what;
    std::function<void(const SimInstrument&)> arrange;
    std::vector<std::string> args = {};
    // Whether the run left what the sections' rules give.
    std::function<bool(const SimInstrument&)> left = nullptr;
};

// A FIFO at the instrument path `inside`.
void Fifo(const SimInstrument& sim, const std::string& inside) {
    sim.Remove(inside);
    ASSERT_EQ(::mkfifo(sim.Host(inside).c_str(), 0644), 0);
}

// A FlashUpdate of the stick's manifest itself, verified.
std::string VerifiedFlash(const std::string& write) {
    return "Operation = FlashUpdate\nDevice = /dev/mtd3\nOffset = 0\nEraseCommand = e\n"
           "WriteCommand = " +
           write + "\nDataPath1 = /mnt/firmware/boot.img\nSHA256Hash = " + Sha256Hex("boot\n") +
           "\n";
}

TEST(LintScenariosTest, PredictsTheCodeOfEveryRun) {
    const std::string seq = "SectionList\nSequence = A\nA\n";
    const std::string tag = "1902 ";
    const Scenario scenarios[] = {
        {"clean transfer", Transfer()},
        {"clean configuration merge", Config([](const SimInstrument&) {})},
        {"no manifest", [](const SimInstrument&) {}},
        {"line of 256 characters", Manifest(seq + "Operation = " + std::string(244, 'R') + "\n")},
        {"pair before the first section", Manifest("Sequence = A\nSectionList\n")},
        {"manifest changed after signing",
         [](const SimInstrument& sim) {
             Transfer()(sim);
             SignManifest(sim);
             sim.WriteManifest(ReadAll(sim.Stick("firmware/AuxInfo.txt")) + "# changed\n");
         },
         {"-s"}},
        {"signed and unchanged",
         [](const SimInstrument& sim) {
             Transfer()(sim);
             SignManifest(sim);
         },
         {"-s"}},
        {"empty manifest, signed",
         [](const SimInstrument& sim) {
             sim.WriteManifest("");
             SignManifest(sim);
         },
         {"-s"}},
        {"empty Sequence", Manifest("SectionList\nSequence =\n")},
        {"list that leads back to itself", Manifest("SectionList\nSequence = A\nA = Sequence\n")},
        {"Operation of 64 characters",
         Manifest(seq + "Operation = " + std::string(64, 'R') + "\n")},
        {"byte-order mark: nothing runs", Manifest("\xEF\xBB\xBFSectionList\nSequence = A\n")},
        {"operation name in another case", Manifest(seq + "Operation = transferfile\n")},
        {"no SrcDir and no DestFile", Transfer([](Keys& k) {
             Erase(k, "SrcDir");
             Erase(k, "DestFile");
         })},
        {"no BackupFile", Transfer([](Keys& k) { Erase(k, "BackupFile"); })},
        {"TimeStamp of 32 characters", Transfer([](Keys& k) {
             Set(k, "TimeStamp", "2020-01-24 12:50:32" + std::string(13, 'x'));
         })},
        {"DestNoExist yes", Transfer([](Keys& k) { Set(k, "DestNoExist", "yes"); })},
        {"invalid -t",
         Transfer([](Keys& k) { Set(k, "TimeStamp", "2020-02-01 00:00:00"); }),
         {"-t", "2020-02-30 00:00:00"}},
        {"time stamp as old as -t",
         Transfer([](Keys& k) { Set(k, "TimeStamp", "2020-02-01 00:00:00"); }),
         {"-t", "2020-02-01 00:00:00"}},
        {"older time stamp, then a newer file",
         Transfer([](Keys& k) { Set(k, "TimeStamp", "2020-01-01 00:00:00"); }, "",
                  "E\nOperation = TransferFile\nSrcDir = /mnt/firmware\nSrcFile = none.bin\n"
                  "InterimDir = /tmp\nInterimFile = x\nDestDir = /tmp\nDestFile = y\n"
                  "BackupDir = /tmp\nBackupFile = z\nTimeStamp = 2030-01-01 00:00:00\n"),
         {"-t", "2020-02-01 00:00:00"}},
        {"-f: time stamps not compared",
         Transfer([](Keys& k) { Set(k, "TimeStamp", "2020-02-01 00:00:00"); }),
         {"-t", "2020-02-01 00:00:00", "-f"}},
        {"source missing", Transfer([](Keys& k) { Set(k, "SrcFile", "none.bin"); })},
        {"uppercase MD5", Transfer([](Keys& k) { Set(k, "MD5Hash", Upper(Md5Hex(kApp))); })},
        {"wrong SHA-256", Transfer([](Keys& k) { Set(k, "SHA256Hash", Sha256Hex("other")); })},
        {"interim path is a directory",
         [](const SimInstrument& sim) {
             Transfer()(sim);
             sim.MakeDir("/home/Brimwood/download/app.bin.new");
         }},
        {"old backup is a directory",
         [](const SimInstrument& sim) {
             Transfer()(sim);
             sim.MakeDir("/home/Brimwood/backup/app.bin.bak");
         }},
        {"interim parent missing",
         Transfer([](Keys& k) { Set(k, "InterimDir", "/home/none/tmp"); })},
        {"installed file missing, DestNoExist absent",
         Transfer([](Keys& k) { Set(k, "DestFile", "new.bin"); })},
        {"installed file missing, DestNoExist true", Transfer([](Keys& k) {
             Set(k, "DestFile", "new.bin");
             Set(k, "DestNoExist", "TRUE");
         })},
        {"backup directory missing",
         Transfer([](Keys& k) { Set(k, "BackupDir", "/home/Brimwood/backup/bin"); })},
        {"backup directory made by an earlier section",
         Transfer([](Keys& k) { Set(k, "BackupDir", "/home/Brimwood/backup/bin"); },
                  "B\nOperation = BackupFiles\nDestDir = /home/Brimwood/backup/bin\n")},
        {"interim copy on the installed file", Transfer([](Keys& k) {
             Set(k, "InterimDir", "/home/Brimwood/bin");
             Set(k, "InterimFile", "app.bin");
         })},
        {"backup is the installed file", Transfer([](Keys& k) {
             Set(k, "BackupDir", "/home/Brimwood/bin/");
             Set(k, "BackupFile", "app.bin");
         })},
        {"config: backup is the installed file",
         [](const SimInstrument& sim) {
             Config([](const SimInstrument&) {})(sim);
             sim.WriteManifest(
                 "SectionList\nSequence = S\nS\nOperation = ConfigUpdate\n"
                 "SrcDir = /mnt/firmware\nSrcFile = app.conf\nDestDir = /home/Brimwood/cfg\n"
                 "DestFile = app.conf\nBackupDir = /home/Brimwood/cfg\nBackupFile = app.conf\n");
         }},
        {"config: no SrcDir",
         [](const SimInstrument& sim) {
             Config([](const SimInstrument&) {})(sim);
             sim.WriteManifest("SectionList\nSequence = S\nS\nOperation = ConfigUpdate\n");
         }},
        {"config: package missing", Config([](const SimInstrument& sim) {
             sim.Remove(std::string(SimInstrument::kStick) + "/firmware/app.conf");
         })},
        {"config: installed missing",
         Config([](const SimInstrument& sim) { sim.Remove("/home/Brimwood/cfg/app.conf"); })},
        {"config: installed unreadable", Config([](const SimInstrument& sim) {
             sim.Remove("/home/Brimwood/cfg/app.conf");
             MakeSocket(sim.Host("/home/Brimwood/cfg/app.conf"));
         })},
        {"config: old backup is a directory", Config([](const SimInstrument& sim) {
             sim.MakeDir("/home/Brimwood/backup/app.conf.bak");
         })},
        {"config: package without version",
         Config([](const SimInstrument& sim) { sim.WriteStick("firmware/app.conf", "Gain 1\n"); })},
        {"config: installed without version", Config([](const SimInstrument& sim) {
             sim.Write("/home/Brimwood/cfg/app.conf", "V 1\nGain 5\n");
         })},
        {"config: backup directory missing",
         Config([](const SimInstrument& sim) { sim.Remove("/home/Brimwood/backup"); })},
        {"config: digest differs",
         Config([](const SimInstrument&) {}, {{"SHA256Hash", Sha256Hex("x")}})},
        {"config: digest matches",
         Config([](const SimInstrument&) {}, {{"SHA256Hash", Sha256Hex("V2\nGain 1\n")}})},
        {"flash: data digest differs",
         Manifest(seq +
                  "Operation = FlashUpdate\nDevice = d\nOffset = 0\nEraseCommand = e\n"
                  "WriteCommand = true\nDataPath1 = /mnt/firmware/AuxInfo.txt\nSHA256Hash = " +
                  Sha256Hex("x") + "\n")},
        {"flash: verified data missing",
         Manifest(seq +
                  "Operation = FlashUpdate\nDevice = d\nOffset = 0\nEraseCommand = e\n"
                  "WriteCommand = true\nDataPath1 = /mnt/none\nSHA256Hash = " +
                  Sha256Hex("x") + "\n")},
        {"backup dirs: parent missing",
         Manifest(seq + "Operation = BackupFiles\nDestDir = /home/none/a\n")},
        {"flash: no Offset",
         Manifest(seq + "Operation = FlashUpdate\nDevice = /dev/mtd3\nEraseCommand = e\n"
                        "WriteCommand = true\nDataPath1 = /mnt/firmware/boot.img\n")},
        {"flash: Offset of 32 characters",
         Manifest(seq + "Operation = FlashUpdate\nDevice = d\nOffset = " + std::string(32, '0') +
                  "\nEraseCommand = e\nWriteCommand = true\nDataPath1 = /mnt/x\n")},
        {"msp: Command1 of 128 characters",
         Manifest(seq + "Operation = MSP430Update\nCommandJTAG = true\nCommand1 = true " +
                  std::string(123, 'x') + "\nCommand2 = true\n")},
        {"msp: no CommandJTAG",
         Manifest(seq + "Operation = MSP430Update\nCommand1 = true\nCommand2 = true\n")},
        // The rows of the issue that found the checker's predictions wrong.
        {"manifest is a directory",
         [](const SimInstrument& sim) {
             sim.MakeDir(std::string(SimInstrument::kStick) + "/firmware/AuxInfo.txt");
         }},
        {"config: package is a directory", Config([](const SimInstrument& sim) {
             sim.Remove(std::string(SimInstrument::kStick) + "/firmware/app.conf");
             sim.MakeDir(std::string(SimInstrument::kStick) + "/firmware/app.conf");
         })},
        {"config: installed file is a directory",
         Config([](const SimInstrument& sim) {
             sim.Remove("/home/Brimwood/cfg/app.conf");
             sim.MakeDir("/home/Brimwood/cfg/app.conf");
         })},
        {"config: installed file is a directory, package verified",
         Config(
             [](const SimInstrument& sim) {
                 sim.Remove("/home/Brimwood/cfg/app.conf");
                 sim.MakeDir("/home/Brimwood/cfg/app.conf");
             },
             {{"SHA256Hash", Sha256Hex("V2\nGain 1\n")}})},
        {"InterimDir is a regular file",
         [](const SimInstrument& sim) {
             Transfer([](Keys& k) { Set(k, "InterimDir", "/home/Brimwood/tmp"); })(sim);
             sim.Write("/home/Brimwood/tmp", "a file\n");
         }},
        {"DestDir is a regular file, DestNoExist true",
         [](const SimInstrument& sim) {
             Transfer([](Keys& k) {
                 Set(k, "DestDir", "/home/Brimwood/opt");
                 Set(k, "DestNoExist", "true");
             })(sim);
             sim.Write("/home/Brimwood/opt", "a file\n");
         }},
        {"download folder is a file, verified flash",
         [seq](const SimInstrument& sim) {
             sim.WriteStick("firmware/boot.img", "boot\n");
             sim.Remove(SimInstrument::kDownloadDir);
             sim.Write(SimInstrument::kDownloadDir, "a file\n");
             sim.WriteManifest(seq + VerifiedFlash("true"));
         }},
        {"-t empty, transfer gated by its TimeStamp",
         Transfer([](Keys& k) { Set(k, "TimeStamp", "2026-12-01 10:00:00"); }),
         {"-t", ""}},
        {"a folder of the instrument is an absolute link",
         Config([](const SimInstrument& sim) {
             sim.Remove("/home/Brimwood/cfg");
             sim.Write("/data/cfg/app.conf", "V1\nGain 5\n");
             ASSERT_EQ(::symlink("/data/cfg", sim.Host("/home/Brimwood/cfg").c_str()), 0);
         })},
        {"CommandJTAG's program missing",
         Manifest(seq +
                  "Operation = MSP430Update\nCommandJTAG = /home/Brimwood/bin/msp430-tool "
                  "--probe\nCommand1 = true\nCommand2 = true\n")},
        {"verified flash, write program missing",
         [seq](const SimInstrument& sim) {
             sim.WriteStick("firmware/boot.img", "boot\n");
             sim.WriteManifest(seq + VerifiedFlash("/home/Brimwood/bin/flash-tool --write"));
         }},
        // Special files where the updater reads a file: refused, never waited on.
        {"a FIFO where the package file should be",
         [](const SimInstrument& sim) {
             Transfer([](Keys& k) { Set(k, "SrcDir", "/home/Brimwood/download"); })(sim);
             Fifo(sim, "/home/Brimwood/download/app.bin");
         }},
        {"a FIFO where the installed configuration should be",
         Config([](const SimInstrument& sim) { Fifo(sim, "/home/Brimwood/cfg/app.conf"); })},
        {"a FIFO where the verified package configuration should be",
         [seq](const SimInstrument& sim) {
             Config([](const SimInstrument&) {})(sim);
             Fifo(sim, "/home/Brimwood/download/app.conf");
             sim.WriteManifest(seq +
                               "Operation = ConfigUpdate\nSrcDir = /home/Brimwood/download\n"
                               "SrcFile = app.conf\nDestDir = /home/Brimwood/cfg\nDestFile = "
                               "app.conf\nBackupDir = /home/Brimwood/backup\nBackupFile = x\n"
                               "SHA256Hash = " +
                               Sha256Hex("x") + "\n");
         }},
        {"a FIFO where the installed file compared under NoUpdateSame should be",
         [](const SimInstrument& sim) {
             Transfer([](Keys& k) { Set(k, "NoUpdateSame", "true"); })(sim);
             Fifo(sim, "/home/Brimwood/bin/app.bin");
         },
         {},
         [](const SimInstrument& sim) { return sim.Read("/home/Brimwood/bin/app.bin") == kApp; }},
        {"a folder where the verified flash copy is made",
         [seq](const SimInstrument& sim) {
             sim.WriteStick("firmware/boot.img", "boot\n");
             sim.MakeDir("/home/Brimwood/download/.flash.update-tmp");
             sim.WriteManifest(seq + VerifiedFlash("true"));
         }},
        {"a FIFO where the verified flash data should be",
         [seq](const SimInstrument& sim) {
             Fifo(sim, "/home/Brimwood/download/boot.img");
             sim.WriteManifest(seq +
                               "Operation = FlashUpdate\nDevice = /dev/mtd3\nOffset = 0\n"
                               "EraseCommand = e\nWriteCommand = true\nDataPath1 = "
                               "/home/Brimwood/download/boot.img\nSHA256Hash = " +
                               Sha256Hex("x") + "\n");
         }},
        {"transfer: backup-tmp name of the backup is the installed file",
         [](const SimInstrument& sim) {
             Transfer([](Keys& k) {
                 Set(k, "DestFile", ".tool.backup-tmp");
                 Set(k, "BackupDir", "/home/Brimwood/bin");
                 Set(k, "BackupFile", "tool");
             })(sim);
             sim.Write("/home/Brimwood/bin/.tool.backup-tmp", "tool v1\n");
         },
         {},
         [](const SimInstrument& sim) {
             return sim.Read("/home/Brimwood/bin/.tool.backup-tmp") == kApp &&
                    sim.Read("/home/Brimwood/bin/tool") == "tool v1\n";
         }},
        {"config: backup is the merge's temporary name",
         [](const SimInstrument& sim) {
             Config([](const SimInstrument&) {})(sim);
             sim.WriteManifest(
                 "SectionList\nSequence = S\nS\nOperation = ConfigUpdate\n"
                 "SrcDir = /mnt/firmware\nSrcFile = app.conf\nDestDir = /home/Brimwood/cfg\n"
                 "DestFile = app.conf\nBackupDir = /home/Brimwood/cfg\n"
                 "BackupFile = .app.conf.update-tmp\n");
         },
         {},
         [](const SimInstrument& sim) {
             return sim.Read("/home/Brimwood/cfg/app.conf") == "V2\nGain 5\n" &&
                    sim.Read("/home/Brimwood/cfg/.app.conf.update-tmp") == "V1\nGain 5\n";
         }},
        {"a stick path in other letter case",
         Transfer([](Keys& k) {
             Set(k, "SrcDir", "/mnt/FIRMWARE");
             Set(k, "SrcFile", "APP.BIN");
         })},
        {"remove: a listed directory",
         [seq](const SimInstrument& sim) {
             sim.MakeDir("/home/Brimwood/old/dir");
             sim.WriteManifest(seq + "Operation = RemoveFiles\nfile1 = /home/Brimwood/old/dir\n");
         }},
};
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        SimInstrument sim;
        sim.WriteScript("/home/Brimwood/bin/brimwood", "exit 0\n");
        s.arrange(sim);
        const int predicted = lint::PredictedCode(lint::LintStick(OptionsFor(sim, s.args)));
        const SimRun run = sim.Run(s.args);
        const std::string file = sim.ErrorFile().value_or(tag + "0\n");
        ASSERT_EQ(file.substr(0, tag.size()), tag);
        const int actual = std::stoi(file.substr(tag.size()));
        const bool leftAsRuled = !s.left || s.left(sim);
        std::printf("SCENARIO %s: lint %d, sim %d\n", s.what, predicted, actual);
        EXPECT_EQ(predicted, actual) << run.out << run.err;
        EXPECT_TRUE(leftAsRuled);
    }
}

}  // namespace
}  // namespace upd::testing

namespace upd::testing {
namespace {

// A stick folder that no FAT stick can be: the checker names the entry as an
// error of the stick (and still predicts the run as the folder stands), and
// update-sim refuses the stick before the updater runs.
TEST(LintScenariosTest, AStickNoFatStickCanBeIsRefusedBothWays) {
    SimInstrument sim;
    Transfer()(sim);
    sim.Remove(std::string(SimInstrument::kStick) + "/firmware/app.bin");
    ASSERT_EQ(::mkfifo(sim.Stick("firmware/app.bin").c_str(), 0644), 0);
    const std::vector<lint::Finding> findings = lint::LintStick(OptionsFor(sim, {}));
    EXPECT_EQ(lint::ExitStatus(findings), 2);
    EXPECT_EQ(lint::PredictedCode(findings), 658);
    EXPECT_NE(lint::FormatText(findings).find("firmware/app.bin is no regular file"),
              std::string::npos)
        << lint::FormatText(findings);
    const SimRun run = sim.Run();
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.report.find("firmware/app.bin"), std::string::npos) << run.report;
    EXPECT_FALSE(sim.ErrorFile().has_value());
}

}  // namespace
}  // namespace upd::testing
