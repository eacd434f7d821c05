// The kernel's mount table read for one mount point, and a device that is
// gone told from one that is there.
#include "platform/mountinfo.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/tempdir.h"

namespace upd::platform {
namespace {

// Sources and devices of the stack, the lowest first.
std::vector<std::string> Stack(std::string_view table, std::string_view target) {
    std::vector<std::string> out;
    for (const MountRecord& m : MountsAt(table, target)) {
        out.push_back(m.source + " " + std::to_string(m.major) + ":" + std::to_string(m.minor));
    }
    return out;
}

// Two sticks stacked on /mnt (listed top first), a tmpfs under /mnt, a
// folder whose name has a blank, and a line cut short.
constexpr char kTable[] =
    "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
    "31 1 179:2 / / rw,relatime shared:1 - ext4 /dev/mmcblk0p2 rw\n"
    "90 60 8:17 / /mnt rw,noexec,relatime - vfat /dev/disk/by-label/BRIMWOOD rw,fmask=0022\n"
    "60 31 8:1 / /mnt rw,noexec,relatime shared:7 master:3 - vfat /dev/sda1 rw\n"
    "95 90 0:45 / /mnt/sub rw - tmpfs tmpfs rw\n"
    "96 31 0:46 / /media/my\\040stick rw - tmpfs my\\040tmp rw\n"
    "97 31 8:33 / /mnt\n";

TEST(MountInfo, StackOnOneMountPointLowestFirst) {
    struct Case {
        const char* target;
        std::vector<std::string> stack;
    };
    const Case cases[] = {
        {"/mnt", {"/dev/sda1 8:1", "/dev/disk/by-label/BRIMWOOD 8:17"}},
        {"/mnt/sub", {"tmpfs 0:45"}},
        {"/media/my stick", {"my tmp 0:46"}},
        {"/media", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Stack(kTable, c.target), c.stack) << c.target;
    }
    EXPECT_TRUE(MountsAt("", "/mnt").empty());
}

TEST(MountInfo, DeviceIsGoneWhenTheKernelNoLongerListsIt) {
    testing::TempDir dir;
    const std::string block = dir / "block";
    std::filesystem::create_directories(block + "/8:1");
    struct Case {
        unsigned major, minor;
        std::string folder;
        bool gone;
    };
    const Case cases[] = {
        {8, 1, block, false},
        {8, 17, block, true},
        {0, 45, block, false},            // no device: tmpfs and the like
        {8, 17, dir / "missing", false},  // no table to look at
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BlockDeviceGone(c.major, c.minor, c.folder), c.gone)
            << c.major << ":" << c.minor << " in " << c.folder;
    }
}

TEST(MountInfo, LinuxListsAndDetachesWhatIsStackedOnAFolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting needs root rights";
    }
    testing::TempDir dir;
    const std::string target = dir.path();
    Platform& os = LinuxPlatform();
    ASSERT_EQ(::mount("lower", target.c_str(), "tmpfs", 0, "size=4k"), 0);
    ASSERT_EQ(::mount("upper", target.c_str(), "tmpfs", 0, "size=4k"), 0);
    // Each detach takes the one in view away; devices of tmpfs are never gone.
    std::vector<std::string> expected{"lower", "upper"};
    while (true) {
        std::vector<std::string> seen;
        for (const MountedFs& m : os.MountsOn(target.c_str())) {
            seen.push_back(m.source + (m.device_gone ? " gone" : ""));
        }
        EXPECT_EQ(seen, expected);
        if (expected.empty() || os.Detach(target.c_str()) != 0) {
            break;
        }
        expected.pop_back();
    }
    EXPECT_TRUE(expected.empty());
}

}  // namespace
}  // namespace upd::platform
