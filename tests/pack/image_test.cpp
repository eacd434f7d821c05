// The stick image, read back with the FAT tools: the partition where the
// instrument's kernel finds it, the label, the package's files under their
// names; the same files give the same bytes, and an image that does not read
// back as staged is never left behind.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pack/image.h"
#include "pack/tool.h"
#include "pack_fixture.h"

namespace upd::testing {
namespace {

namespace fs = std::filesystem;
using pack::Outcome;

// Output of an mtools command on the image's partition.
std::string Mtools(const std::string& tool, const std::string& image,
                   std::vector<std::string> args) {
    args.insert(args.begin(), {pack::FindTool(tool), "-i", pack::PartitionOf(image)});
    const pack::ToolRun run =
        pack::RunTool(args, {}, {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8", "TZ=UTC0"});
    EXPECT_EQ(run.status, 0) << tool << ": " << run.output;
    return run.output;
}

TEST(ImageTimeTest, SourceDateEpochIsSecondsWithinFatsTimes) {
    const std::pair<const char*, std::optional<std::int64_t>> rows[] = {
        {"1700000000", 1700000000},
        {"315532800", pack::kFirstFatTime},
        {"4354819198", pack::kLastFatTime},
        {"315532799", std::nullopt},
        {"4354819199", std::nullopt},
        {"", std::nullopt},
        {"17e8", std::nullopt},
        {" 1700000000", std::nullopt},
        {"-1", std::nullopt}};
    for (const auto& [text, time] : rows) {
        std::string error;
        EXPECT_EQ(pack::ParseSourceDateEpoch(text, &error), time) << text;
        EXPECT_EQ(error.empty(), time.has_value()) << text;
    }
}

class ImageTest : public PackTest {
  protected:
    void SetUp() override {
        for (const char* tool : {"sfdisk", "mkfs.vfat", "mcopy", "mlabel", "mmd"}) {
            if (pack::FindTool(tool).empty()) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        Manifest("SectionList\nSequence = App, Mcu\n" + AppSection("/mnt/firmware/deep") +
                 "Mcu\nOperation = MSP430Update\nCommandJTAG = tool\nCommand2 = tool\n"
                 "Command1 = tool /mnt/firmware/grüße-datei.txt\n");
        Source("app.bin", kAppContent);
        Source("grüße-datei.txt", "Grüße");
    }
};

TEST_F(ImageTest, HoldsTheStickUnderItsLabel) {
    const std::string image = dir_ / "stick.img";
    ASSERT_EQ(Pack({.image = image}), Outcome::kWritten) << log_.str();

    EXPECT_EQ(Mtools("mlabel", image, {"-s", "::"}), " Volume label is BRIMWOOD   \n");
    EXPECT_EQ(Mtools("mcopy", image, {"::/firmware/deep/app.bin", "-"}), kAppContent);
    EXPECT_EQ(Mtools("mcopy", image, {"::/firmware/grüße-datei.txt", "-"}), "Grüße");
    EXPECT_EQ(Mtools("mcopy", image, {"::/firmware/AuxInfo.txt", "-"}), Written());
    const pack::ToolRun table = pack::RunTool({pack::FindTool("sfdisk"), "--dump", image});
    EXPECT_NE(table.output.find("start=        2048, size=      131072, type=c"), std::string::npos)
        << table.output;
    EXPECT_NE(log_.str().find("image " + image + ", 68157440 bytes (65 MiB)"), std::string::npos)
        << log_.str();
}

TEST_F(ImageTest, TheSameFilesGiveTheSameBytes) {
    ASSERT_EQ(Pack({.image = dir_ / "a.img"}), Outcome::kWritten) << log_.str();
    // Later, by more than FAT's two-second steps, into other places.
    ::usleep(2'100'000);
    std::ostringstream log;
    ASSERT_EQ(pack::Pack({.source = dir_ / "src/AuxInfo.txt.in",
                          .outputDir = dir_ / "elsewhere",
                          .image = dir_ / "b.img"},
                         log),
              Outcome::kWritten)
        << log.str();
    EXPECT_TRUE(ReadAll(dir_ / "a.img") == ReadAll(dir_ / "b.img"));

    fs::remove_all(dir_ / "out");
    ASSERT_EQ(Pack({.image = dir_ / "c.img", .imageTime = 1700000000}), Outcome::kWritten);
    EXPECT_NE(Mtools("mdir", dir_ / "c.img", {"::/firmware"}).find("2023-11-14  22:13"),
              std::string::npos);
    EXPECT_NE(Mtools("mdir", dir_ / "a.img", {"::/firmware"}).find("1980-01-01   0:00"),
              std::string::npos)
        << Mtools("mdir", dir_ / "a.img", {"::/firmware"});
}

TEST_F(ImageTest, AnImageThatDoesNotReadBackIsNotLeft) {
    struct Row {
        const char* said;
        void (*damage)(const std::string& image);
    };
    const Row rows[] = {
        {"not the 68157440 bytes written",
         [](const std::string& image) { fs::resize_file(image, 3 << 20); }},
        {"read back from the image: firmware/deep/app.bin: other bytes in the image",
         [](const std::string& image) {
             const std::string bytes = ReadAll(image);
             std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
             out.seekp(static_cast<std::streamoff>(bytes.find(kAppContent)));
             out.put('A');
         }},
    };
    for (const Row& row : rows) {
        const std::string image = dir_ / "stick.img";
        EXPECT_EQ(Pack({.image = image, .imageWritten = row.damage}), Outcome::kFailed)
            << log_.str();
        EXPECT_NE(log_.str().find(row.said), std::string::npos) << log_.str();
        EXPECT_FALSE(fs::exists(image)) << row.said;
        EXPECT_FALSE(OutExists()) << row.said;
    }
}

}  // namespace
}  // namespace upd::testing
