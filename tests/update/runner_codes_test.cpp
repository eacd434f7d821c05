// Every failure code of the sequence runner and its operations, end to end on
// the simulated instrument: the error file, the message, and whether the run
// was torn down (stick unmounted, main application restarted) or simply ended.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "sim_package.h"

namespace upd::testing {
namespace {

const std::string kApp = "application image v2\n";
const std::string kInstalled = "application image v1\n";
constexpr char kRestartLine[] = "system /home/Brimwood/bin/brimwood & -> 0";

// A manifest whose sequence is the one section S.
void Single(const SimInstrument& sim, const Keys& keys) {
    sim.WriteManifest("SectionList\nSequence = S\n" + SectionText("S", keys));
}

// A transfer of app.bin into /home/Brimwood/bin, its backup in
// /home/Brimwood/backup.
Keys Transfer(const SimInstrument& sim) {
    sim.Write("/home/Brimwood/bin/app.bin", kInstalled);
    sim.MakeDir("/home/Brimwood/backup");
    return TransferKeys(sim, "app.bin", kApp, "/home/Brimwood/bin", "/home/Brimwood/backup");
}

// A configuration merge of /home/Brimwood/cfg/app.conf.
Keys Config(const SimInstrument& sim) {
    sim.WriteStick("firmware/app.conf", "V2\nGain 1\n");
    sim.Write("/home/Brimwood/cfg/app.conf", "V1\nGain 5\n");
    sim.MakeDir("/home/Brimwood/backup");
    return {{"Operation", "ConfigUpdate"}, {"SrcDir", "/mnt/firmware"},
            {"SrcFile", "app.conf"},       {"DestDir", "/home/Brimwood/cfg"},
            {"DestFile", "app.conf"},      {"BackupDir", "/home/Brimwood/backup"},
            {"BackupFile", "app.conf.bak"}};
}

Keys Msp() {
    return {{"Operation", "MSP430Update"},
            {"CommandJTAG", "true"},
            {"Command1", "true"},
            {"Command2", "true"}};
}

Keys Flash() {
    return {{"Operation", "FlashUpdate"},
            {"Device", "/dev/mtd3"},
            {"Offset", "0x40000"},
            {"EraseCommand", "flash_erase /dev/mtd3"},
            {"WriteCommand", "true flashcp"},
            {"DataPath1", "/mnt/firmware/boot.img"}};
}

struct Case {
    const char* what;
    int code;
    std::function<void(const SimInstrument&)> arrange;
    std::vector<std::string> args = {};
    bool teardown = false;
};

// Runs each case on a fresh instrument and checks the report and the end.
void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + ": " + c.what);
        SimInstrument sim;
        sim.WriteScript("/home/Brimwood/bin/brimwood", "exit 0\n");
        c.arrange(sim);
        SimRun run = sim.Run(c.args);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(c.code) + "\n");
        const std::vector<std::string> messages = sim.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), "Updating firmware...");
        EXPECT_EQ(messages.back(), "Error updating firmware: " + std::to_string(c.code));
        const std::vector<std::string> trace = sim.Trace();
        ASSERT_GE(trace.size(), 2u);
        // No run that fails waits for the stick to be pulled.
        EXPECT_TRUE(sim.TraceOf("sleep").empty());
        if (c.teardown) {
            EXPECT_EQ(trace.back(), "exit 1 mounted=no");
            EXPECT_EQ(trace[trace.size() - 2], kRestartLine);
            EXPECT_EQ(sim.TraceOf("umount").size(), 1u);
        } else {
            EXPECT_EQ(trace.back(), "exit 1 mounted=yes");
            EXPECT_TRUE(sim.TraceOf("umount").empty());
            EXPECT_EQ(std::count(trace.begin(), trace.end(), kRestartLine), 0);
        }
    }
}

TEST(RunnerCodesTest, ManifestFailuresTearTheRunDown) {
    const std::string sig = "firmware/AuxInfo.txt.sha256";
    auto signedManifest = [](const SimInstrument& sim) {
        sim.WriteManifest("SectionList\nSequence = A\nA\nOperation = Reboot\n");
        SignManifest(sim);
    };
    Check({
        {"no manifest", 610, [](const SimInstrument&) {}, {}, true},
        {"pair before the first section",
         610,
         [](const SimInstrument& sim) { sim.WriteManifest("Sequence = A\nSectionList\n"); },
         {},
         true},
        {"line of 256 characters",
         610,
         [](const SimInstrument& sim) {
             sim.WriteManifest("SectionList\nSequence = " + std::string(245, 'A') + "\n");
         },
         {},
         true},
        {"no manifest, with -s",
         610,
         [](const SimInstrument& sim) { SignManifest(sim); },
         {"-s"},
         true},
        {"unparsable manifest, with -s",
         610,
         [](const SimInstrument& sim) {
             sim.WriteManifest("x = 1\n");
             SignManifest(sim);
         },
         {"-s"},
         true},
        {"manifest changed after signing",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             sim.WriteManifest("SectionList\nSequence = B\nA\nOperation = Reboot\n");
         },
         {"-s"},
         true},
        {"signature changed",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             std::string s = ReadAll(sim.Stick(sig));
             s[10] = static_cast<char>(s[10] ^ 1);
             sim.WriteStick(sig, s);
         },
         {"-s", "-mm"},
         true},
        {"empty signature",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             sim.WriteStick(sig, "");
         },
         {"-s"},
         true},
        {"no signature file",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             sim.Remove("/dev/disk/by-label/BRIMWOOD/" + sig);
         },
         {"-s"},
         true},
        {"no public key",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             sim.Remove(kPublicKey);
         },
         {"-s"},
         true},
        {"public key is a FIFO",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             MakeFifo(sim.Host(kPublicKey));
         },
         {"-s"},
         true},
        {"key file without a key",
         668,
         [&](const SimInstrument& sim) {
             signedManifest(sim);
             sim.Write(kPublicKey, "not a key\n");
         },
         {"-s"},
         true},
        {"empty manifest, signed",
         668,
         [](const SimInstrument& sim) {
             sim.WriteManifest("");
             SignManifest(sim);
         },
         {"-s"},
         true},
        {"empty Sequence",
         613,
         [](const SimInstrument& sim) { sim.WriteManifest("SectionList\nSequence =\n"); },
         {},
         true},
        {"empty sub-list",
         613,
         [](const SimInstrument& sim) {
             sim.WriteManifest("SectionList\nSequence = A, B\nB =\nA\nOperation = Reboot\n");
         },
         {},
         true},
        {"Sequence refers to itself",
         613,
         [](const SimInstrument& sim) {
             sim.WriteManifest("SectionList\nSequence = A\nA = Sequence\nA\nOperation=Reboot\n");
         },
         {},
         true},
        {"longer loop",
         613,
         [](const SimInstrument& sim) {
             sim.WriteManifest("SectionList\nSequence = X, A\nA = B\nB = C, D\nC = A\n");
         },
         {},
         true},
        {"Operation of 64 characters",
         606,
         [](const SimInstrument& sim) {
             sim.WriteManifest("SectionList\nSequence = A\nA\nOperation = " + std::string(64, 'R') +
                               "\n");
         },
         {},
         true},
    });
}

TEST(RunnerCodesTest, TransferFailuresEndTheRunWithoutTeardown) {
    auto with = [](std::function<void(const SimInstrument&, Keys&)> change) {
        return [change](const SimInstrument& sim) {
            Keys keys = Transfer(sim);
            change(sim, keys);
            Single(sim, keys);
        };
    };
    auto erase = [&](const char* key) {
        return with([key](const SimInstrument&, Keys& k) { Erase(k, key); });
    };
    Check({
        {"no BackupDir", 601, erase("BackupDir")},
        {"no BackupFile", 602, erase("BackupFile")},
        {"no DestDir", 603, erase("DestDir")},
        {"no DestFile", 604, erase("DestFile")},
        {"no InterimDir", 608, erase("InterimDir")},
        {"no InterimFile", 609, erase("InterimFile")},
        {"no SrcDir", 611, erase("SrcDir")},
        {"no SrcFile", 612, erase("SrcFile")},
        {"TimeStamp of 32 characters", 605, with([](const SimInstrument&, Keys& k) {
             Set(k, "TimeStamp", "2020-01-24 12:50:32            xx");
         })},
        {"DestNoExist yes", 605,
         with([](const SimInstrument&, Keys& k) { Set(k, "DestNoExist", "yes"); })},
        {"invalid -t",
         631,
         with([](const SimInstrument&, Keys& k) { Set(k, "TimeStamp", "2020-02-01 00:00:00"); }),
         {"-t", "2020-02-30 00:00:00"}},
        {"source missing", 651, with([](const SimInstrument& sim, Keys&) {
             sim.Remove("/dev/disk/by-label/BRIMWOOD/firmware/app.bin");
         })},
        {"source is a FIFO", 658, with([](const SimInstrument& sim, Keys& k) {
             sim.MakeDir("/home/Brimwood/pkg");
             MakeFifo(sim.Host("/home/Brimwood/pkg/app.bin"));
             Set(k, "SrcDir", "/home/Brimwood/pkg");
         })},
        {"interim parent missing", 648,
         with([](const SimInstrument&, Keys& k) { Set(k, "InterimDir", "/home/none/tmp"); })},
        {"interim path is a directory", 658, with([](const SimInstrument& sim, Keys&) {
             sim.MakeDir("/home/Brimwood/download/app.bin.new");
         })},
        {"wrong MD5", 649,
         with([](const SimInstrument&, Keys& k) { Set(k, "MD5Hash", Md5Hex("other")); })},
        {"wrong SHA-256", 670,
         with([](const SimInstrument&, Keys& k) { Set(k, "SHA256Hash", Sha256Hex("other")); })},
        {"old backup is a directory", 653, with([](const SimInstrument& sim, Keys&) {
             sim.MakeDir("/home/Brimwood/backup/app.bin.bak/x");
         })},
        {"installed file missing", 654,
         with([](const SimInstrument& sim, Keys&) { sim.Remove("/home/Brimwood/bin/app.bin"); })},
        {"interim copy cannot be moved into place", 655, with([](const SimInstrument&, Keys& k) {
             Set(k, "DestFile", "missing/app.bin");
             Set(k, "DestNoExist", "true");
         })},
    });
}

TEST(RunnerCodesTest, OtherOperationFailuresEndTheRunWithoutTeardown) {
    auto config = [](std::function<void(const SimInstrument&, Keys&)> change) {
        return [change](const SimInstrument& sim) {
            Keys keys = Config(sim);
            change(sim, keys);
            Single(sim, keys);
        };
    };
    auto configErase = [&](const char* key) {
        return config([key](const SimInstrument&, Keys& k) { Erase(k, key); });
    };
    auto single = [](std::function<Keys()> make, std::function<void(Keys&)> change) {
        return [make, change](const SimInstrument& sim) {
            Keys keys = make();
            change(keys);
            Single(sim, keys);
        };
    };
    auto flashErase = [&](const char* key) {
        return single(Flash, [key](Keys& k) { Erase(k, key); });
    };
    auto mspSet = [&](const char* key, std::string value) {
        return single(Msp, [key, value](Keys& k) { Set(k, key, value); });
    };
    auto mspErase = [&](const char* key) { return single(Msp, [key](Keys& k) { Erase(k, key); }); };
    const std::string command128 = "true " + std::string(123, 'x');
    Check({
        {"config: no BackupDir", 614, configErase("BackupDir")},
        {"config: no BackupFile", 615, configErase("BackupFile")},
        {"config: no DestDir", 616, configErase("DestDir")},
        {"config: no DestFile", 617, configErase("DestFile")},
        {"config: no SrcDir", 618, configErase("SrcDir")},
        {"config: no SrcFile", 619, configErase("SrcFile")},
        {"config: installed missing", 623, config([](const SimInstrument& sim, Keys&) {
             sim.Remove("/home/Brimwood/cfg/app.conf");
         })},
        {"config: merged file cannot be created", 625,
         [](const SimInstrument& sim) {
             // A step before the merge makes the configuration folder read-only.
             sim.WriteStick("firmware/ro.sh",
                            "mount --bind /home/Brimwood/cfg /home/Brimwood/cfg &&\n"
                            "mount -o remount,bind,ro /home/Brimwood/cfg\n");
             sim.WriteManifest("SectionList\nSequence = ReadOnly, S\n" +
                               SectionText("ReadOnly", {{"Operation", "MSP430Update"},
                                                        {"CommandJTAG", "sh /mnt/firmware/ro.sh"},
                                                        {"Command1", "true"},
                                                        {"Command2", "true"}}) +
                               SectionText("S", Config(sim)));
         }},
        {"config: installed unreadable", 626, config([](const SimInstrument& sim, Keys&) {
             sim.Remove("/home/Brimwood/cfg/app.conf");
             MakeSocket(sim.Host("/home/Brimwood/cfg/app.conf"));
         })},
        {"config: package unreadable", 627, config([](const SimInstrument& sim, Keys&) {
             sim.Remove("/dev/disk/by-label/BRIMWOOD/firmware/app.conf");
             sim.MakeDir("/dev/disk/by-label/BRIMWOOD/firmware/app.conf");
         })},
        {"config: installed is a FIFO", 626, config([](const SimInstrument& sim, Keys&) {
             MakeFifo(sim.Host("/home/Brimwood/cfg/app.conf"));
         })},
        {"config: package is a FIFO", 627, config([](const SimInstrument& sim, Keys& k) {
             sim.MakeDir("/home/Brimwood/pkg");
             MakeFifo(sim.Host("/home/Brimwood/pkg/app.conf"));
             Set(k, "SrcDir", "/home/Brimwood/pkg");
         })},
        {"config: package is a FIFO, with SHA256Hash", 627,
         config([](const SimInstrument& sim, Keys& k) {
             Set(k, "SHA256Hash", Sha256Hex("V2\nGain 1\n"));
             sim.MakeDir("/home/Brimwood/pkg");
             MakeFifo(sim.Host("/home/Brimwood/pkg/app.conf"));
             Set(k, "SrcDir", "/home/Brimwood/pkg");
         })},
        {"config: old backup is a directory", 628, config([](const SimInstrument& sim, Keys&) {
             sim.MakeDir("/home/Brimwood/backup/app.conf.bak/x");
         })},
        {"config: backup dir missing", 629,
         config([](const SimInstrument&, Keys& k) { Set(k, "BackupDir", "/home/nobackup"); })},
        {"config: package missing", 630, config([](const SimInstrument& sim, Keys&) {
             sim.Remove("/dev/disk/by-label/BRIMWOOD/firmware/app.conf");
         })},
        {"config: package without version", 662, config([](const SimInstrument& sim, Keys&) {
             sim.WriteStick("firmware/app.conf", "Gain 1\n");
         })},
        {"config: installed without version", 663, config([](const SimInstrument& sim, Keys&) {
             sim.Write("/home/Brimwood/cfg/app.conf", "V 1\nGain 5\n");
         })},
        {"backup dirs: parent missing", 648,
         single(
             [] {
                 return Keys{{"Operation", "BackupFiles"}, {"DestDir", "/home/none/a/b"}};
             },
             [](Keys&) {})},
        {"flash: no DataPath1", 632, flashErase("DataPath1")},
        {"flash: no Device", 634, flashErase("Device")},
        {"flash: no EraseCommand", 635, flashErase("EraseCommand")},
        {"flash: no Offset", 637, flashErase("Offset")},
        {"flash: no WriteCommand", 639, flashErase("WriteCommand")},
        {"flash: data is a FIFO, with SHA256Hash", 658,
         [](const SimInstrument& sim) {
             sim.MakeDir("/home/Brimwood/pkg");
             MakeFifo(sim.Host("/home/Brimwood/pkg/boot.img"));
             Keys keys = Flash();
             Set(keys, "DataPath1", "/home/Brimwood/pkg/boot.img");
             Set(keys, "SHA256Hash", Sha256Hex("boot"));
             Single(sim, keys);
         }},
        {"flash: Offset of 32 characters", 636,
         single(Flash, [](Keys& k) { Set(k, "Offset", std::string(32, '0')); })},
        {"flash: Device of 64 characters beats absent keys", 636,
         single(Flash,
                [](Keys& k) {
                    Set(k, "Device", "/dev/" + std::string(59, 'm'));
                    Erase(k, "Offset");
                })},
        {"msp: Command1 of 128 characters", 646, mspSet("Command1", command128)},
        {"msp: Command2 of 128 characters", 647, mspSet("Command2", command128)},
        {"msp: CommandJTAG of 128 characters", 666, mspSet("CommandJTAG", command128)},
        {"msp: no CommandJTAG", 666, mspErase("CommandJTAG")},
        {"msp: no Command1", 646, mspErase("Command1")},
        {"msp: no Command2", 647, mspErase("Command2")},
        {"msp: JTAG exits 1", 667, mspSet("CommandJTAG", "exit 1")},
        {"msp: JTAG killed by a signal", 667, mspSet("CommandJTAG", "kill -TERM $$")},
        {"remove: a listed file cannot be removed", 657,
         [](const SimInstrument& sim) {
             sim.MakeDir("/home/Brimwood/old/dir/x");
             Single(sim, {{"Operation", "RemoveFiles"}, {"file1", "/home/Brimwood/old/dir"}});
         }},
    });
}

}  // namespace
}  // namespace upd::testing

namespace upd::testing {
namespace {

// A full disk while the merged configuration is written: a stand-in step
// mounts a tiny file system over the configuration folder inside the
// simulated instrument and fills it.
TEST(RunnerCodesTest, MergedFileThatCannotBeWrittenGives622) {
    Check({{"config: disk full", 622, [](const SimInstrument& sim) {
                sim.WriteStick("firmware/fill.sh",
                               "mount -t tmpfs -o size=16k tmpfs /home/Brimwood/cfg || exit 1\n"
                               "mkdir /home/Brimwood/cfg/backup\n"
                               "printf 'V1\\nGain 5\\n' > /home/Brimwood/cfg/app.conf\n"
                               "yes | head -c 65536 > /home/Brimwood/cfg/fill\n"
                               "exit 0\n");
                sim.WriteStick("firmware/app.conf", "V2\nGain 1\n");
                sim.MakeDir("/home/Brimwood/cfg");
                Keys config = {
                    {"Operation", "ConfigUpdate"}, {"SrcDir", "/mnt/firmware"},
                    {"SrcFile", "app.conf"},       {"DestDir", "/home/Brimwood/cfg"},
                    {"DestFile", "app.conf"},      {"BackupDir", "/home/Brimwood/cfg/backup"},
                    {"BackupFile", "app.conf"}};
                sim.WriteManifest("SectionList\nSequence = Fill, Cfg\n" +
                                  SectionText("Fill", {{"Operation", "MSP430Update"},
                                                       {"CommandJTAG", "sh /mnt/firmware/fill.sh"},
                                                       {"Command1", "true"},
                                                       {"Command2", "true"}}) +
                                  SectionText("Cfg", config));
            }}});
}

}  // namespace
}  // namespace upd::testing
