// The updater's start-up end to end on a simulated instrument: banner, usage,
// command line, device check, mount, and the error file and display message
// of each start-up failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sim_fixture.h"
#include "util/program.h"

namespace upd::testing {
namespace {

using Lines = std::vector<std::string>;

// The banner names the project's version.
const std::string kBanner =
    std::string("Z4412 firmware updater v") + Version() + " (Fri Jan 24 12:50:32 2020)\n";
constexpr char kUsage[] =
    "Usage: ./update [-d <device>] [-t <timestamp>] [-f] [-m]\n"
    "       where:\n"
    "            -d  -  device name\n"
    "                   <device> ex: /dev/sda1\n"
    "            -t  -  specify build timestamp of current firmware\n"
    "                   <timestamp> format is YYYY-MM-DD HH:MM:SS\n"
    "            -f  -  force override of timestamp check\n"
    "            -s  -  perform SSL check\n"
    "            -h  -  display usage message, then terminate\n"
    "            -m  -  enable MSG macro\n";
constexpr char kDefaultMount[] = "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> 0";

std::string ErrorMessage(int code) {
    return "Error updating firmware: " + std::to_string(code);
}

std::string SplashTrace(const std::string& message) {
    return "system " + SimInstrument::SplashCommand(message) + " -> 0";
}

TEST(StartUp, HelpPrintsUsageAndStopsBeforeTheDevice) {
    const std::vector<std::vector<std::string>> command_lines = {
        {"-h"}, {"-h", "-d", "x"}, {"-x", "-h", "-M"}, {"-d", "-h"}, {"-t", "-f", "-h"}};
    for (const auto& args : command_lines) {
        SimInstrument sim;
        sim.Remove(SimInstrument::kDownloadDir);
        SimRun run = sim.Run(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.out, kBanner + kUsage) << args[0];
        EXPECT_EQ(run.err, "");
        EXPECT_FALSE(sim.ErrorFile());
        EXPECT_TRUE(sim.Exists(SimInstrument::kDownloadDir));
        EXPECT_EQ(sim.Trace(), Lines{"exit 1 mounted=no"});
        EXPECT_TRUE(sim.Messages().empty());
    }
}

TEST(StartUp, MountsTheDeviceOnMnt) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string device;  // the stick's instrument path
    };
    const std::string device63 = "/" + std::string(62, 's');
    const Case cases[] = {
        {"default device", {}, SimInstrument::kStick},
        {"-d", {"-d", "/media/stick"}, "/media/stick"},
        {"later -d wins", {"-d", "/first", "-d", "/media/stick"}, "/media/stick"},
        {"63-character device", {"-d", device63}, device63},
        {"-d then -t", {"-d", "-t", "2020-01-01 00:00:00"}, "-t"},
        {"31-character time stamp", {"-t", std::string(31, '1')}, SimInstrument::kStick},
        {"-t as last argument", {"-f", "-t"}, SimInstrument::kStick},
    };
    for (const Case& c : cases) {
        SimInstrument sim;
        if (c.device != SimInstrument::kStick) {
            sim.Remove(SimInstrument::kStick);
            sim.MakeDir(c.device[0] == '/' ? c.device : "/" + c.device);
        }
        SimRun run = sim.Run(c.args);
        EXPECT_EQ(run.out.rfind(kBanner, 0), 0u) << c.what;
        Lines trace = sim.Trace();
        ASSERT_GE(trace.size(), 2u) << c.what;
        EXPECT_EQ(trace[0], "sync") << c.what;
        EXPECT_EQ(trace[1], "mount " + c.device + " /mnt vfat 8 -> 0") << c.what;
        // The run goes on with the manifest.
        ASSERT_FALSE(sim.Messages().empty()) << c.what;
        EXPECT_EQ(sim.Messages()[0], "Updating firmware...") << c.what;
    }
}

TEST(StartUp, AnyOfTheFourUsbPortsWillDo) {
    for (const char* port : kUsbPorts) {
        SimInstrument sim;
        sim.UnbindAllUsb();
        sim.BindUsb(port);
        sim.Run();
        EXPECT_EQ(sim.TraceOf("mount "), Lines{kDefaultMount}) << port;
    }
}

TEST(StartUp, FailuresAreReportedWithoutTeardown) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        void (*prepare)(const SimInstrument&);
        int code;
        Lines trace;
    };
    const auto none = [](const SimInstrument&) {};
    const std::string device64 = "/" + std::string(63, 's');
    const std::string unmount_first = "umount /mnt -> -1 errno 22";
    const Case cases[] = {
        {"64-character device", {"-d", device64, "-h"}, none, 669, {unmount_first}},
        {"32-character time stamp", {"-t", std::string(32, '1'), "-h"}, none, 621, {unmount_first}},
        {"no USB binding", {}, [](const SimInstrument& s) { s.UnbindAllUsb(); }, 652, {"sync"}},
        {"binding on another port",
         {},
         [](const SimInstrument& s) {
             s.UnbindAllUsb();
             s.BindUsb("2-1.3:1.0");
         },
         652,
         {"sync"}},
        {"mount fails",
         {},
         [](const SimInstrument& s) { s.SetMountErrno(5); },
         650,
         {"sync", "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> -1 errno 5"}},
        {"mount refused, read-only too",
         {},
         [](const SimInstrument& s) { s.SetMountErrno(13); },
         650,
         {"sync", "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> -1 errno 13",
          "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 9 -> -1 errno 13"}},
        {"device is no block device",
         {"-d", "/home/Brimwood/bin/qsplash"},
         none,
         650,
         {"sync", "mount /home/Brimwood/bin/qsplash /mnt vfat 8 -> -1 errno 15"}},
    };
    for (const Case& c : cases) {
        SimInstrument sim;
        c.prepare(sim);
        SimRun run = sim.Run(c.args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.out, kBanner) << c.what;
        EXPECT_EQ(sim.ErrorFile(), "1902 " + std::to_string(c.code) + "\n") << c.what;
        EXPECT_EQ(sim.Messages(), Lines{ErrorMessage(c.code)}) << c.what;
        Lines trace = c.trace;
        trace.push_back(SplashTrace(ErrorMessage(c.code)));
        trace.push_back("exit 1 mounted=no");
        EXPECT_EQ(sim.Trace(), trace) << c.what;
    }
}

TEST(StartUp, BusyMountPointCountsAsMounted) {
    SimInstrument sim;
    sim.SetMountErrno(16);
    sim.Run();
    EXPECT_EQ(sim.TraceOf("mount "), Lines{"mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> -1 "
                                           "errno 16"});
    ASSERT_FALSE(sim.Messages().empty());
    EXPECT_EQ(sim.Messages()[0], "Updating firmware...");
}

TEST(StartUp, WriteProtectedStickIsMountedReadOnly) {
    // The stick is read, never written: the run goes on, and a command that
    // tries to write to the stick finds it read-only.
    SimInstrument sim;
    sim.SetStickReadOnly();
    sim.WriteManifest(
        "SectionList\nSequence=M\nM\nOperation=MSP430Update\nCommandJTAG=touch /mnt/x\n"
        "Command1=true\nCommand2=true\n");
    SimRun run = sim.Run();
    EXPECT_EQ(sim.TraceOf("mount "),
              (Lines{"mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> -1 errno 30",
                     "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 9 -> 0"}));
    EXPECT_EQ(sim.ErrorFile(), "1902 667\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(sim.Exists(std::string(SimInstrument::kStick) + "/x"));
}

TEST(StartUp, DeviceArgumentIsAlsoTakenAsAnOption) {
    // "-d -s" stores "-s" as the device and asks for the signature check,
    // which fails here for want of a public key.
    SimInstrument sim;
    sim.MakeDir("/-s/firmware");
    sim.Write("/-s/firmware/AuxInfo.txt", "Nothing\nKey=value\n");
    SimRun run = sim.Run({"-d", "-s"});
    EXPECT_EQ(sim.TraceOf("mount "), Lines{"mount -s /mnt vfat 8 -> 0"});
    EXPECT_EQ(sim.ErrorFile(), "1902 668\n");
    EXPECT_EQ(run.status, 1);
}

TEST(ErrorReport, ErrorFileHoldsOnlyTheLastCode) {
    SimInstrument sim;
    sim.UnbindAllUsb();
    sim.Write(SimInstrument::kErrorFile, std::string(5000, 'x') + "\n");
    sim.Run();
    EXPECT_EQ(sim.ErrorFile(), "1902 652\n");
}

TEST(ErrorReport, MissingLogFolderStillShowsTheMessage) {
    SimInstrument sim;
    sim.UnbindAllUsb();
    sim.Remove("/home/Brimwood/log");
    sim.Remove(SimInstrument::kDownloadDir);
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(sim.Exists("/home/Brimwood/log"));
    EXPECT_TRUE(sim.Exists(SimInstrument::kDownloadDir));
    EXPECT_EQ(sim.Messages(), Lines{ErrorMessage(652)});
}

TEST(ErrorReport, MissingSplashProgramIsIgnored) {
    SimInstrument sim;
    sim.UnbindAllUsb();
    sim.Remove("/home/Brimwood/bin/qsplash");
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 652\n");
    ASSERT_EQ(sim.TraceOf("system ").size(), 1u);
    EXPECT_NE(sim.TraceOf("system ")[0], SplashTrace(ErrorMessage(652)));  // non-zero status
}

}  // namespace
}  // namespace upd::testing
