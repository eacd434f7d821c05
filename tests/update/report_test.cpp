// The driver's reporting and completion services: the display command line,
// unmounting, waiting for the stick's removal, the reboot sequence and the
// run list's release on a recording platform; the teardown of a failed run
// and the restart of the main application end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sim_fixture.h"
#include "support/tempdir.h"
#include "update/update.h"

namespace upd {
namespace {

using Lines = std::vector<std::string>;
using testing::SimInstrument;

// Records every call; sleeps may run an action, as the user would.
class RecordingPlatform final : public platform::Platform {
  public:
    int Mount(const char*, const char*, const char*, unsigned long, const void*) override {
        calls.push_back("mount");
        return 0;
    }
    int Umount(const char* target) override {
        calls.push_back(std::string("umount ") + target);
        if (umount_errno != 0) {
            errno = umount_errno;
            return -1;
        }
        return 0;
    }
    void Sync() override { calls.push_back("sync"); }
    int System(const char* command) override {
        calls.push_back(std::string("system ") + command);
        return system_status;
    }
    unsigned Sleep(unsigned seconds) override {
        calls.push_back("sleep " + std::to_string(seconds));
        if (++sleeps == unplug_at) {
            ::unlink(unplug_path.c_str());
        }
        return 0;
    }
    void Pause(unsigned milliseconds) override {
        calls.push_back("pause " + std::to_string(milliseconds));
    }
    std::vector<platform::MountedFs> MountsOn(const char*) override { return {}; }
    int Detach(const char* target) override {
        calls.push_back(std::string("detach ") + target);
        return 0;
    }

    Lines calls;
    int umount_errno = 0;
    int system_status = 0;
    int sleeps = 0;
    int unplug_at = 0;
    std::string unplug_path;
};

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = platform::Install(&platform_);
        Mounted = false;
    }
    void TearDown() override {
        platform::Install(previous_);
        Mounted = false;
    }

    RecordingPlatform platform_;
    UpdateInfo info_{};

  private:
    platform::Platform* previous_ = nullptr;
};

std::string Splash(const std::string& message) {
    return "system " + SimInstrument::SplashCommand(message);
}

TEST_F(ReportTest, ShowMessageRunsTheSplashProgram) {
    platform_.system_status = 256;
    EXPECT_EQ(ShowMessage("Rebooting..."), 256);
    EXPECT_EQ(platform_.calls,
              Lines{"system /home/Brimwood/bin/qsplash /home/Brimwood/bin/BrimwoodSplash.png "
                    "\"Rebooting...\" -platform "
                    "linuxfb:nographicsmodeswitch:size=480x272:mmsize=95x54"});
}

TEST_F(ReportTest, LongestMessageFitsTheCommandLine) {
    const std::string message(kMessageSize - 1, 'm');
    ShowMessage(message.c_str());
    EXPECT_EQ(platform_.calls, Lines{Splash(message)});
}

TEST_F(ReportTest, MessageTooLongForTheCommandLineIsNotShownCutOff) {
    const std::string message(kShellLineSize, 'm');
    EXPECT_EQ(ShowMessage(message.c_str()), -1);
    EXPECT_TRUE(platform_.calls.empty());
}

TEST_F(ReportTest, UnMount) {
    Mounted = true;
    info_.errorCode = 650;
    EXPECT_EQ(UnMount(&info_), 1);
    EXPECT_FALSE(Mounted);
    EXPECT_EQ(info_.errorCode, 650);

    Mounted = true;
    platform_.umount_errno = EBUSY;
    EXPECT_EQ(UnMount(&info_), 0);
    EXPECT_TRUE(Mounted);
    EXPECT_EQ(info_.errorCode, kErrUnmountFailed);
    EXPECT_EQ(platform_.calls, (Lines{"umount /mnt", "umount /mnt"}));
}

TEST_F(ReportTest, WaitForUsbUnplugPollsEverySecond) {
    for (int pulled_at : {1, 2, 5}) {
        testing::TempDir dir;
        const std::string device = dir / "sda1";
        testing::WriteAll(device, "");
        std::strcpy(info_.device, device.c_str());
        platform_ = RecordingPlatform{};
        platform_.unplug_at = pulled_at;
        platform_.unplug_path = device;
        WaitForUsbUnplug(&info_);
        Lines expected{Splash("Please remove USB device.")};
        expected.insert(expected.end(), pulled_at, "sleep 1");
        EXPECT_EQ(platform_.calls, expected) << pulled_at;
    }
}

TEST_F(ReportTest, WaitForUsbUnplugSleepsOnceWhenAlreadyGone) {
    std::strcpy(info_.device, "/nonexistent/device/path");
    WaitForUsbUnplug(&info_);
    EXPECT_EQ(platform_.calls, (Lines{Splash("Please remove USB device."), "sleep 1"}));
}

TEST_F(ReportTest, RebootSequence) {
    EXPECT_EQ(RebootSequence(), 0);
    EXPECT_EQ(platform_.calls,
              (Lines{Splash("Rebooting..."), "sleep 1", "system /sbin/reboot", "sleep 1"}));
}

TEST(SectionListTest, FreeReleasesEveryNodeAndClearsTheHead) {
    FreeSectionList(nullptr);
    Section* head = nullptr;
    FreeSectionList(&head);
    EXPECT_EQ(head, nullptr);
    for (const char* name : {"A", "B", "A"}) {
        auto* node = static_cast<Section*>(std::malloc(sizeof(Section)));
        node->name = ::strdup(name);
        node->next = head;
        head = node;
    }
    FreeSectionList(&head);
    EXPECT_EQ(head, nullptr);
}

// A failure of the manifest tears the run down: the store and the run list
// are released, the stick unmounted once and the main application restarted.

constexpr char kStartMain[] = "system /home/Brimwood/bin/brimwood & -> 0";
constexpr char kMainScript[] = "echo started >> /.test/brimwood\n";

TEST(Teardown, UnreadableManifestUnmountsOnceAndRestarts) {
    SimInstrument sim;
    sim.WriteScript(SimInstrument::kMainApp, kMainScript);
    testing::SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 610\n");
    EXPECT_EQ(sim.Trace(), (Lines{"sync", "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> 0",
                                  Splash("Updating firmware...") + " -> 0", "umount /mnt -> 0",
                                  Splash("Error updating firmware: 610") + " -> 0", kStartMain,
                                  "exit 1 mounted=no"}));
}

TEST(Teardown, FailedUnmountIsTriedAgainAndTheRunStillRestarts) {
    SimInstrument sim;
    sim.WriteScript(SimInstrument::kMainApp, kMainScript);
    sim.SetUmountErrno(16);
    testing::SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 610\n");
    EXPECT_EQ(sim.TraceOf("umount "),
              (Lines{"umount /mnt -> -1 errno 16", "umount /mnt -> -1 errno 16"}));
    EXPECT_EQ(sim.TraceOf("system /home/Brimwood/bin/brimwood"), Lines{kStartMain});
    EXPECT_EQ(sim.Trace().back(), "exit 1 mounted=yes");
}

TEST(Teardown, LoadedManifestIsReleasedAndTheStickUnmounted) {
    SimInstrument sim;
    sim.WriteManifest("SectionList\nSequence=Bad\nBad\nOperation=" + std::string(64, 'x') + "\n");
    testing::SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 606\n");
    Lines trace = sim.Trace();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(Lines(trace.end() - 3, trace.end()),
              (Lines{Splash("Error updating firmware: 606") + " -> 0", "umount /mnt -> 0",
                     "exit 1 mounted=no"}));
}

TEST(Teardown, RestartMainRestoresAMissingProgramFromItsBackup) {
    const std::string backup = std::string(SimInstrument::kMainApp) + ".bak";
    struct Case {
        const char* what;
        bool app;
        bool backup;
        bool started;
        bool backup_left;
    };
    const Case cases[] = {
        {"program only", true, false, true, false},
        {"backup only", false, true, true, false},
        {"both", true, true, true, true},
        {"neither", false, false, false, false},
    };
    for (const Case& c : cases) {
        SimInstrument sim;
        if (c.app) {
            sim.WriteScript(SimInstrument::kMainApp, kMainScript);
        }
        if (c.backup) {
            sim.WriteScript(backup, "# backup\n" + std::string(kMainScript));
        }
        sim.Run();
        EXPECT_EQ(sim.TraceOf("system /home/Brimwood/bin/brimwood"),
                  c.started ? Lines{kStartMain} : Lines{})
            << c.what;
        EXPECT_EQ(sim.Exists(SimInstrument::kMainApp), c.app || c.backup) << c.what;
        EXPECT_EQ(sim.Exists(backup), c.backup_left) << c.what;
        if (c.backup && !c.app) {
            EXPECT_NE(sim.Read(SimInstrument::kMainApp).find("# backup"), std::string::npos);
        }
    }
}

// A folder fsync that fails after a rename cannot undo the rename: it is
// reported in the diagnostics and the run goes on.
TEST(SyncFolderReport, FailureIsReportedOnStandardError) {
    testing::TempDir dir;
    for (const auto& [path, reported] :
         {std::pair{dir / "file", false}, std::pair{dir / "missing/file", true}}) {
        ::testing::internal::CaptureStderr();
        SyncFolderOrWarn(path.c_str());
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("fsync of the folder of " + path + " failed") != std::string::npos,
                  reported)
            << err;
    }
}

}  // namespace
}  // namespace upd
