// The stick image, read back with the FAT tools: the partition where the
// instrument's kernel finds it, the label, and the package's files.
#include "pack/image.h"
#include "pack/tool.h"
#include "pack_fixture.h"

namespace upd::testing {
namespace {

using pack::Outcome;

// Output of an mtools command on the image's partition.
std::string Mtools(const std::string& tool, const std::string& image,
                   std::vector<std::string> args) {
    args.insert(args.begin(), {pack::FindTool(tool), "-i", pack::PartitionOf(image)});
    const pack::ToolRun run = pack::RunTool(args, {}, {"MTOOLS_SKIP_CHECK=1"});
    EXPECT_EQ(run.status, 0) << tool << ": " << run.output;
    return run.output;
}

TEST_F(PackTest, ImageHoldsTheStickUnderItsLabel) {
    for (const char* tool : {"sfdisk", "mkfs.vfat", "mcopy", "mlabel"}) {
        if (pack::FindTool(tool).empty()) {
            GTEST_SKIP() << tool << " is not installed";
        }
    }
    Manifest("SectionList\nSequence = App\n" + AppSection("/mnt/firmware/deep"));
    Source("app.bin", kAppContent);
    const std::string image = dir_ / "stick.img";
    ASSERT_EQ(Pack({.image = image}), Outcome::kWritten) << log_.str();

    EXPECT_EQ(Mtools("mlabel", image, {"-s", "::"}), " Volume label is BRIMWOOD   \n");
    EXPECT_EQ(Mtools("mcopy", image, {"::/firmware/deep/app.bin", "-"}), kAppContent);
    EXPECT_EQ(Mtools("mcopy", image, {"::/firmware/AuxInfo.txt", "-"}), Written());
    const pack::ToolRun table = pack::RunTool({pack::FindTool("sfdisk"), "--dump", image});
    EXPECT_NE(table.output.find("start=        2048, size=      131072, type=c"), std::string::npos)
        << table.output;
}

}  // namespace
}  // namespace upd::testing
