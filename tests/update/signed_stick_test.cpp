// Signed runs on the simulated instrument whose configuration source and flash
// data carry SHA256Hash: a file changed on the stick after signing is refused
// before anything changes, an unchanged one is installed, and what is merged
// or flashed is always the bytes that were verified.
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "sim_package.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPackageConf = "V2\nGain 1\nMode auto\n";
const std::string kInstalledConf = "V1\nGain 5\n";
const std::string kImage = "flash image 2.0\n";
constexpr char kFlashTool[] = "/home/Brimwood/bin/flash-tool";

// An instrument with an installed configuration and its old backup, a
// stand-in flash writer that runs `beforeWrite` and then records the path it
// was given and that file's bytes, and a signed package whose configuration
// merge and flash write each name the SHA-256 of their file.
class SignedInstrument {
  public:
    explicit SignedInstrument(const std::string& sequence = "Cfg, Flash",
                              const std::string& beforeWrite = "") {
        sim.WriteScript(SimInstrument::kMainApp, "exit 0\n");
        sim.Write("/home/Brimwood/cfg/app.conf", kInstalledConf);
        sim.Write("/home/Brimwood/backup/app.conf.bak", "old backup\n");
        sim.WriteScript(kFlashTool, beforeWrite + "echo \"$2\" > /.test/flash\n" +
                                        "cat \"$2\" >> /.test/flash\n");
        sim.WriteStick("firmware/app.conf", kPackageConf);
        sim.WriteStick("firmware/boot.img", kImage);
        sim.WriteManifest(
            "SectionList\nSequence = " + sequence + "\n" +
            SectionText("Cfg", {{"Operation", "ConfigUpdate"},
                                {"SrcDir", "/mnt/firmware"},
                                {"SrcFile", "app.conf"},
                                {"DestDir", "/home/Brimwood/cfg"},
                                {"DestFile", "app.conf"},
                                {"BackupDir", "/home/Brimwood/backup"},
                                {"BackupFile", "app.conf.bak"},
                                {"SHA256Hash", Sha256Hex(kPackageConf)}}) +
            SectionText("Flash", {{"Operation", "FlashUpdate"},
                                  {"Device", "/dev/mtd3"},
                                  {"Offset", "0"},
                                  {"EraseCommand", "true"},
                                  {"WriteCommand", std::string(kFlashTool) + " --write"},
                                  {"DataPath1", "/mnt/firmware/boot.img"},
                                  {"SHA256Hash", Sha256Hex(kImage)}}));
        SignManifest(sim);
    }

    // Every file and folder under /home with its content, the log folder aside.
    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(sim.Host("/home"))) {
            const std::string inside = e.path().string().substr(sim.root().size());
            if (inside.rfind("/home/Brimwood/log", 0) != 0) {
                files[inside] = e.is_regular_file() ? ReadAll(e.path()) : "(folder)";
            }
        }
        return files;
    }

    // What the flash writer recorded: the path it was given, then its bytes.
    std::string Flashed() const {
        return sim.Exists("/.test/flash") ? sim.Read("/.test/flash") : "(not run)";
    }

    bool DownloadEmpty() const { return fs::is_empty(sim.Host(SimInstrument::kDownloadDir)); }

    SimInstrument sim;
};

// The changed file's section runs first, so a refusal there must leave the
// whole instrument as it was.
TEST(SignedStickTest, FileChangedAfterSigningIsRefusedBeforeAnythingChanges) {
    struct Case {
        const char* file;
        const char* sequence;
    };
    for (const Case& c :
         {Case{"firmware/app.conf", "Cfg, Flash"}, Case{"firmware/boot.img", "Flash, Cfg"}}) {
        SCOPED_TRACE(c.file);
        SignedInstrument t(c.sequence);
        t.sim.WriteStick(c.file, ReadAll(t.sim.Stick(c.file)) + "Extra 1\n");
        const auto before = t.Files();
        SimRun run = t.sim.Run({"-s"});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(t.sim.ErrorFile(), "1902 670\n");
        EXPECT_EQ(t.Files(), before);
        EXPECT_EQ(t.Flashed(), "(not run)");
    }
}

// Counts the times a file is opened from the moment of the call until Opens().
// Closes are watched too: inotify merges an event into an identical one
// still unread, so only opens with closes between them count apart.
class OpenCounter {
  public:
    explicit OpenCounter(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK)) {
        EXPECT_GE(::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE), 0) << path;
    }
    ~OpenCounter() { ::close(fd_); }

    int Opens() const {
        int opens = 0;
        alignas(inotify_event) char buf[4096];
        for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;) {
            for (const char* p = buf; p < buf + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                opens += (event->mask & IN_OPEN) != 0;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return opens;
    }

  private:
    int fd_;
};

TEST(SignedStickTest, UnchangedStickInstallsFromTheVerifiedBytes) {
    SignedInstrument t;
    OpenCounter conf(t.sim.Stick("firmware/app.conf"));
    SimRun run = t.sim.Run({"-s"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_FALSE(t.sim.ErrorFile().has_value());
    EXPECT_EQ(t.sim.Read("/home/Brimwood/cfg/app.conf"), "V2\nGain 5\nMode auto\n");
    EXPECT_EQ(t.sim.Read("/home/Brimwood/backup/app.conf.bak"), kInstalledConf);
    // The package's configuration is read from the stick once: the bytes
    // merged are the bytes whose digest was checked.
    EXPECT_EQ(conf.Opens(), 1);
    // The flash writer was given a copy on the instrument, removed afterwards.
    const std::string flashed = t.Flashed();
    EXPECT_EQ(flashed.rfind("/home/Brimwood/download/", 0), 0u) << flashed;
    EXPECT_EQ(flashed.substr(flashed.find('\n') + 1), kImage);
    EXPECT_TRUE(t.DownloadEmpty());
}

// The write command itself rewrites the stick's file before it reads what it
// was given: it still gets the bytes that were verified.
TEST(SignedStickTest, FlashWritesTheVerifiedBytesWhateverTheStickHoldsLater) {
    SignedInstrument t("Flash", "printf 'other image\\n' > /mnt/firmware/boot.img\n");
    SimRun run = t.sim.Run({"-s"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(t.sim.Stick("firmware/boot.img")), "other image\n");
    const std::string flashed = t.Flashed();
    EXPECT_EQ(flashed.substr(flashed.find('\n') + 1), kImage);
}

// With its digest, a flash write must succeed and its data must reach the
// instrument; the copy is gone either way.
TEST(SignedStickTest, FlashFailuresWithTheDigest) {
    struct Case {
        const char* what;
        const char* beforeWrite;
        bool dataOnStick;
        int code;
    };
    const Case cases[] = {
        {"the write command exits 3", "exit 3\n", true, 638},
        {"the data file is missing", "", false, 658},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SignedInstrument t("Flash", c.beforeWrite);
        if (!c.dataOnStick) {
            fs::remove(t.sim.Stick("firmware/boot.img"));
        }
        SimRun run = t.sim.Run({"-s"});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(t.sim.ErrorFile(), "1902 " + std::to_string(c.code) + "\n");
        EXPECT_TRUE(t.DownloadEmpty());
    }
}

}  // namespace
}  // namespace upd::testing
