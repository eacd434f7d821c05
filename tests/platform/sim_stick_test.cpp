// The simulated instrument as a package maker meets it: a stick that looks
// names up as the instrument's vfat mount does, refused when no FAT stick
// could hold it, an instrument laid out by --init that the example package
// installs on, and the account of each run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "update/sim_package.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Checks the stick as the updater's commands see it: mode 0755 and owner
// root for every file, and no write accepted.
constexpr char kStickCheck[] =
    "sh -c 'test \"$(stat -c %a:%u:%g /mnt/firmware/app.bin)\" = 755:0:0 && "
    "! touch /mnt/new 2>/dev/null'";

TEST(SimStick, LooksNamesUpAsVfatDoes) {
    const struct {
        const char* what;
        const char* folder;    // the stick's folder for the package
        const char* manifest;  // the manifest's name in it
        const char* srcDir;
        const char* srcFile;
    } cases[] = {
        {"manifest names another case", "firmware", "AuxInfo.txt", "/mnt/FIRMWARE", "App.bin"},
        {"stick holds another case", "FIRMWARE", "AUXINFO.TXT", "/mnt/firmware", "app.bin"},
        {"manifest adds trailing dots", "firmware", "AuxInfo.txt", "/mnt/firmware.", "app.bin.."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimInstrument sim;
        Keys keys =
            TransferKeys(sim, "app.bin", "new\n", "/home/Brimwood/bin", "/home/Brimwood/bin");
        Set(keys, "SrcDir", c.srcDir);
        Set(keys, "SrcFile", c.srcFile);
        Set(keys, "DestNoExist", "true");
        const Keys check = {{"Operation", "MSP430Update"},
                            {"CommandJTAG", kStickCheck},
                            {"Command1", "true"},
                            {"Command2", "true"}};
        fs::rename(sim.Stick("firmware"), sim.Stick(c.folder));
        sim.WriteStick(std::string(c.folder) + "/" + c.manifest,
                       "SectionList\nSequence = App, Check\n" + SectionText("App", keys) +
                           SectionText("Check", check));
        SimRun run = sim.Run();
        if (!sim.StickWasVfat()) {
            GTEST_SKIP() << "FUSE cannot be used here: " << run.report;
        }
        EXPECT_EQ(run.status, 0) << run.report;
        EXPECT_EQ(sim.Read("/home/Brimwood/bin/app.bin"), "new\n");
        EXPECT_FALSE(sim.ErrorFile().has_value());
    }
}

// A listing of a folder takes several requests; each goes on where the last
// stopped, and every entry shows as a folder or a file.
TEST(SimStick, ListsAFolderWhole) {
    SimInstrument sim;
    sim.WriteManifest(
        "SectionList\nSequence = L\nL\nOperation = MSP430Update\n"
        "CommandJTAG = ls -ap /mnt/firmware > /.test/ls\nCommand1 = true\n"
        "Command2 = true\n");
    Lines expected{"./", "../", "AuxInfo.txt", "sub/"};
    for (int i = 0; i < 300; ++i) {
        const std::string name = "file-" + std::to_string(1000 + i) + "-" + std::string(40, 'x');
        sim.WriteStick("firmware/" + name, "");
        expected.push_back(name);
    }
    sim.MakeDir(std::string(SimInstrument::kStick) + "/firmware/sub");
    EXPECT_EQ(sim.Run().status, 0);
    Lines listed = SplitLines(sim.Read("/.test/ls"));
    // ls sorts by the locale's rules.
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

// With the umount refused the stick stays mounted when the user pulls it;
// what was not read before fails from then on.
TEST(SimStick, PulledStickFailsEveryRead) {
    SimInstrument sim;
    sim.WriteManifest("SectionList\nSequence = R\nR\nOperation = Reboot\n");
    sim.WriteStick("firmware/later.txt", "never read\n");
    sim.SetUmountErrno(16);
    sim.WriteScript("/sbin/reboot", "cat /mnt/firmware/later.txt 2> /.test/read\n");
    sim.Run();
    if (!sim.StickWasVfat()) {
        GTEST_SKIP() << "FUSE cannot be used here";
    }
    EXPECT_EQ(sim.TraceOf("unplug "), Lines{"unplug /dev/disk/by-label/BRIMWOOD"});
    EXPECT_NE(sim.Read("/.test/read").find("Input/output error"), std::string::npos);
}

TEST(SimStick, RefusesAFolderNoFatStickCouldBe) {
    SimInstrument sim;
    sim.WriteManifest("Nothing\nKey=value\n");
    sim.WriteStick("firmware/a:b.bin", "");
    sim.WriteStick("firmware/App.bin", "");
    sim.WriteStick("firmware/app.bin", "");
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");  // the updater did not start
    const Lines report = SplitLines(run.report);
    ASSERT_EQ(report.size(), 3u) << run.report;
    EXPECT_NE(report[1].find("firmware/a:b.bin"), std::string::npos);
    EXPECT_NE(report[2].find("firmware/app.bin has the same FAT name as firmware/App.bin"),
              std::string::npos);
    EXPECT_TRUE(sim.Trace().empty());
}

// A new instrument from --init; the example package built by update-pack
// installs on it; a second run of the same stick, with the flash tool made to
// fail, reports the code with its meaning.
TEST(SimStick, InitLaysOutAnInstrumentTheExamplePackageInstallsOn) {
    SimInstrument scratch;
    const std::string root = scratch.root() + "/fresh";
    ASSERT_EQ(scratch.Execute({UPD_SIM_BINARY, "--init", root}).status, 0);
    std::ostringstream log;
    ASSERT_EQ(pack::Pack({.source = std::string(UPD_SOURCE_DIR) +
                                    "/examples/update-package/AuxInfo.txt.in",
                          .outputDir = root + SimInstrument::kStick},
                         log),
              pack::Outcome::kWritten)
        << log.str();
    auto report = [&](const SimRun& run) {
        Lines lines;
        for (const std::string& line : SplitLines(run.err)) {
            if (line.rfind("update-sim: warning: ", 0) != 0) {
                lines.push_back(line);
            }
        }
        return lines;
    };
    const std::string where = "update-sim: every mount, command and sleep: " + root + "/.sim/log";

    SimRun run = scratch.Execute({UPD_SIM_BINARY, root});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(report(run), (Lines{"update-sim: exit status 0 (the run completed)",
                                  "update-sim: code: none (no error file written)",
                                  "update-sim: display: Updating firmware...",
                                  "update-sim: display: Please remove USB device.",
                                  "update-sim: display: Rebooting...",
                                  "update-sim: backed up /home/Brimwood/backup/bin/brimwood",
                                  "update-sim: installed /home/Brimwood/bin/brimwood",
                                  "update-sim: installed /home/Brimwood/bin/bwhelp.txt",
                                  "update-sim: backed up /home/Brimwood/backup/cfg/brimwood.conf",
                                  "update-sim: merged /home/Brimwood/cfg/brimwood.conf", where}));
    for (const char* scaffolding : {"/usr", "/bin", "/lib", "/lib64", "/dev/null"}) {
        EXPECT_FALSE(fs::exists(root + scaffolding)) << scaffolding;
    }
    // Laid out again, the instrument keeps what it holds.
    const std::string settings = ReadAll(root + "/home/Brimwood/cfg/brimwood.conf");
    ASSERT_EQ(scratch.Execute({UPD_SIM_BINARY, "--init", root}).status, 0);
    EXPECT_EQ(ReadAll(root + "/home/Brimwood/cfg/brimwood.conf"), settings);

    WriteAll(root + "/.sim/exit/flash-tool", "3 --write\n");
    run = scratch.Execute({UPD_SIM_BINARY, root});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(report(run),
              (Lines{"update-sim: exit status 1 (the run failed)",
                     "update-sim: code 638: FlashUpdate with SHA256Hash: the write command did "
                     "not exit 0",
                     "update-sim: display: Updating firmware...",
                     "update-sim: display: Error updating firmware: 638",
                     "update-sim: backed up /home/Brimwood/backup/bin/brimwood",
                     "update-sim: installed /home/Brimwood/bin/brimwood",
                     "update-sim: removed /home/Brimwood/backup/cfg/brimwood.conf", where}));
    const Lines runs = SplitLines(ReadAll(root + "/.sim/stand-ins"));
    EXPECT_EQ(std::count(runs.begin(), runs.end(), "/home/Brimwood/bin/msp430-tool --probe"), 2);
    EXPECT_EQ(std::count_if(runs.begin(), runs.end(),
                            [](const std::string& line) {
                                return line.starts_with("/home/Brimwood/bin/flash-tool --write ");
                            }),
              2);
}

}  // namespace
}  // namespace upd::testing
