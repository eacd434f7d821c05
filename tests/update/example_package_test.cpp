// The example update package of examples/update-package, built by update-pack
// and signed as the demo does, installs over firmware 1.0 on the simulated
// instrument.
#include <filesystem>
#include <sstream>

#include "pack/pack.h"
#include "sim_package.h"

namespace upd::testing {
namespace {

const std::string kSource = std::string(UPD_SOURCE_DIR) + "/examples/update-package/";

// Packs the example into a folder and puts everything it wrote on the stick.
void PackOnto(const SimInstrument& sim) {
    TempDir dir;
    std::ostringstream log;
    ASSERT_EQ(pack::Pack({.source = kSource + "AuxInfo.txt.in", .outputDir = dir / "stick"}, log),
              pack::Outcome::kWritten)
        << log.str();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "stick")) {
        if (entry.is_regular_file()) {
            const auto relative = entry.path().lexically_relative(dir / "stick");
            sim.WriteStick(relative.string(), ReadAll(entry.path().string()));
        }
    }
}

TEST(ExamplePackageTest, InstallsOverFirmware1) {
    SimInstrument sim;
    sim.WriteScript("/home/Brimwood/bin/brimwood", "exit 0\n");
    sim.Write("/home/Brimwood/cfg/brimwood.conf",
              "V1.0\nLanguage German\nBrightness 40\nBacklight(timeout) 120\n");
    sim.WriteScript("/home/Brimwood/bin/msp430-tool",
                    "echo \"$*\" >> /.test/commands\ncase \"$*\" in *--fast*) exit 1;; esac\n");
    // The flash writer records its device and the bytes of the file it was given.
    sim.WriteScript("/home/Brimwood/bin/flash-tool",
                    "echo \"$1 $3\" >> /.test/flash\ncat \"$2\" >> /.test/flash\n");

    PackOnto(sim);
    SignManifest(sim);

    SimRun run = sim.Run({"-s", "-t", "2026-06-01 12:00:00"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_FALSE(sim.ErrorFile().has_value());
    EXPECT_EQ(sim.Read("/home/Brimwood/bin/brimwood"), ReadAll(kSource + "brimwood"));
    EXPECT_EQ(sim.Read("/home/Brimwood/backup/bin/brimwood"), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(sim.Read("/home/Brimwood/bin/bwhelp.txt"), ReadAll(kSource + "bwhelp.txt"));
    EXPECT_EQ(sim.Read("/home/Brimwood/cfg/brimwood.conf"),
              "V2.0\nLanguage German\nBrightness 40\nUnits metric\nBacklight(timeout) 120\n"
              "Autosave on\n");
    EXPECT_EQ(StandInRuns(sim),
              (std::vector<std::string>{"--probe", "--program --fast /mnt/firmware/msp430.txt",
                                        "--program /mnt/firmware/msp430.txt"}));
    EXPECT_EQ(sim.Read("/.test/flash"), "--write /dev/mtd3\n" + ReadAll(kSource + "bootlogo.img"));
    EXPECT_TRUE(std::filesystem::is_empty(sim.Host(SimInstrument::kDownloadDir)));
    EXPECT_EQ(sim.Reboots(), 1);

    // Installed once, the same package run again changes nothing: the main
    // application is gated by its time stamp, the help text by its content,
    // the settings by their version.
    run = sim.Run({"-s", "-t", "2026-12-01 10:00:00"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(sim.ErrorFile(), "1902 660\n");
    EXPECT_EQ(sim.Read("/home/Brimwood/backup/bin/brimwood"), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(sim.Read("/home/Brimwood/cfg/brimwood.conf").substr(0, 5), "V2.0\n");
    // The settings' old backup goes even though nothing is merged.
    EXPECT_FALSE(sim.Exists("/home/Brimwood/backup/cfg/brimwood.conf"));
}

}  // namespace
}  // namespace upd::testing
