// A folder standing for a stick: what FAT cannot hold, and lookups as the
// mounted stick answers them.
#include "stick/tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/tempdir.h"

namespace upd::stick {
namespace {

using upd::testing::TempDir;
using upd::testing::WriteAll;

TEST(StickTreeTest, ListsEveryEntryFatCannotHoldWithoutBlocking) {
    TempDir stick;
    ::mkdir((stick / "firmware").c_str(), 0755);
    WriteAll(stick / "firmware/AuxInfo.txt", "SectionList\n");
    WriteAll(stick / "firmware/auxinfo.txt", "");
    WriteAll(stick / "firmware/a:b.bin", "");
    WriteAll(stick / "firmware/Z\xC3\xBCrich.txt", "");  // its alias is the name below
    WriteAll(stick / "firmware/Z\xC3\x9CRICH.TXT", "");
    WriteAll(stick / "firmware/fine.bin", "");
    ASSERT_EQ(::mkfifo((stick / "firmware/pipe").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/etc/passwd", (stick / "firmware/link").c_str()), 0);
    ASSERT_EQ(::truncate((stick / "firmware/fine.bin").c_str(), 0x100000000LL), 0);

    const std::vector<TreeProblem> problems = CheckTree(stick.path());
    ASSERT_EQ(problems.size(), 6u);
    const struct {
        EntryFault fault;
        std::string path;
    } expected[] = {
        {EntryFault::kSameName, "firmware/Z\xC3\xBCrich.txt"},
        {EntryFault::kName, "firmware/a:b.bin"},
        {EntryFault::kSameName, "firmware/auxinfo.txt"},
        {EntryFault::kTooLarge, "firmware/fine.bin"},
        {EntryFault::kSymlink, "firmware/link"},
        {EntryFault::kSpecial, "firmware/pipe"},
    };
    for (std::size_t i = 0; i < problems.size(); ++i) {
        EXPECT_EQ(problems[i].fault, expected[i].fault) << problems[i].message;
        EXPECT_EQ(problems[i].path, expected[i].path);
        EXPECT_NE(problems[i].message.find(expected[i].path), std::string::npos);
    }
    EXPECT_EQ(problems[2].other, "firmware/AuxInfo.txt");
}

TEST(StickTreeTest, ResolvesAsTheMountedStickDoes) {
    TempDir stick;
    ::mkdir((stick / "firmware").c_str(), 0755);
    ::mkdir((stick / "data").c_str(), 0755);
    WriteAll(stick / "firmware/app.bin", "x");
    WriteAll(stick / "firmware/a:b.bin", "x");
    ASSERT_EQ(::symlink("data", (stick / "firmware/up").c_str()), 0);
    const struct {
        std::string path;
        std::optional<std::string> found;
    } cases[] = {
        {"FIRMWARE/App.bin", "firmware/app.bin"},
        {"firmware//./app.bin.", "firmware/app.bin"},
        {"data/../firmware/APP.BIN", "firmware/app.bin"},
        {"firmware", "firmware"},
        {"firmware/", "firmware"},
        {"", ""},
        {"firmware/app.bin/", std::nullopt},
        {"firmware/app.bin/../app.bin", std::nullopt},
        {"firmware/missing.bin", std::nullopt},
        {"firmware/a:b.bin", std::nullopt},
        {"firmware/up/x", std::nullopt},
        {"..", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Resolve(stick.path(), c.path), c.found) << c.path;
    }
}

TEST(StickTreeTest, PicksOneEntryWhereNamesClash) {
    EXPECT_EQ(FindName({"help.txt", "HELP.txt"}, "Help.Txt"), "HELP.txt");
    EXPECT_EQ(FindName({"help.txt"}, "..."), std::nullopt);
    EXPECT_EQ(FindName({"M\xC3\x9CLLER.TXT", "M\xC3\xBCller.txt"}, "M\xC3\x9CLLER.TXT"),
              "M\xC3\x9CLLER.TXT");  // the entry's own name before another's alias
    // The index a server keeps for many lookups answers the same.
    const NameIndex index({"help.txt", "HELP.txt", "a:b"});
    ASSERT_NE(index.Find("Help.Txt."), nullptr);
    EXPECT_EQ(*index.Find("Help.Txt."), "HELP.txt");
    EXPECT_EQ(index.Find("a:b"), nullptr);
}

}  // namespace
}  // namespace upd::stick

namespace upd::stick {
namespace {

TEST(StickTreeTest, ListsAFolderSortedWhetherOpenOrNamed) {
    upd::testing::TempDir folder;
    for (const char* name : {"b", "A", "a"}) {
        upd::testing::WriteAll(folder / name, "");
    }
    const std::vector<std::string> sorted = {"A", "a", "b"};
    EXPECT_EQ(ListNames(folder.path()), sorted);
    const int fd = ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ListNames(fd), sorted);
    EXPECT_EQ(ListNames(fd), sorted);  // the descriptor is left where it stood
    ::close(fd);
    EXPECT_EQ(ListNames(folder / "none"), std::nullopt);
}

}  // namespace
}  // namespace upd::stick
