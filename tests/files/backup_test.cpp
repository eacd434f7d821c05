// Durable replacement: the replacing rename, temporary names, and backups made
// while the installed file stays in place, also on tmpfs, ext4 and vfat.
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

struct stat Stat(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

TEST(ReplaceFileTest, ReplacesAFileButNeverAFolder) {
    TempDir dir;
    WriteAll(dir / "new", "new");
    WriteAll(dir / "installed", "old");
    EXPECT_EQ(ReplaceFile((dir / "new").c_str(), (dir / "installed").c_str()), kRenameDone);
    EXPECT_EQ(ReadAll(dir / "installed"), "new");
    fs::create_directories(dir / "folder/x");
    EXPECT_EQ(ReplaceFile((dir / "installed").c_str(), (dir / "folder").c_str()), kRenameFailed);
    EXPECT_EQ(ReplaceFile((dir / "new").c_str(), (dir / "installed").c_str()), kRenameOldMissing);
    EXPECT_EQ(ReadAll(dir / "installed"), "new");
}

TEST(TemporaryPathTest, BesideThePathShortenedWhenLong) {
    EXPECT_EQ(TemporaryPath("/a/app.conf", "update-tmp"), "/a/.app.conf.update-tmp");
    EXPECT_EQ(TemporaryPath("app", "t", 3), ".app.t.3");
    const std::string a = "/d/" + std::string(255, 'x');
    const std::string b = "/d/" + std::string(254, 'x') + "y";
    EXPECT_EQ(TemporaryPath(a, "update-tmp", 7).size(), 3u + 255u);
    EXPECT_NE(TemporaryPath(a, "t"), TemporaryPath(b, "t"));
}

// What earlier runs may have left on the temporary name does not stop it; a
// backup that cannot be made leaves nothing behind.
TEST(MakeBackupTest, LeftoversAndFailures) {
    TempDir dir;
    WriteAll(dir / "app", "installed");
    WriteAll(dir / ".app.bak.backup-tmp", "stale");
    ASSERT_EQ(MakeBackup((dir / "app").c_str(), (dir / "app.bak").c_str()), 1);
    fs::remove(dir / "app.bak");
    fs::create_directories(dir / ".app.bak.backup-tmp/x");
    ASSERT_EQ(MakeBackup((dir / "app").c_str(), (dir / "app.bak").c_str()), 1);
    EXPECT_EQ(Stat(dir / "app.bak").st_ino, Stat(dir / "app").st_ino);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 3);

    EXPECT_EQ(MakeBackup((dir / "missing").c_str(), (dir / "m.bak").c_str()), 0);
    EXPECT_EQ(MakeBackup((dir / "app").c_str(), (dir / "nofolder/app.bak").c_str()), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 3);
}

// `type` on an 8 MiB image (vfat through FUSE where the kernel lacks it), or
// tmpfs, mounted at `target` until the end of the test.
class Mounted {
  public:
    Mounted(const std::string& type, const std::string& target, const std::string& image)
        : target_(target) {
        fs::create_directories(target);
        const std::string mkfs = type == "ext4" ? "mkfs.ext4 -q -F " : "mkfs.vfat ";
        const std::string made =
            "truncate -s 8M " + image + " && " + mkfs + image + " >/dev/null 2>&1 </dev/null && ";
        ok_ =
            type == "tmpfs"
                ? ::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=1m") == 0
                : std::system(
                      (made + "mount -o loop " + image + " " + target + " 2>/dev/null").c_str()) ==
                          0 ||
                      (type == "vfat" &&
                       std::system(("command -v fusefat >/dev/null && fusefat -o rw+ " + image +
                                    " " + target + " >/dev/null 2>&1")
                                       .c_str()) == 0);
    }
    ~Mounted() {
        if (ok_) {
            ::umount2(target_.c_str(), MNT_DETACH);
        }
    }
    bool ok() const { return ok_; }

  private:
    std::string target_;
    bool ok_ = false;
};

// A hard link where the file system has them; elsewhere, and across file
// systems, a copy with the same content and (where kept) mode. The installed
// file stays in place, and the replacing rename works there too.
TEST(MakeBackupTest, LinkWhereItCanCopyWhereItCannot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting file systems needs root rights";
    }
    for (const auto& [type, links] : {std::pair{"tmpfs", true}, {"ext4", true}, {"vfat", false}}) {
        SCOPED_TRACE(type);
        TempDir dir;
        Mounted mounted(type, dir / "fs", dir / "image");
        if (!mounted.ok()) {
            std::printf("[ SKIPPED  ] %s cannot be mounted here\n", type);
            continue;
        }
        const std::string installed = dir / "fs/app";
        WriteAll(installed, "installed");
        ::chmod(installed.c_str(), 0750);
        for (const std::string& backup : {dir / "fs/app.bak", dir / "app.bak"}) {
            ASSERT_EQ(MakeBackup(installed.c_str(), backup.c_str()), 1) << backup;
            EXPECT_EQ(ReadAll(backup), "installed");
            const bool linked = Stat(backup).st_ino == Stat(installed).st_ino;
            EXPECT_EQ(linked, links && backup == dir / "fs/app.bak") << backup;
            EXPECT_EQ(Stat(backup).st_mode, Stat(installed).st_mode) << backup;
        }
        WriteAll(dir / "fs/new", "new");
        EXPECT_EQ(ReplaceFile((dir / "fs/new").c_str(), installed.c_str()), kRenameDone);
        EXPECT_EQ(ReadAll(installed), "new");
    }
}

}  // namespace
}  // namespace upd
