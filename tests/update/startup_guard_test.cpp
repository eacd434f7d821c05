// What a run meets on the instrument before it mounts the stick, end to end on
// the simulated instrument: a device path that appears after the USB binding,
// mounts that failed runs left on sticks since pulled, and an updater that is
// already running.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_fixture.h"
#include "update/update.h"

namespace upd::testing {
namespace {

using Lines = std::vector<std::string>;

// A manifest whose run executes nothing: the run goes straight to its end.
constexpr char kEmptyRun[] = "Nothing\nKey=value\n";
constexpr char kLink[] = "link /dev/disk/by-label/BRIMWOOD";
constexpr char kMount[] = "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> 0";
constexpr char kBusyMount[] = "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> -1 errno 16";
// The updater polls every 250 ms for 8 s.
constexpr int kPolls = 32;

TEST(DeviceWait, PathThatAppearsAfterTheBindingIsWaitedForUpToTheLimit) {
    struct Case {
        int appears_at;  // the pause after which the device path is there
        bool in_time;
    };
    for (const Case c : {Case{1, true}, Case{kPolls, true}, Case{kPolls + 1, false}}) {
        SCOPED_TRACE(c.appears_at);
        SimInstrument sim;
        sim.WriteManifest(kEmptyRun);
        sim.SetDeviceAfter(c.appears_at);
        const SimRun run = sim.Run();
        Lines start{"sync"};
        start.insert(start.end(), std::min(c.appears_at, kPolls), "pause 250");
        const Lines trace = sim.Trace();
        ASSERT_GT(trace.size(), start.size() + 2);
        EXPECT_TRUE(std::equal(start.begin(), start.end(), trace.begin()));
        if (c.in_time) {
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(trace[start.size()], kLink);
            EXPECT_EQ(trace[start.size() + 1], kMount);
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(sim.ErrorFile(), "1902 652\n");
            EXPECT_TRUE(sim.TraceOf("mount ").empty());
        }
    }
}

TEST(StaleMounts, MountsOfPulledSticksAreDetachedOthersLeft) {
    struct Case {
        const char* what;
        Lines left;     // on /mnt before the run, the lowest first
        Lines present;  // of those, the devices still there
        int detached;
        const char* mount;
        Lines after;  // what stays mounted once the run has unmounted its stick
    };
    const std::string stick = SimInstrument::kStick;
    const Case cases[] = {
        {"pulled stick", {"/dev/sda1"}, {}, 1, kMount, {}},
        {"two pulled sticks stacked", {"/dev/sda1", "/dev/sdb1"}, {}, 2, kMount, {}},
        {"pulled stick on a live device",
         {"/dev/sdc1", "/dev/sda1"},
         {"/dev/sdc1"},
         1,
         kMount,
         {"/dev/sdc1"}},
        {"live device on a pulled stick",
         {"/dev/sda1", "/dev/sdc1"},
         {"/dev/sdc1"},
         0,
         kMount,
         {"/dev/sda1", "/dev/sdc1"}},
        {"the stick itself, still in", {stick}, {stick}, 0, kBusyMount, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimInstrument sim;
        sim.WriteManifest(kEmptyRun);
        for (const std::string& device : c.present) {
            sim.MakeDir(device);
        }
        sim.SetStaleMounts(c.left);
        const SimRun run = sim.Run();
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(sim.TraceOf("detach "), Lines(c.detached, "detach /mnt -> 0"));
        EXPECT_EQ(sim.TraceOf("mount "), Lines{c.mount});
        std::string table;
        for (const std::string& device : c.after) {
            table += device + "\t/mnt\n";
        }
        EXPECT_EQ(sim.StaleMountsLeft() ? sim.Read("/.sim/mounts") : "", table);
    }
}

TEST(Leftovers, FlashCopyOfAnInterruptedRunGoesAtTheStartOfTheNext) {
    SimInstrument sim;
    sim.UnbindAllUsb();
    sim.Write(kFlashCopyPath, "copy of a run that was cut off");
    EXPECT_EQ(sim.Run().status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 652\n");
    EXPECT_FALSE(sim.Exists(kFlashCopyPath));
}

// The first run's splash program holds it at its first message until
// /.test/hold goes; later runs show their messages at once.
constexpr char kHoldingSplash[] =
    "if mkdir /.test/held 2>/dev/null; then\n"
    "    : > /.test/busy\n"
    "    while [ -e /.test/hold ]; do sleep 0.01; done\n"
    "fi\n"
    "printf '%s\\n' \"$2\" >> /.test/splash\n";

TEST(OneUpdaterAtATime, SecondChangesNothingAndAKilledOneHoldsNothing) {
    SimInstrument sim;
    sim.WriteManifest(kEmptyRun);
    sim.WriteScript("/home/Brimwood/bin/qsplash", kHoldingSplash);
    sim.Write("/.test/hold", "");
    const pid_t first = sim.Start();
    ASSERT_GT(first, 0);
    for (int i = 0; i < 1000 && !sim.Exists("/.test/busy"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(sim.Exists("/.test/busy"));

    const Lines before = sim.Trace();
    const SimRun second = sim.Run();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "update: another update is running; this one stops\n");
    Lines after = before;
    after.push_back("exit 1 mounted=yes");  // the first run's mount
    EXPECT_EQ(sim.Trace(), after);
    EXPECT_FALSE(sim.ErrorFile());
    EXPECT_FALSE(sim.Exists("/.test/splash"));

    // Killed while its splash program still runs: the lock goes with it.
    ::kill(first, SIGKILL);
    int status = 0;
    ::waitpid(first, &status, 0);
    const SimRun third = sim.Run();
    sim.Remove("/.test/hold");
    EXPECT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(sim.TraceOf("exit ").back(), "exit 0 mounted=no");
}

}  // namespace
}  // namespace upd::testing
