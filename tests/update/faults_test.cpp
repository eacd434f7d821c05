// Faults the instrument meets during an update: a stick pulled while a file
// is read from it, a destination file system that fills up during the copy or
// the merge, a destination that cannot be written. Each run must end with the
// operation's code, keep the installed file (or its backup) intact, and never
// leave a partly written file at an installed path. The file systems are real
// ones (tmpfs, read-only bind mounts, ext2 on a loop device) mounted inside the
// simulated instrument's tree; these tests need root rights and skip without.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/file.h"
#include "op_fixture.h"
#include "sim_package.h"
#include "support/sim_fixture.h"
#include "update/codes.h"
#include "update/update.h"

namespace {

// chmod of a path containing this text fails with EPERM while the switch is
// on: a file system that refuses mode changes. Every other call is the real
// one.
std::atomic<bool> gRefuseChmod{false};
constexpr char kChmodRefused[] = "chmod-refused";

}  // namespace

extern "C" int chmod(const char* path, mode_t mode) {
    if (gRefuseChmod && std::strstr(path, kChmodRefused) != nullptr) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fchmodat, AT_FDCWD, path, mode));
}

namespace upd::testing {
namespace {

namespace fs = std::filesystem;

// A file system mounted for one test, detached when the test ends (before the
// simulated instrument's tree is removed).
class Mount {
  public:
    Mount() = default;
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() {
        if (!target_.empty()) {
            ::umount2(target_.c_str(), MNT_DETACH);
        }
    }

    // A tmpfs of `size` (mount's size= text) at `target`.
    bool Tmpfs(const std::string& target, const std::string& size) {
        return Attach(target, ::mount("tmpfs", target.c_str(), "tmpfs", 0,
                                      ("size=" + size + ",mode=0755").c_str()));
    }
    // `target` bound onto itself and made read-only.
    bool ReadOnly(const std::string& target) {
        if (!Attach(target, ::mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr))) {
            return false;
        }
        return ::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                       nullptr) == 0;
    }
    // The device `dev` as a read-only ext2 file system at `target`.
    bool Ext2(const std::string& dev, const std::string& target) {
        return Attach(target, ::mount(dev.c_str(), target.c_str(), "ext2", MS_RDONLY, nullptr));
    }

  private:
    bool Attach(const std::string& target, int result) {
        if (result == 0) {
            target_ = target;
        }
        return result == 0;
    }
    std::string target_;
};

#define SKIP_UNLESS_ROOT()                                                            \
    do {                                                                              \
        if (::geteuid() != 0) {                                                       \
            GTEST_SKIP() << "mounting file systems for the faults needs root rights"; \
        }                                                                             \
    } while (0)

// A manifest whose run list is the one section `name`.
std::string OneSection(const std::string& name, const Keys& keys) {
    return "SectionList\nSequence = " + name + "\n" + SectionText(name, keys);
}

void Set(Keys* keys, const std::string& key, const std::string& value) {
    for (auto& [k, v] : *keys) {
        if (k == key) {
            v = value;
            return;
        }
    }
    keys->emplace_back(key, value);
}

Keys ConfigKeys(const std::string& destDir, const std::string& backupDir) {
    return {{"Operation", "ConfigUpdate"},     {"SrcDir", "/mnt/firmware"},
            {"SrcFile", "settings.cfg"},       {"DestDir", destDir},
            {"DestFile", "settings.cfg"},      {"BackupDir", backupDir},
            {"BackupFile", "settings.cfg.bak"}};
}

// A configuration file of `lines` keyword lines after its version line.
std::string ConfigText(const std::string& version, int lines) {
    std::string text = version + "\n";
    for (int i = 0; i < lines; ++i) {
        text += "Key" + std::to_string(i) + " value " + std::to_string(i) + "\n";
    }
    return text;
}

std::string Filler(size_t bytes) {
    std::string s(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) {
        s[i] = static_cast<char>('a' + (i * 7919 + i / 13) % 26);
    }
    return s;
}

// Entries of an instrument folder whose names mark a temporary or interim
// copy left behind.
std::vector<std::string> Leftovers(const SimInstrument& sim, const std::string& dir,
                                   const std::vector<std::string>& expected) {
    std::vector<std::string> extra;
    for (const auto& e : fs::directory_iterator(sim.Host(dir))) {
        const std::string name = e.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
            extra.push_back(name);
        }
    }
    return extra;
}

// The destination file system fills up while the package's file is copied to
// its interim path: 658, and the installed file and its old backup are as
// they were.
TEST(Faults, FullFileSystemDuringTheCopy) {
    SKIP_UNLESS_ROOT();
    SimInstrument sim;
    const std::string dir = "/home/Brimwood/fw";
    sim.MakeDir(dir);
    Mount tmpfs;
    if (!tmpfs.Tmpfs(sim.Host(dir), "64k")) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    sim.Write(dir + "/app.bin", "installed firmware\n");
    sim.Write(dir + "/app.bin.bak", "previous firmware\n");
    Keys keys = TransferKeys(sim, "app.bin", Filler(256 * 1024), dir, dir);
    Set(&keys, "InterimDir", dir);
    sim.WriteManifest(OneSection("App", keys));

    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(kErrTransferCopy) + "\n");
    EXPECT_EQ(sim.Read(dir + "/app.bin"), "installed firmware\n");
    EXPECT_EQ(sim.Read(dir + "/app.bin.bak"), "previous firmware\n");
}

// The file system of the configuration fills up while the merged file is
// written: 622; the installed configuration stays in place, whole, no backup
// is made and no partly written file is left.
TEST(Faults, FullFileSystemDuringTheMerge) {
    SKIP_UNLESS_ROOT();
    SimInstrument sim;
    const std::string dir = "/home/Brimwood/cfg";
    sim.MakeDir(dir);
    Mount tmpfs;
    if (!tmpfs.Tmpfs(sim.Host(dir), "64k")) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    const std::string installed = ConfigText("V1", 3);
    sim.Write(dir + "/settings.cfg", installed);
    sim.Write(dir + "/filler", Filler(48 * 1024));
    sim.WriteStick("firmware/settings.cfg", ConfigText("V2", 2000));
    sim.WriteManifest(OneSection("Cfg", ConfigKeys(dir, dir)));

    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(kErrConfigCloseDest) + "\n");
    EXPECT_EQ(sim.Read(dir + "/settings.cfg"), installed);
    EXPECT_FALSE(sim.Exists(dir + "/settings.cfg.bak"));
    EXPECT_EQ(Leftovers(sim, dir, {"settings.cfg", "filler"}), std::vector<std::string>{});
}

// The destination folder cannot be written (a read-only file system): the
// first step that writes there fails with its code, and nothing changes there.
TEST(Faults, DestinationCannotBeWritten) {
    SKIP_UNLESS_ROOT();
    struct Case {
        const char* what;
        bool transfer;   // TransferFile, else ConfigUpdate
        bool oldBackup;  // an old backup lies in the destination folder
        int code;
    } const cases[] = {
        {"transfer", true, false, kErrTransferBackupDest},
        {"transfer, old backup", true, true, kErrTransferRemoveBackup},
        {"merge", false, false, kErrConfigOpenDest},  // the merged file is made first
        {"merge, old backup", false, true, kErrConfigRemoveBackup},
    };
    for (const Case& c : cases) {
        SimInstrument sim;
        const std::string dir = "/home/Brimwood/ro";
        const std::string file = c.transfer ? "app.bin" : "settings.cfg";
        const std::string installed = c.transfer ? "installed firmware\n" : ConfigText("V1", 3);
        sim.Write(dir + "/" + file, installed);
        if (c.oldBackup) {
            sim.Write(dir + "/" + file + ".bak", "old backup\n");
        }
        if (c.transfer) {
            sim.WriteManifest(OneSection("App", TransferKeys(sim, file, Filler(4096), dir, dir)));
        } else {
            sim.WriteStick("firmware/" + file, ConfigText("V2", 5));
            sim.WriteManifest(OneSection("Cfg", ConfigKeys(dir, dir)));
        }
        Mount readOnly;
        if (!readOnly.ReadOnly(sim.Host(dir))) {
            GTEST_SKIP() << "cannot make a read-only bind mount: " << std::strerror(errno);
        }

        SimRun run = sim.Run();
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(c.code) + "\n") << c.what;
        EXPECT_EQ(sim.Read(dir + "/" + file), installed) << c.what;
        EXPECT_EQ(sim.Exists(dir + "/" + file + ".bak"), c.oldBackup) << c.what;
    }
}

// A loop device attached for one test, detached when the test ends.
class LoopDevice {
  public:
    LoopDevice() = default;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    ~LoopDevice() {
        if (!path.empty()) {
            std::system(("losetup -d " + path + " 2>/dev/null").c_str());
        }
    }
    std::string path;
};

// A stick whose device goes away part of the way through a file: ext2 on a
// loop device that is cut short under the mounted file system, so that the
// file's first blocks read and the later ones fail with an I/O error, as on a
// stick pulled while it is read.
class PulledStick {
  public:
    // Lays the stick's files out on the device and mounts it where the
    // simulated instrument's stick is; `big` is the file to cut in its middle.
    // An empty result means ready; otherwise why it cannot be done here.
    std::string Prepare(const SimInstrument& sim,
                        const std::vector<std::pair<std::string, std::string>>& files,
                        const std::string& big) {
        if (::access("/dev/loop-control", W_OK) != 0) {
            return "no loop devices";
        }
        image_ = sim.root() + ".stick.img";
        const std::string staging = sim.root() + ".stick";
        for (const auto& [name, content] : files) {
            fs::create_directories(fs::path(staging + "/firmware/" + name).parent_path());
            WriteAll(staging + "/firmware/" + name, content);
        }
        if (sim.Execute({"mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-m", "0", "-d", staging,
                         image_, "8M"})
                .status != 0) {
            return "mke2fs cannot build a file system from a folder";
        }
        SimRun first = sim.Execute({"debugfs", "-R", "bmap firmware/" + big + " 0", image_});
        SimRun middle = sim.Execute({"debugfs", "-R", "bmap firmware/" + big + " 512", image_});
        if (first.status != 0 || middle.status != 0 || std::atol(middle.out.c_str()) <= 0) {
            return "debugfs cannot map the file's blocks";
        }
        SimRun attach = sim.Execute({"losetup", "-f", "--show", image_});
        if (attach.status != 0) {
            return "losetup: " + attach.err;
        }
        loop_.path = attach.out.substr(0, attach.out.find('\n'));
        const std::string stick = sim.Host(SimInstrument::kStick);
        sim.Remove(SimInstrument::kStick);
        fs::create_directories(stick);
        if (!mount_.Ext2(loop_.path, stick)) {
            return std::string("cannot mount ext2: ") + std::strerror(errno);
        }
        // Everything but the big file is read once, so that it stays cached
        // when the device is cut.
        for (const auto& [name, content] : files) {
            if (name != big) {
                ReadAll(stick + "/firmware/" + name);
            }
        }
        // The device now ends in the middle of the big file.
        const long cut = std::atol(middle.out.c_str()) * 1024L;
        if (::truncate(image_.c_str(), cut) != 0 ||
            sim.Execute({"losetup", "-c", loop_.path}).status != 0) {
            return "cannot cut the loop device short";
        }
        return {};
    }

  private:
    std::string image_;
    // Declared in this order so that the file system is detached before its
    // device.
    LoopDevice loop_;
    Mount mount_;
};

// A stick pulled while the package's file is copied: 658; the installed file
// and its backup are untouched.
TEST(Faults, StickPulledDuringTheCopy) {
    SKIP_UNLESS_ROOT();
    SimInstrument sim;
    const std::string dir = "/home/Brimwood/bin";
    const std::string content = Filler(1024 * 1024);
    sim.Write(dir + "/app.bin", "installed firmware\n");
    Keys keys = TransferKeys(sim, "app.bin", content, dir, dir);
    PulledStick stick;
    const std::string why = stick.Prepare(
        sim, {{"AuxInfo.txt", OneSection("App", keys)}, {"app.bin", content}}, "app.bin");
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }

    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(kErrTransferCopy) + "\n");
    EXPECT_EQ(sim.Read(dir + "/app.bin"), "installed firmware\n");
    EXPECT_FALSE(sim.Exists(dir + "/app.bin.bak"));
    // The copy did stop part of the way: the interim file holds a prefix.
    const size_t copied = sim.Read("/home/Brimwood/download/app.bin.new").size();
    EXPECT_GT(copied, 0u);
    EXPECT_LT(copied, content.size());
}

// A stick pulled while the package's configuration is read: the read error
// must fail the merge (627) before the installed configuration is touched.
// Taking the lines read so far as the whole file would merge a package cut
// short and drop every setting after the cut.
TEST(Faults, StickPulledWhileTheConfigurationIsRead) {
    SKIP_UNLESS_ROOT();
    SimInstrument sim;
    const std::string dir = "/home/Brimwood/cfg";
    const std::string installed = ConfigText("V1", 3);
    sim.Write(dir + "/settings.cfg", installed);
    const std::string package = ConfigText("V2", 60000);
    PulledStick stick;
    const std::string why = stick.Prepare(
        sim, {{"AuxInfo.txt", OneSection("Cfg", ConfigKeys(dir, dir))}, {"settings.cfg", package}},
        "settings.cfg");
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }

    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(kErrConfigReadSrc) + "\n");
    EXPECT_TRUE(sim.Read(dir + "/settings.cfg") == installed) << "installed configuration changed";
    EXPECT_FALSE(sim.Exists(dir + "/settings.cfg.bak"));
}

// The line-list readers report a read error as a failure, never as the end of
// the file (a folder opens for reading but every read of it fails).
TEST(Faults, LineListReadErrorIsAFailure) {
    TempDir dir;
    const std::string folder = dir / "folder";
    fs::create_directory(folder);
    LineList* lines = nullptr;
    LineList2* lines2 = nullptr;
    EXPECT_EQ(ReadFile(folder.c_str(), &lines), 0);
    EXPECT_EQ(ReadFile2(folder.c_str(), &lines2), 0);
    EXPECT_EQ(lines, nullptr);
    EXPECT_EQ(lines2, nullptr);
}

// The installed file's mode cannot be set (a file system that refuses mode
// changes): 620, with the new file in place and the old one at the backup path.
// Refused already on the interim copy: 620 before the installed file is touched.
class ChmodRefused : public StoreTest {
  public:
    // Installs kNew from a stick into `destDir` through `interimDir`, with the
    // backup beside it, while mode changes in kChmodRefused are refused.
    int Transfer(const std::string& interimDir, const std::string& destDir) {
        fs::create_directories(Path("stick"));
        fs::create_directories(destDir);
        WriteAll(Path("stick/app.bin"), kNew);
        WriteAll(destDir + "/app.bin", kOld);
        Load(ManifestText().Section("App", {{"SrcDir", Path("stick")},
                                            {"SrcFile", "app.bin"},
                                            {"InterimDir", interimDir},
                                            {"InterimFile", "app.bin.new"},
                                            {"DestDir", destDir},
                                            {"DestFile", "app.bin"},
                                            {"BackupDir", destDir},
                                            {"BackupFile", "app.bin.bak"},
                                            {"MD5Hash", Md5Hex(kNew)},
                                            {"SHA256Hash", Sha256Hex(kNew)}}));
        ScriptedPlatform platform;
        gRefuseChmod = true;
        const int result = TransferFile("App", &info);
        gRefuseChmod = false;
        return result;
    }

    const std::string kNew = "new firmware\n";
    const std::string kOld = "installed firmware\n";
};

TEST_F(ChmodRefused, OnTheInterimCopy) {
    EXPECT_EQ(Transfer(Path(kChmodRefused), Path("bin")), 0);
    EXPECT_EQ(info.errorCode, kErrTransferChmod);
    EXPECT_EQ(ReadAll(Path("bin/app.bin")), kOld);
    EXPECT_FALSE(fs::exists(Path("bin/app.bin.bak")));
}

TEST_F(ChmodRefused, AfterTheFileIsInPlace) {
    const std::string destDir = Path(kChmodRefused);
    EXPECT_EQ(Transfer(Path("interim"), destDir), 0);
    EXPECT_EQ(info.errorCode, kErrTransferChmod);
    EXPECT_EQ(ReadAll(destDir + "/app.bin"), kNew);
    EXPECT_EQ(ReadAll(destDir + "/app.bin.bak"), kOld);
}

}  // namespace
}  // namespace upd::testing
