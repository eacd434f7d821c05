// Signed runs on the simulated instrument whose configuration merge and flash
// write carry SHA256Hash: a file changed on the stick after signing is refused
// before anything changes, an unchanged one is installed, and what is merged
// or flashed is the bytes that were verified.
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

#include "sim_package.h"
#include "update/update.h"

namespace upd::testing {
namespace {

const std::string kConf = "V2\nGain 1\nMode auto\n";
const std::string kImage = "flash image 2.0\n";

// A signed package that merges app.conf and flashes boot.img, each with its
// SHA-256, in the order `sequence`, over configuration V1 and an old backup.
// The flash writer runs `before`, then records in /.test/flash the path it
// was given and that file's bytes.
void SignedPackage(const SimInstrument& sim, const std::string& sequence,
                   const std::string& before = "") {
    sim.WriteScript(SimInstrument::kMainApp, "exit 0\n");
    sim.Write("/home/Brimwood/cfg/app.conf", "V1\nGain 5\n");
    sim.Write("/home/Brimwood/backup/app.conf.bak", "old\n");
    sim.WriteScript("/home/Brimwood/bin/flash",
                    before + "echo \"$1\" > /.test/flash\ncat \"$1\" >> /.test/flash\n");
    sim.WriteStick("firmware/app.conf", kConf);
    sim.WriteStick("firmware/boot.img", kImage);
    sim.WriteManifest("SectionList\nSequence = " + sequence + "\n" +
                      SectionText("Cfg", {{"Operation", "ConfigUpdate"},
                                          {"SrcDir", "/mnt/firmware"},
                                          {"SrcFile", "app.conf"},
                                          {"DestDir", "/home/Brimwood/cfg"},
                                          {"DestFile", "app.conf"},
                                          {"BackupDir", "/home/Brimwood/backup"},
                                          {"BackupFile", "app.conf.bak"},
                                          {"SHA256Hash", Sha256Hex(kConf)}}) +
                      SectionText("Flash", {{"Operation", "FlashUpdate"},
                                            {"Device", "/dev/mtd3"},
                                            {"Offset", "0"},
                                            {"EraseCommand", "true"},
                                            {"WriteCommand", "/home/Brimwood/bin/flash"},
                                            {"DataPath1", "/mnt/firmware/boot.img"},
                                            {"SHA256Hash", Sha256Hex(kImage)}}));
    SignManifest(sim);
}

// The bytes the flash writer was given (after the line with their path).
std::string Flashed(const SimInstrument& sim) {
    const std::string record = sim.Exists("/.test/flash") ? sim.Read("/.test/flash") : "";
    return record.substr(std::min(record.size(), record.find('\n') + 1));
}

bool DownloadEmpty(const SimInstrument& sim) {
    return std::filesystem::is_empty(sim.Host(SimInstrument::kDownloadDir));
}

// The changed file's section runs first: nothing at all may change.
TEST(SignedStickTest, FileChangedAfterSigningIsRefusedBeforeAnythingChanges) {
    for (const auto& [file, sequence] : {std::pair{"firmware/app.conf", "Cfg, Flash"},
                                         std::pair{"firmware/boot.img", "Flash, Cfg"}}) {
        SCOPED_TRACE(file);
        SimInstrument sim;
        SignedPackage(sim, sequence);
        sim.WriteStick(file, ReadAll(sim.Stick(file)) + "Extra 1\n");
        EXPECT_EQ(sim.Run({"-s"}).status, 1);
        EXPECT_EQ(sim.ErrorFile(), "1902 670\n");
        EXPECT_EQ(sim.Read("/home/Brimwood/cfg/app.conf"), "V1\nGain 5\n");
        EXPECT_EQ(sim.Read("/home/Brimwood/backup/app.conf.bak"), "old\n");
        EXPECT_FALSE(sim.Exists("/.test/flash"));
        EXPECT_TRUE(DownloadEmpty(sim));
    }
}

// The stick's file changes before the flash writer reads what it was given
// (the writer rewrites the stick's folder); the configuration is read from
// the stick once. Both install the bytes that were checked.
TEST(SignedStickTest, SignedStickInstallsTheVerifiedBytesWhateverItAnswersLater) {
    SimInstrument sim;
    SignedPackage(sim, "Cfg, Flash",
                  "printf other > " + std::string(SimInstrument::kStick) + "/firmware/boot.img\n");
    // Closes are watched too, or inotify would merge two opens into one event.
    const int watch = ::inotify_init1(IN_NONBLOCK);
    ASSERT_GE(
        ::inotify_add_watch(watch, sim.Stick("firmware/app.conf").c_str(), IN_OPEN | IN_CLOSE), 0);
    SimRun run = sim.Run({"-s"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(sim.Read("/home/Brimwood/cfg/app.conf"), "V2\nGain 5\nMode auto\n");
    EXPECT_EQ(sim.Read("/home/Brimwood/backup/app.conf.bak"), "V1\nGain 5\n");
    int opens = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            opens += (event->mask & IN_OPEN) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::close(watch);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(ReadAll(sim.Stick("firmware/boot.img")), "other");
    EXPECT_EQ(sim.Read("/.test/flash").rfind(kFlashCopyPath, 0), 0u);
    EXPECT_EQ(Flashed(sim), kImage);
    EXPECT_TRUE(DownloadEmpty(sim));
}

// With its digest a flash write must succeed; its copy goes either way.
TEST(SignedStickTest, FlashFailuresWithTheDigest) {
    for (const auto& [before, code] : {std::pair{"exit 3\n", 638}, std::pair{"", 658}}) {
        SCOPED_TRACE(code);
        SimInstrument sim;
        SignedPackage(sim, "Flash", before);
        if (code == 658) {
            std::filesystem::remove(sim.Stick("firmware/boot.img"));
        }
        EXPECT_EQ(sim.Run({"-s"}).status, 1);
        EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(code) + "\n");
        EXPECT_TRUE(DownloadEmpty(sim));
    }
}

}  // namespace
}  // namespace upd::testing
