// A whole signed update run through the simulated instrument, step by step:
// backup directories, a transfer newer than the installed firmware, an MSP430
// step whose first command fails, and a reboot.
#include "sim_package.h"

namespace upd::testing {
namespace {

const std::string kApp = "brimwood build 2020-02-01\n";
const std::string kInstalledApp = "brimwood build 2020-01-24\n";

class WholeRunTest : public ::testing::Test {
  public:
    void SetUp() override {
        sim.Write("/home/Brimwood/bin/brimwood", kInstalledApp, 0700);
        StandIn(sim, "/home/Brimwood/bin/msp-jtag", 0);
        StandIn(sim, "/home/Brimwood/bin/msp-prog1", 1);
        StandIn(sim, "/home/Brimwood/bin/msp-prog2", 0);
        Keys app1 =
            TransferKeys(sim, "brimwood", kApp, "/home/Brimwood/bin", "/home/Brimwood/backup/bin");
        app1.emplace_back("TimeStamp", "2020-02-01 08:00:00");
        sim.WriteManifest(
            "# Firmware 2020-02-01\n"
            "SectionList\n"
            "Sequence = Save, Apps, Finish\n"
            "Apps = App1, App2\n"
            "\n" +
            SectionText("Save", {{"Operation", "BackupFiles"},
                                 {"DestDir", "/home/Brimwood/backup"},
                                 {"SrcDir1", "/home/Brimwood/bin"},
                                 {"DestDir1", "/home/Brimwood/backup/bin"},
                                 {"SrcDir2", "/home/Brimwood/cfg"},
                                 {"DestDir2", "/home/Brimwood/backup/cfg"}}) +
            SectionText("App1", app1) +
            SectionText("App2",
                        {{"Operation", "MSP430Update"},
                         {"CommandJTAG", "/home/Brimwood/bin/msp-jtag --check"},
                         {"Command1", "/home/Brimwood/bin/msp-prog1 /mnt/firmware/m.hex"},
                         {"Command2", "/home/Brimwood/bin/msp-prog2 /mnt/firmware/m.hex"}}) +
            SectionText("Finish", {{"Operation", "Reboot"}}));
        SignManifest(sim);
    }

    SimInstrument sim;
};

TEST_F(WholeRunTest, RunsEveryStepInOrderAndReboots) {
    SimRun run = sim.Run({"-s", "-t", "2020-01-24 12:50:32"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    // Save created its directories; App1 installed the newer file and kept the
    // old one; App2 ran JTAG, Command1 (failed) and Command2 once.
    EXPECT_TRUE(sim.Exists("/home/Brimwood/backup/cfg"));
    EXPECT_EQ(sim.Read("/home/Brimwood/bin/brimwood"), kApp);
    EXPECT_EQ(sim.Read("/home/Brimwood/backup/bin/brimwood.bak"), kInstalledApp);
    EXPECT_FALSE(sim.Exists("/home/Brimwood/download/brimwood.new"));
    EXPECT_EQ(StandInRuns(sim),
              (std::vector<std::string>{"/home/Brimwood/bin/msp-jtag --check",
                                        "/home/Brimwood/bin/msp-prog1 /mnt/firmware/m.hex",
                                        "/home/Brimwood/bin/msp-prog2 /mnt/firmware/m.hex"}));

    // No notice, no error file; the messages of a completed run that reboots.
    EXPECT_FALSE(sim.ErrorFile().has_value());
    EXPECT_EQ(sim.Messages(),
              (std::vector<std::string>{"Updating firmware...", "Please remove USB device.",
                                        "Rebooting..."}));
    EXPECT_EQ(sim.Reboots(), 1);

    std::vector<std::string> expected = MountTrace();
    const std::vector<std::string> rest = {
        "sync",  // the copy to the interim path is synced
        "system /home/Brimwood/bin/msp-jtag --check -> 0",
        "system /home/Brimwood/bin/msp-prog1 /mnt/firmware/m.hex -> 256",
        "system /home/Brimwood/bin/msp-prog2 /mnt/firmware/m.hex -> 0",
        "sync",
        "umount /mnt -> 0",
        "system " + SimInstrument::SplashCommand("Please remove USB device.") + " -> 0",
        "sleep 1",
        "unplug /dev/disk/by-label/BRIMWOOD",
        "system " + SimInstrument::SplashCommand("Rebooting...") + " -> 0",
        "sleep 1",
        "system /sbin/reboot -> 0",
        "sleep 1",
        "exit 0 mounted=no",
    };
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(sim.Trace(), expected);
}

// Without a Reboot section the completed run restarts the main application
// instead, after the stick has been pulled.
TEST_F(WholeRunTest, WithoutRebootRestartsTheMainApplication) {
    std::string manifest = ReadAll(sim.Stick("firmware/AuxInfo.txt"));
    manifest.replace(manifest.find("Save, Apps, Finish"), 18, "Save, Apps");
    sim.WriteManifest(manifest);
    SimRun run = sim.Run({"-f"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(sim.Reboots(), 0);
    const std::vector<std::string> trace = sim.Trace();
    ASSERT_GE(trace.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(trace.end() - 6, trace.end()),
              (std::vector<std::string>{
                  "umount /mnt -> 0",
                  "system " + SimInstrument::SplashCommand("Please remove USB device.") + " -> 0",
                  "sleep 1", "unplug /dev/disk/by-label/BRIMWOOD",
                  "system /home/Brimwood/bin/brimwood & -> 0", "exit 0 mounted=no"}));
}

}  // namespace
}  // namespace upd::testing
