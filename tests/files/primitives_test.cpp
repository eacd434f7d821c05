// File primitives: existence and type tests, lengths, path comparison,
// removal, rename codes, and copies, including copies of a file onto itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "files/file.h"
#include "platform/platform.h"
#include "support/counting_platform.h"
#include "support/tempdir.h"

namespace upd {
namespace {

using testing::CountingPlatform;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override { previous_ = platform::Install(&platform_); }
    void TearDown() override { platform::Install(previous_); }

    std::string Path(const std::string& name) const { return dir / name; }

    // Runs `body` in a child process as an ordinary user; returns its exit
    // status (the body's result).
    static int AsOrdinaryUser(const std::function<int()>& body) {
        pid_t child = ::fork();
        if (child == 0) {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
                ::_exit(255);
            }
            ::_exit(body());
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    }

    TempDir dir;
    CountingPlatform platform_;
    platform::Platform* previous_ = nullptr;
};

TEST_F(FilesTest, ExistsAndIsord) {
    WriteAll(Path("file"), "x");
    ::mkdir(Path("dir").c_str(), 0755);
    ::symlink(Path("missing").c_str(), Path("dangling").c_str());
    ::symlink(Path("file").c_str(), Path("link").c_str());
    struct Case {
        const char* name;  // null: the null pointer
        int exists;
        int isord;
    };
    const Case cases[] = {
        {nullptr, 0, 0}, {"", 0, 0},         {"file", 1, 1},    {"dir", 1, 0},
        {"link", 1, 1},  {"dangling", 0, 0}, {"missing", 0, 0},
    };
    for (const Case& c : cases) {
        std::string path = c.name == nullptr ? "" : (c.name[0] ? Path(c.name) : "");
        const char* arg = c.name == nullptr ? nullptr : path.c_str();
        EXPECT_EQ(exists(arg), c.exists) << (c.name ? c.name : "(null)");
        EXPECT_EQ(isord(arg), c.isord) << (c.name ? c.name : "(null)");
    }
}

TEST_F(FilesTest, FileLength) {
    WriteAll(Path("empty"), "");
    WriteAll(Path("five"), "12345");
    EXPECT_EQ(filelen(-1), -1);
    int fd = ::open(Path("five").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(filelen(fd), 5);
    ::close(fd);
    EXPECT_EQ(filelen(fd), -1);  // closed
    FILE* fp = std::fopen(Path("empty").c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(filelen_fp(fp), 0);
    std::fclose(fp);
}

TEST_F(FilesTest, FileLengthBeyondSigned32BitsIsRefused) {
    int fd = ::open(Path("sparse").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 0x80000000LL), 0);  // 2 GiB, sparse
    EXPECT_EQ(filelen(fd), -1);
    ASSERT_EQ(::ftruncate(fd, 0x7fffffffLL), 0);
    EXPECT_EQ(filelen(fd), 0x7fffffff);
    ::close(fd);
}

TEST(SamePathTest, ComparesTextOnly) {
    const std::string long_a = "/" + std::string(511, 'a');
    struct Case {
        std::string a, b;
        int same;
    };
    const Case cases[] = {
        {"/home/x/file", "/home/x/file", 1},
        {"/HOME/X/File", "/home/x/file", 1},
        {"\\home\\x\\file", "/home/x/file", 1},
        {"/home//x/file", "/home/x/file", 0},
        {"/home/x/", "/home/x", 0},
        {"/home/./x", "/home/x", 0},
        {"", "", 1},
        {"a", "", 0},
        // Only the first 512 characters count.
        {long_a + "tail-one", long_a + "other", 1},
        {long_a.substr(0, 511) + "b", long_a, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SamePath(c.a.c_str(), c.b.c_str()), c.same) << c.a << " | " << c.b;
    }
}

// One directory entry however it is spelt; two names of one file are two
// entries, so that a backup linked to the installed file is not taken for it.
TEST_F(FilesTest, SameEntry) {
    ASSERT_EQ(::mkdir(Path("d").c_str(), 0755), 0);
    WriteAll(Path("d/f"), "x");
    ASSERT_EQ(::link(Path("d/f").c_str(), Path("d/g").c_str()), 0);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    struct Case {
        std::string a, b;
        int same;
    };
    const Case cases[] = {
        {Path("d/f"), Path("d//f"), 1},
        {Path("d/f"), Path("d/./f"), 1},
        {Path("d/f"), "d/f", 1},              // relative to the working directory
        {Path("d/new"), Path("d/./new"), 1},  // an entry not made yet
        {Path("d/f"), Path("d/g"), 0},        // a hard link
        {Path("d/f"), Path("d/F"), 0},
        {Path("none/f"), Path("none/f"), 0},  // no such folder
        {Path("d"), Path("d/."), 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SameEntry(c.a.c_str(), c.b.c_str()), c.same) << c.a << " | " << c.b;
    }
    ASSERT_EQ(::chdir(cwd), 0);
}

TEST_F(FilesTest, RemoveFile) {
    WriteAll(Path("file"), "x");
    ::mkdir(Path("dir").c_str(), 0755);
    EXPECT_EQ(RemoveFile(Path("file").c_str()), 1);
    EXPECT_FALSE(exists(Path("file").c_str()));
    EXPECT_EQ(RemoveFile(Path("file").c_str()), 0);
    EXPECT_EQ(RemoveFile(Path("dir").c_str()), 0);
    EXPECT_TRUE(exists(Path("dir").c_str()));
}

TEST_F(FilesTest, RenameCodes) {
    WriteAll(Path("old"), "old");
    WriteAll(Path("taken"), "taken");
    ::mkdir(Path("dir").c_str(), 0755);
    const std::string old_path = Path("old");
    const std::string taken = Path("taken");
    const std::string missing = Path("missing");
    const std::string no_folder = Path("nodir/new");
    const std::string folder = Path("dir");
    const std::string inside_folder = Path("dir/sub");
    struct Case {
        const char* what;
        const char* from;
        const char* to;
        int code;
    };
    const Case cases[] = {
        {"null old, empty new", nullptr, "", kRenameNoOldName},
        {"empty old", "", taken.c_str(), kRenameNoOldName},
        {"null new", old_path.c_str(), nullptr, kRenameNoNewName},
        {"empty new", old_path.c_str(), "", kRenameNoNewName},
        {"missing old before taken new", missing.c_str(), taken.c_str(), kRenameOldMissing},
        {"taken new", old_path.c_str(), taken.c_str(), kRenameTargetExists},
        {"new folder missing", old_path.c_str(), no_folder.c_str(), kRenameNoEntry},
        {"folder into itself", folder.c_str(), inside_folder.c_str(), kRenameFailed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Rename(c.from, c.to), c.code) << c.what;
    }
    EXPECT_EQ(ReadAll(old_path), "old");
    EXPECT_EQ(ReadAll(taken), "taken");

    EXPECT_EQ(Rename(old_path.c_str(), Path("new").c_str()), kRenameDone);
    EXPECT_FALSE(exists(old_path.c_str()));
    EXPECT_EQ(ReadAll(Path("new")), "old");
}

TEST_F(FilesTest, RenameWithoutPermissionIsAccessDenied) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    WriteAll(Path("old"), "old");
    ::chmod(dir.path().c_str(), 0755);  // others may look but not write
    const std::string from = Path("old");
    const std::string to = Path("new");
    EXPECT_EQ(AsOrdinaryUser([&] { return -Rename(from.c_str(), to.c_str()); }),
              -kRenameAccessDenied);
    EXPECT_EQ(ReadAll(from), "old");
}

TEST_F(FilesTest, RenameAcrossFileSystems) {
    struct stat here {};
    struct stat shm {};
    if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev) {
        GTEST_SKIP() << "no second file system at hand";
    }
    WriteAll(Path("old"), "old");
    const std::string to = "/dev/shm/upd-rename-" + std::to_string(::getpid());
    EXPECT_EQ(Rename(Path("old").c_str(), to.c_str()), kRenameCrossDevice);
    EXPECT_EQ(ReadAll(Path("old")), "old");
    ::unlink(to.c_str());
}

TEST_F(FilesTest, CopyFileCopiesWholeFiles) {
    // Sizes around the copy's piece size.
    for (std::size_t size : {0, 1, 2047, 2048, 2049, 4096, 100000}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>(i * 7 + size);
        }
        WriteAll(Path("src"), content);
        WriteAll(Path("dst"), std::string(200000, 'x'));  // longer: must be truncated
        EXPECT_EQ(CopyFile(Path("src").c_str(), Path("dst").c_str()), 1) << size;
        EXPECT_EQ(ReadAll(Path("dst")), content) << size;
        ::unlink(Path("dst").c_str());
        EXPECT_EQ(CopyFile(Path("src").c_str(), Path("dst").c_str()), 1) << size;
        EXPECT_EQ(ReadAll(Path("dst")), content) << size;
    }
    EXPECT_EQ(platform_.syncs, 14);
}

TEST_F(FilesTest, CopyFileRefusals) {
    const std::string content = "precious data\n";
    WriteAll(Path("file"), content);
    ::mkdir(Path("dir").c_str(), 0755);
    ::mkdir(Path("sub").c_str(), 0755);
    ::symlink(Path("file").c_str(), Path("link").c_str());
    ::link(Path("file").c_str(), Path("hard").c_str());
    const std::string file = Path("file");
    struct Case {
        const char* what;
        std::string src, dst;
    };
    const Case cases[] = {
        {"same text", file, file},
        {"letter case", file, dir / "FILE"},
        {"backslashes", file, dir.path() + "\\file"},
        {"repeated slash", file, dir.path() + "//file"},
        {"dot component", file, dir.path() + "/./file"},
        {"parent component", file, dir / "sub/../file"},
        {"symbolic link", Path("link"), file},
        {"hard link", file, Path("hard")},
        {"onto a folder", file, Path("dir")},
        {"from a folder", Path("dir"), Path("new1")},
        {"missing source", Path("missing"), Path("new2")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CopyFile(c.src.c_str(), c.dst.c_str()), 0) << c.what;
        EXPECT_EQ(ReadAll(file), content) << c.what;
    }
    EXPECT_EQ(CopyFile(nullptr, file.c_str()), 0);
    EXPECT_EQ(CopyFile(file.c_str(), nullptr), 0);
    EXPECT_FALSE(exists(Path("new1").c_str()));
    EXPECT_FALSE(exists(Path("new2").c_str()));
    EXPECT_EQ(platform_.syncs, 0);
}

TEST_F(FilesTest, CopyFromUnreadableSourceKeepsDestination) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    WriteAll(Path("src"), "new");
    WriteAll(Path("dst"), "old");
    ::chmod(Path("src").c_str(), 0);
    ::chmod(Path("dst").c_str(), 0666);
    ::chmod(dir.path().c_str(), 0755);
    const std::string src = Path("src");
    const std::string dst = Path("dst");
    EXPECT_EQ(AsOrdinaryUser([&] { return CopyFile(src.c_str(), dst.c_str()); }), 0);
    EXPECT_EQ(ReadAll(dst), "old");
}

}  // namespace
}  // namespace upd
