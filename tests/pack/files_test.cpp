// Where update-pack finds the files a package's listed sections take from the
// stick, and where on the stick it puts them.
#include <filesystem>
#include <vector>

#include "pack_fixture.h"

namespace upd::testing {
namespace {

using pack::Outcome;

struct File {
    std::string path;
    std::string content;
};

struct FilesCase {
    const char* name;
    std::string sections;       // listed by Sequence = Run
    std::vector<File> sources;  // in the source folder
    Outcome outcome;
    std::vector<File> stick;  // expected on the stick when written
    const char* message;      // part of what a refusal says
};

void PrintTo(const FilesCase& c, std::ostream* os) {
    *os << c.name;
}

class FilesTest : public PackTest, public ::testing::WithParamInterface<FilesCase> {};

TEST_P(FilesTest, FindsAndPlaces) {
    Manifest("SectionList\nSequence = Run\n" + GetParam().sections);
    for (const File& f : GetParam().sources) {
        Source(f.path, f.content);
    }
    ASSERT_EQ(Pack(), GetParam().outcome) << log_.str();
    if (GetParam().outcome != Outcome::kWritten) {
        EXPECT_NE(log_.str().find(GetParam().message), std::string::npos) << log_.str();
        EXPECT_FALSE(OutExists());
        return;
    }
    std::size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_ / "out")) {
        files += e.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, GetParam().stick.size() + 1);  // and the manifest
    for (const File& f : GetParam().stick) {
        EXPECT_EQ(Out(f.path), f.content) << f.path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pack, FilesTest,
    ::testing::Values(
        FilesCase{"ByNameBesideTheManifest",
                  AppSection("/mnt/pkg/sub", "Run"),
                  {{"app.bin", "beside"}},
                  Outcome::kWritten,
                  {{"pkg/sub/app.bin", "beside"}},
                  ""},
        FilesCase{"ThePathUnderTheMountPointFirst",
                  AppSection("/mnt/pkg//./sub", "Run"),
                  {{"app.bin", "beside"}, {"pkg/sub/app.bin", "mapped"}},
                  Outcome::kWritten,
                  {{"pkg/sub/app.bin", "mapped"}},
                  ""},
        // The instrument's vfat mount finds FIRMWARE as the manifest's
        // firmware folder: the file goes into that one folder.
        FilesCase{"AnotherSpellingOfTheManifestsFolder",
                  AppSection("/mnt/FIRMWARE", "Run"),
                  {{"app.bin", "beside"}},
                  Outcome::kWritten,
                  {{"firmware/app.bin", "beside"}},
                  ""},
        FilesCase{"Missing", AppSection("/mnt/firmware", "Run"), {}, Outcome::kRefused, {}, "nor"},
        FilesCase{"ClimbingOutOfTheStick",
                  AppSection("/mnt/../etc", "Run"),
                  {{"etc/app.bin", "x"}, {"app.bin", "x"}},
                  Outcome::kRefused,
                  {},
                  "not a file on the stick"},
        FilesCase{"OnTheInstrumentWithoutDigests",
                  AppSection("/home/Brimwood/bin", "Run"),
                  {},
                  Outcome::kRefused,
                  {},
                  "give both"},
        FilesCase{"NamedInMicrocontrollerCommands",
                  "Run\nOperation = MSP430Update\nCommandJTAG = /home/Brimwood/bin/tool --probe\n"
                  "Command1 = tool --image=/mnt/firmware/m.txt;echo\n"
                  "Command2 = tool '/mnt/m2.txt' /xmnt/no /mnt\n",
                  {{"m.txt", "m"}, {"m2.txt", "m2"}},
                  Outcome::kWritten,
                  {{"firmware/m.txt", "m"}, {"m2.txt", "m2"}},
                  ""},
        FilesCase{"FlashData",
                  "Run\nOperation = FlashUpdate\nDevice = /dev/mtd1\nOffset = 0\n"
                  "EraseCommand = erase\nWriteCommand = sh /mnt/tools/write\n"
                  "DataPath1 = /mnt/flash/f.img\n",
                  {{"f.img", "flash"}, {"write", "w"}},
                  Outcome::kWritten,
                  {{"flash/f.img", "flash"}, {"tools/write", "w"}},
                  ""},
        FilesCase{"AFolderACommandNamesGoesWhole",
                  "Run\nOperation = MSP430Update\n"
                  "CommandJTAG = tool --dir /mnt/tools --log /mnt/firmware/ </mnt/FIRMWARE\n"
                  "Command1 = tool\nCommand2 = tool\n",
                  {{"tools/a.txt", "a"}, {"tools/sub/b.txt", "b"}},
                  Outcome::kWritten,
                  {{"tools/a.txt", "a"}, {"tools/sub/b.txt", "b"}},
                  ""},
        FilesCase{"AQuotedPathWithABlank",
                  "Run\nOperation = MSP430Update\nCommandJTAG = tool\n"
                  "Command1 = tool \"/mnt/firmware/msp 430.txt\"\nCommand2 = tool\n",
                  {{"msp 430.txt", "m"}},
                  Outcome::kWritten,
                  {{"firmware/msp 430.txt", "m"}},
                  ""},
        FilesCase{"SectionsNotListedAreNotPacked",
                  "Run\nOperation = Reboot\n" + AppSection(),
                  {},
                  Outcome::kWritten,
                  {},
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A digest changes what the instrument does with a FlashUpdate section: it is
// added with a notice that says how, or left out when asked; --quiet keeps
// the notice and drops the line per file.
TEST_F(PackTest, FlashDigestAddedWithANoticeOrLeftOut) {
    const std::string digest = "SHA256Hash = " + Sha256Hex("flash") + "\n";
    struct Row {
        bool given, asWritten, quiet;
        bool digest, notice, perFile;
    };
    for (const Row& row :
         {Row{false, false, false, true, true, true}, Row{false, false, true, true, true, false},
          Row{false, true, false, false, false, true}, Row{true, true, false, true, false, true}}) {
        Manifest(
            "SectionList\nSequence = Flash\nFlash\nOperation = FlashUpdate\nDevice = d\n"
            "Offset = 0\nEraseCommand = e\nWriteCommand = w\nDataPath1 = /mnt/f.img\n" +
            (row.given ? digest : ""));
        Source("f.img", "flash");
        std::filesystem::remove_all(dir_ / "out");
        ASSERT_EQ(Pack({.flashAsWritten = row.asWritten, .quiet = row.quiet}), Outcome::kWritten)
            << log_.str();
        const std::string said = log_.str();
        EXPECT_EQ(Written().ends_with("DataPath1 = /mnt/f.img\n" + digest), row.digest) << said;
        EXPECT_EQ(said.find("notice: SHA256Hash added, which changes what the instrument\n") !=
                      std::string::npos,
                  row.notice)
            << said;
        EXPECT_EQ(said.find("stops the run with 638 when\n    WriteCommand exits non-zero") !=
                      std::string::npos,
                  row.notice)
            << said;
        EXPECT_EQ(said.find("(DataPath1): f.img, 5 bytes from ") != std::string::npos, row.perFile)
            << said;
    }
}

TEST_F(PackTest, TheStickCheckersErrorsRefuseThePackAtTheirSourceLines) {
    std::string second = AppSection("/mnt/firmware", "Second");
    second.erase(second.find("InterimDir"), second.find("InterimFile") - second.find("InterimDir"));
    // Second's section line is line 13 of the source, 15 of the stick.
    Manifest("SectionList\nSequence = App, Second\n" + AppSection() + second);
    Source("app.bin", kAppContent);
    EXPECT_EQ(Pack(), Outcome::kRefused);
    EXPECT_NE(log_.str().find("error 608 key-missing at line 13 [Second]"), std::string::npos) << log_.str();
    EXPECT_FALSE(OutExists());
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(PackTest, AStickThatIsNotEmptyIsLeftAlone) {
    Manifest("SectionList\nSequence = Run\nRun\nOperation = Reboot\n");
    Source("../out/mine.txt", "keep");
    EXPECT_EQ(Pack(), Outcome::kFailed);
    EXPECT_EQ(Out("mine.txt"), "keep");
    EXPECT_FALSE(OutExists("firmware"));
    EXPECT_EQ(Entries(), 2u);
}

}  // namespace
}  // namespace upd::testing
