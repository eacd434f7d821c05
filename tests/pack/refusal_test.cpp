// Sticks that a FAT stick or the instrument would not take are refused, each
// with a message naming the files; links inside the source folder, and out of
// it when asked, give the stick the content they lead to.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "pack_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;
using pack::Outcome;

struct RefusalCase {
    const char* name;
    std::string sections;                 // listed by Sequence = Run, Second
    void (*lay)(const std::string& src);  // the source files besides the manifest
    bool signing;
    bool followLinks;
    Outcome outcome;
    std::vector<std::string> said;  // in what update-pack says; for a written
                                    // stick, the content of firmware/app.bin
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Two(const std::string& first, const std::string& second) {
    return AppSection("/mnt/firmware", "Run", first) +
           AppSection("/mnt/firmware", "Second", second);
}

class RefusalTest : public PackTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, NamesWhatNoStickTakes) {
    const RefusalCase& c = GetParam();
    Manifest("SectionList\nSequence = Run, Second\n" + c.sections);
    c.lay(dir_ / "src");
    pack::Options options;
    options.privateKey = c.signing ? TestKeys() / "key.pem" : "";
    options.followLinks = c.followLinks;
    ASSERT_EQ(Pack(options), c.outcome) << log_.str();
    if (c.outcome == Outcome::kWritten) {
        EXPECT_EQ(Out("firmware/app.bin"), c.said.front());
        return;
    }
    for (const std::string& part : c.said) {
        EXPECT_NE(log_.str().find(part), std::string::npos) << part << " in\n" << log_.str();
    }
    EXPECT_FALSE(OutExists());
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << "staging left: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pack, RefusalTest,
    ::testing::Values(
        RefusalCase{"LetterCase",
                    Two("help.txt", "HELP.txt"),
                    [](const std::string& src) {
                        WriteAll(src + "/help.txt", "a");
                        WriteAll(src + "/HELP.txt", "b");
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"firmware/HELP.txt from ", " would be the entry firmware/help.txt from "}},
        RefusalCase{"TheManifestsPlace",
                    Two("app.bin", "auxinfo.txt"),
                    [](const std::string& src) { WriteAll(src + "/auxinfo.txt", "a"); },
                    false,
                    false,
                    Outcome::kRefused,
                    {"SrcFile names /mnt/firmware/auxinfo.txt, the manifest's own place"}},
        RefusalCase{"TheSignaturesPlace",
                    Two("app.bin", "AuxInfo.txt.SHA256"),
                    [](const std::string& src) { WriteAll(src + "/AuxInfo.txt.SHA256", "s"); },
                    true,
                    false,
                    Outcome::kRefused,
                    {"AuxInfo.txt.SHA256, the signature's own"}},
        RefusalCase{"Colon",
                    Two("app.bin", "a:b.bin"),
                    [](const std::string& src) {
                        WriteAll(src + "/app.bin", "x");
                        WriteAll(src + "/a:b.bin", "x");
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"firmware/a:b.bin holds ':', which FAT cannot store (firmware/a:b.bin "
                     "comes from "}},
        RefusalCase{"TrailingDot",
                    Two("app.bin", "app."),
                    [](const std::string& src) {
                        WriteAll(src + "/app.bin", "x");
                        WriteAll(src + "/app.", "x");
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"firmware/app. ends with a dot"}},
        RefusalCase{"FourGiB",
                    Two("app.bin", "app.bin"),
                    [](const std::string& src) {
                        WriteAll(src + "/app.bin", "");
                        fs::resize_file(src + "/app.bin", 4ull << 30);  // sparse
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"app.bin has 4294967296 bytes; a file on FAT holds at most"}},
        RefusalCase{"Fifo",
                    Two("app.bin", "app.bin"),
                    [](const std::string& src) {
                        ASSERT_EQ(::mkfifo((src + "/app.bin").c_str(), 0644), 0);
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"app.bin is a FIFO; a stick holds only"}},
        RefusalCase{"LinkOutOfTheFolder",
                    Two("app.bin", "app.bin"),
                    [](const std::string& src) {
                        WriteAll(src + "/../outside", "linked");
                        fs::create_symlink("../outside", src + "/app.bin");
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"app.bin is a symbolic link to ../outside, outside the source folder",
                     "--follow-links"}},
        RefusalCase{"LinkOutFollowed",
                    Two("app.bin", "app.bin"),
                    [](const std::string& src) {
                        WriteAll(src + "/../outside", "linked");
                        fs::create_symlink("../outside", src + "/app.bin");
                    },
                    false,
                    true,
                    Outcome::kWritten,
                    {"linked"}},
        RefusalCase{"LinkInside",
                    Two("app.bin", "app.bin"),
                    [](const std::string& src) {
                        fs::create_directory(src + "/build");
                        WriteAll(src + "/build/app", "inside");
                        fs::create_symlink("build/app", src + "/app.bin");
                    },
                    false,
                    false,
                    Outcome::kWritten,
                    {"inside"}},
        RefusalCase{"LinkToNothing",
                    Two("app.bin", "app.bin"),
                    [](const std::string& src) { fs::create_symlink("gone", src + "/app.bin"); },
                    false,
                    false,
                    Outcome::kRefused,
                    {"app.bin is a symbolic link to gone, which leads to nothing"}},
        RefusalCase{"FifoInAFolderACommandNames",
                    "Run\nOperation = MSP430Update\nCommandJTAG = tool --dir /mnt/tools\n",
                    [](const std::string& src) {
                        fs::create_directories(src + "/tools");
                        ASSERT_EQ(::mkfifo((src + "/tools/pipe").c_str(), 0644), 0);
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"tools/pipe is a FIFO"}},
        RefusalCase{"TheManifestsPlaceInAFolderACommandNames",
                    "Run\nOperation = MSP430Update\nCommandJTAG = tool --dir /mnt/firmware\n",
                    [](const std::string& src) {
                        fs::create_directories(src + "/firmware");
                        WriteAll(src + "/firmware/AUXINFO.TXT", "old");
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"would be firmware/AUXINFO.TXT, the manifest's own place"}},
        RefusalCase{"LinkLoopInAFolderACommandNames",
                    "Run\nOperation = MSP430Update\nCommandJTAG = tool --dir /mnt/tools\n",
                    [](const std::string& src) {
                        fs::create_directories(src + "/tools");
                        fs::create_symlink(".", src + "/tools/again");
                    },
                    false,
                    false,
                    Outcome::kRefused,
                    {"tools/again leads back to "}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace upd::testing
