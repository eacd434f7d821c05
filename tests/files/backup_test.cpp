// Durable replacement: the replacing rename, temporary names beside a path,
// and backups made while the installed file stays in place, on the file
// systems an instrument may have (tmpfs, ext4, vfat) where they can be mounted.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "files/file.h"
#include "support/tempdir.h"

namespace upd {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(ReplaceFileTest, ReplacesOrRefusesLikeRename) {
    TempDir dir;
    struct Case {
        const char* what;
        bool from;           // the old name exists
        const char* target;  // what is at the new name: "file", "folder", "full folder" or ""
        int code;
    };
    const Case cases[] = {
        {"onto a file", true, "file", kRenameDone},
        {"onto nothing", true, "", kRenameDone},
        {"onto an empty folder", true, "folder", kRenameFailed},
        {"onto a folder with files", true, "full folder", kRenameFailed},
        {"old name missing", false, "file", kRenameOldMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "to");
        fs::remove_all(dir / "from");
        if (c.from) {
            WriteAll(dir / "from", "new");
        }
        const std::string target = c.target;
        if (target == "file") {
            WriteAll(dir / "to", "old");
        } else if (!target.empty()) {
            fs::create_directories(dir / (target == "folder" ? "to" : "to/x"));
        }
        EXPECT_EQ(ReplaceFile((dir / "from").c_str(), (dir / "to").c_str()), c.code);
        if (c.code == kRenameDone) {
            EXPECT_EQ(ReadAll(dir / "to"), "new");
            EXPECT_FALSE(fs::exists(dir / "from"));
        } else if (c.from) {
            EXPECT_EQ(ReadAll(dir / "from"), "new");
        }
    }
    EXPECT_EQ(ReplaceFile(nullptr, (dir / "to").c_str()), kRenameNoOldName);
    EXPECT_EQ(ReplaceFile((dir / "to").c_str(), ""), kRenameNoNewName);
}

TEST(TemporaryPathTest, BesideThePathUnderItsOwnName) {
    EXPECT_EQ(TemporaryPath("/a/b/app.conf", "update-tmp"), "/a/b/.app.conf.update-tmp");
    EXPECT_EQ(TemporaryPath("/a/b/app.conf", "update-tmp", 3), "/a/b/.app.conf.update-tmp.3");
    EXPECT_EQ(TemporaryPath("app", "t"), ".app.t");
    // Names too long for the suffix are shortened, and stay apart.
    const std::string a = "/d/" + std::string(254, 'x') + "a";
    const std::string b = "/d/" + std::string(254, 'x') + "b";
    for (const std::string& path : {a, b}) {
        const std::string temp = TemporaryPath(path, "update-tmp", 7);
        EXPECT_EQ(temp.rfind("/d/.xxx", 0), 0u) << temp;
        EXPECT_EQ(temp.size() - 3, 255u) << temp;
        EXPECT_EQ(temp.substr(temp.size() - 13), ".update-tmp.7");
    }
    EXPECT_NE(TemporaryPath(a, "t"), TemporaryPath(b, "t"));
}

class MakeBackupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir / "bin");
        fs::create_directories(dir / "backup");
        WriteAll(installed, "installed");
        ::chmod(installed.c_str(), 0755);
    }

    TempDir dir;
    const std::string installed = dir / "bin/app";
    const std::string backup = dir / "backup/app.bak";
};

TEST_F(MakeBackupTest, LinksAndLeavesTheInstalledFileInPlace) {
    // What earlier runs may have left: an old backup, a stale temporary file,
    // a folder on the first temporary name.
    struct Case {
        const char* what;
        std::string leftover;
    };
    const Case cases[] = {
        {"nothing", ""},
        {"old backup", "app.bak"},
        {"stale temporary file", ".app.bak.backup-tmp"},
        {"folder on the temporary name", ".app.bak.backup-tmp/x/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "backup");
        fs::create_directories(dir / "backup");
        if (!c.leftover.empty()) {
            fs::create_directories(fs::path(dir / ("backup/" + c.leftover)).parent_path());
            if (c.leftover.back() != '/') {
                WriteAll(dir / ("backup/" + c.leftover), "stale");
            }
        }
        const ino_t before = Inode(installed);
        ASSERT_EQ(MakeBackup(installed.c_str(), backup.c_str()), 1);
        EXPECT_EQ(Inode(installed), before);
        EXPECT_EQ(Inode(backup), before);
        EXPECT_EQ(ReadAll(installed), "installed");
        for (const auto& e : fs::directory_iterator(dir / "backup")) {
            const std::string name = e.path().filename();
            EXPECT_TRUE(name == "app.bak" || e.is_directory()) << name << " left behind";
        }
    }
}

TEST_F(MakeBackupTest, FailsWithoutLeavingAnything) {
    EXPECT_EQ(MakeBackup((dir / "bin/missing").c_str(), backup.c_str()), 0);
    EXPECT_EQ(MakeBackup(installed.c_str(), (dir / "nofolder/app.bak").c_str()), 0);
    EXPECT_EQ(MakeBackup((dir / "bin").c_str(), backup.c_str()), 0);  // a folder
    EXPECT_TRUE(fs::is_empty(dir / "backup"));
    EXPECT_EQ(ReadAll(installed), "installed");
}

// A file system mounted for one test, detached at its end; images are
// attached to loop devices that go away with the mount.
class Mounted {
  public:
    Mounted(const std::string& type, const std::string& target, const std::string& image)
        : target_(target) {
        fs::create_directories(target);
        if (type == "tmpfs") {
            ok_ = ::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=1m") == 0;
            return;
        }
        const std::string mkfs = type == "vfat" ? "mkfs.vfat" : "mkfs.ext4 -q -F";
        const std::string made =
            "truncate -s 8M " + image + " && " + mkfs + " " + image + " >/dev/null 2>&1 && ";
        ok_ = std::system(
                  (made + "mount -o loop -t " + type + " " + image + " " + target + " 2>/dev/null")
                      .c_str()) == 0;
        // A kernel without vfat: the FUSE driver where it is installed.
        if (!ok_ && type == "vfat") {
            ok_ = std::system(("command -v fusefat >/dev/null && fusefat -o rw+ " + image + " " +
                               target + " >/dev/null 2>&1")
                                  .c_str()) == 0;
        }
    }
    ~Mounted() {
        if (ok_) {
            ::umount2(target_.c_str(), MNT_DETACH);
        }
    }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string target_;
    bool ok_ = false;
};

// A hard link where the file system has them; a copy with the same content
// (and mode, where the file system keeps modes) on one without them and
// across file systems. The installed file stays in place every time.
TEST(MakeBackupFileSystems, LinkWhereItCanCopyWhereItCannot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting file systems needs root rights";
    }
    struct Case {
        const char* type;
        bool links;
        bool keepsModes;
    };
    const Case cases[] = {{"tmpfs", true, true}, {"ext4", true, true}, {"vfat", false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        TempDir dir;
        Mounted mounted(c.type, dir / "fs", dir / "image");
        if (!mounted.ok()) {
            std::printf("[ SKIPPED  ] %s cannot be mounted here\n", c.type);
            continue;
        }
        const std::string installed = dir / "fs/app";
        WriteAll(installed, "installed");
        ::chmod(installed.c_str(), 0750);
        struct Where {
            std::string backup;
            bool sameFileSystem;
        };
        for (const Where& w : {Where{dir / "fs/app.bak", true}, Where{dir / "app.bak", false}}) {
            SCOPED_TRACE(w.backup);
            ASSERT_EQ(MakeBackup(installed.c_str(), w.backup.c_str()), 1);
            EXPECT_EQ(ReadAll(installed), "installed");
            EXPECT_EQ(ReadAll(w.backup), "installed");
            const bool linked = Inode(w.backup) == Inode(installed);
            EXPECT_EQ(linked, c.links && w.sameFileSystem);
            if (c.keepsModes || !w.sameFileSystem) {
                EXPECT_EQ(Mode(w.backup), Mode(installed));
            }
            // The replacing rename works there as well.
            WriteAll(dir / "fs/new", "new");
            ASSERT_EQ(ReplaceFile((dir / "fs/new").c_str(), installed.c_str()), kRenameDone);
            EXPECT_EQ(ReadAll(installed), "new");
            WriteAll(installed, "installed");
        }
    }
}

}  // namespace
}  // namespace upd
