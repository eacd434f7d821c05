// The simulated instrument's contract: the command line, the sandbox as root
// and as an ordinary user, refusal to run anything when the sandbox cannot be
// set up, the simulated stick, its removal and return, and the trace.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/sim_fixture.h"
#include "util/program.h"

namespace upd::testing {
namespace {

using Lines = std::vector<std::string>;

// A manifest whose run executes nothing: the run goes straight to its end.
constexpr char kEmptyRun[] = "Nothing\nKey=value\n";

std::string Splash(const std::string& message) {
    return "system " + SimInstrument::SplashCommand(message) + " -> 0";
}

// The trace of a whole run that executes nothing and ends with the stick
// pulled at the given sleep.
Lines CompleteRunTrace(int pulled_at) {
    Lines trace{"sync",
                "mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> 0",
                Splash("Updating firmware..."),
                "sync",
                "umount /mnt -> 0",
                Splash("Please remove USB device.")};
    trace.insert(trace.end(), pulled_at, "sleep 1");
    trace.push_back("unplug /dev/disk/by-label/BRIMWOOD");
    trace.push_back("exit 0 mounted=no");
    return trace;
}

// The exit statuses of a command line that runs no updater, as the help
// tells them; a wrong one is one line that points to the help.
TEST(Sim, CommandLineWithoutARunnableRoot) {
    SimInstrument sim;
    const std::string seeHelp = " (see update-sim --help)\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of standard output
        std::string err;  // standard error
    } cases[] = {
        {{}, 2, "", "update-sim: no ROOT given" + seeHelp},
        {{sim.root() + "/missing", "-h"},
         2,
         "",
         "update-sim: " + sim.root() +
             "/missing is no folder; update-sim --init ROOT lays out an instrument in ROOT\n"},
        {{"--bogus", sim.root()}, 2, "", "update-sim: unknown option --bogus" + seeHelp},
        {{"-d", sim.root()}, 2, "", "update-sim: unknown option -d" + seeHelp},
        {{"--init"}, 2, "", "update-sim: --init takes one ROOT" + seeHelp},
        {{"--help"}, 0, "usage: update-sim ROOT [ARGUMENT...]\n       update-sim --init ROOT", ""},
        {{"--version"}, 0, VersionLine("update-sim"), ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> command{UPD_SIM_BINARY};
        command.insert(command.end(), c.args.begin(), c.args.end());
        SimRun run = sim.Execute(command);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(run.err, c.err);
    }
    EXPECT_FALSE(sim.Exists("/.sim"));
}

TEST(Sim, CompleteRunPullsTheStickAndPutsItBack) {
    SimInstrument sim;
    sim.WriteManifest(kEmptyRun);
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sim.Trace(), CompleteRunTrace(1));
    EXPECT_FALSE(sim.Unplugged());
    EXPECT_FALSE(sim.Exists("/.sim/unplugged"));
    // The stick's mount lived only in the run's own mount namespace, and the
    // sandbox's own mount points are gone.
    EXPECT_TRUE(std::filesystem::is_empty(sim.Host("/mnt")));
    for (const char* made : {"/usr", "/bin", "/lib", "/lib64", "/dev/null"}) {
        EXPECT_FALSE(sim.Exists(made)) << made;
    }

    // A stick that a killed run left aside is put back before the next run.
    std::filesystem::create_directories(sim.Host("/.sim/unplugged"));
    std::filesystem::rename(sim.Stick(), sim.Host("/.sim/unplugged/BRIMWOOD"));
    std::filesystem::remove(sim.Host("/.sim/log"));
    EXPECT_EQ(sim.Run().status, 0);
    EXPECT_EQ(sim.Trace(), CompleteRunTrace(1));
}

TEST(Sim, UnplugAfterChoosesTheSleep) {
    for (int k : {1, 3}) {
        SimInstrument sim;
        sim.WriteManifest(kEmptyRun);
        sim.SetUnplugAfter(k);
        EXPECT_EQ(sim.Run().status, 0);
        EXPECT_EQ(sim.Trace(), CompleteRunTrace(k)) << k;
    }
}

TEST(Sim, UpdaterStillWaitingAfterAThousandSleepsIsEnded) {
    SimInstrument sim;
    sim.WriteManifest(kEmptyRun);
    // The stick cannot be pulled: its place among the pulled ones is taken.
    sim.Write("/.sim/unplugged/BRIMWOOD/taken", "");
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.report.find("update-sim: the updater still waits 1000 sleeps after the stick "
                              "was pulled\nupdate-sim: exit status 3\n"),
              std::string::npos)
        << run.report;
    EXPECT_EQ(sim.TraceOf("sleep 1").size(), 1000u);
    EXPECT_TRUE(sim.TraceOf("exit ").empty());
    EXPECT_TRUE(sim.TraceOf("unplug ").empty());
}

TEST(Sim, StickIsMountedWithoutExecRights) {
    SimInstrument sim;
    sim.WriteManifest(
        "SectionList\nSequence=M\nM\nOperation=MSP430Update\nCommandJTAG=/mnt/run.sh\n"
        "Command1=true\nCommand2=true\n");
    sim.WriteStick("run.sh", "#!/bin/sh\nexit 0\n");
    ::chmod(sim.Stick("run.sh").c_str(), 0755);
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.TraceOf("system /mnt/run.sh"), Lines{"system /mnt/run.sh -> 32256"});
    EXPECT_EQ(sim.ErrorFile(), "1902 667\n");
}

TEST(Sim, SbinIsTheInstrumentsOwn) {
    const char* manifest = "SectionList\nSequence=R\nR\nOperation=Reboot\n";
    {
        SimInstrument sim;
        sim.WriteManifest(manifest);
        EXPECT_EQ(sim.Run().status, 0);
        EXPECT_EQ(sim.Reboots(), 1);
        EXPECT_EQ(sim.TraceOf("system /sbin/reboot"), Lines{"system /sbin/reboot -> 0"});
    }
    {
        SimInstrument sim;
        sim.WriteManifest(manifest);
        sim.Remove("/sbin");
        EXPECT_EQ(sim.Run().status, 0);
        EXPECT_EQ(sim.TraceOf("system /sbin/reboot"), Lines{"system /sbin/reboot -> 32512"});
    }
}

// A mount on the instrument's /mnt made before the run, removed at the end.
class HostMount {
  public:
    HostMount(const std::string& source, const std::string& target) : target_(target) {
        mounted_ = ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~HostMount() {
        if (mounted_) {
            ::umount(target_.c_str());
        }
    }
    bool mounted() const { return mounted_; }

  private:
    std::string target_;
    bool mounted_ = false;
};

TEST(Sim, MountOnABusyMountPointFailsWithEbusy) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount on the host";
    }
    SimInstrument sim;
    sim.WriteManifest(kEmptyRun);
    HostMount busy(sim.Stick(), sim.Host("/mnt"));
    ASSERT_TRUE(busy.mounted());
    SimRun run = sim.Run();
    EXPECT_EQ(sim.TraceOf("mount "),
              Lines{"mount /dev/disk/by-label/BRIMWOOD /mnt vfat 8 -> -1 errno 16"});
    EXPECT_EQ(run.status, 0);
}

TEST(Sim, OrdinaryUserGetsTheSameSandbox) {
    if (!SimInstrument::UserNamespacesAvailable()) {
        GTEST_SKIP() << "user namespaces are not available to ordinary users here";
    }
    {
        SimInstrument sim;
        sim.WriteManifest(kEmptyRun);
        SimRun run = sim.RunUnprivileged();
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(sim.Trace(), CompleteRunTrace(1));
        EXPECT_FALSE(sim.Unplugged());
    }
    {
        SimInstrument sim;
        sim.UnbindAllUsb();
        SimRun run = sim.RunUnprivileged();
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(sim.ErrorFile(), "1902 652\n");
        EXPECT_EQ(sim.Messages(), Lines{"Error updating firmware: 652"});
        struct stat st {};
        ASSERT_EQ(::stat(sim.Host(SimInstrument::kErrorFile).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, ::geteuid() == 0 ? 65534u : ::geteuid());
    }
}

TEST(Sim, RefusesToRunWhenTheSandboxCannotBeSetUp) {
    struct Case {
        const char* blocker;  // made a regular file where a folder is needed
        const char* named;    // what the failure line names
    };
    const Case cases[] = {{"/usr", "/usr"}, {"/dev", "/dev"}, {"/.sim", "/.sim"}};
    for (const Case& c : cases) {
        SimInstrument sim;
        sim.WriteManifest(kEmptyRun);
        sim.Remove(c.blocker);
        sim.Write(c.blocker, "");
        SimRun run = sim.Run({"-h"});
        EXPECT_EQ(run.status, 2) << c.blocker;
        EXPECT_EQ(run.out, "") << c.blocker;
        EXPECT_EQ(run.err, "") << c.blocker;
        Lines err = SplitLines(run.report);
        ASSERT_EQ(err.size(), 1u) << run.report;
        EXPECT_NE(err[0].find(c.named), std::string::npos) << err[0];
        EXPECT_FALSE(sim.Exists("/.sim/log")) << c.blocker;
        EXPECT_FALSE(sim.Exists("/.test/splash")) << c.blocker;
    }
}

}  // namespace
}  // namespace upd::testing
