// How a run goes on the simulated instrument: the run list and the dispatch,
// the time-stamp notices, the MSP430 retry rule, the flash command line and
// the numbering of removed files.
#include <algorithm>
#include <filesystem>

#include "sim_package.h"

namespace upd::testing {
namespace {

constexpr char kRecorder[] = "/home/Brimwood/bin/rec";

// A section that records its name when it runs.
std::string Marker(const std::string& name) {
    return SectionText(name, {{"Operation", "MSP430Update"},
                              {"CommandJTAG", std::string(kRecorder) + " " + name},
                              {"Command1", "true"},
                              {"Command2", "true"}});
}

class RunnerFlowTest : public ::testing::Test {
  public:
    void SetUp() override {
        StandIn(sim, kRecorder, 0);
        sim.WriteScript("/home/Brimwood/bin/brimwood", "exit 0\n");
    }

    // Forgets the previous run's trace (update-sim put the stick back).
    void ForgetTrace() const { sim.Remove("/.sim"); }

    // The sections that ran, in order.
    std::vector<std::string> Ran() const {
        std::vector<std::string> names;
        for (const std::string& line : StandInRuns(sim)) {
            names.push_back(line.substr(line.rfind(' ') + 1));
        }
        return names;
    }

    SimInstrument sim;
};

TEST_F(RunnerFlowTest, RunListAndDispatch) {
    using Names = std::vector<std::string>;
    struct Case {
        const char* what;
        std::string manifest;
        Names ran;
        int reboots;
    };
    const std::string abcd = Marker("A") + Marker("B") + Marker("C") + Marker("D");
    const Case cases[] = {
        {"nested lists expand in place",
         "SectionList\nSequence = A, B\nB = C, D\n" + abcd,
         {"A", "C", "D"},
         0},
        {"deeper nesting, in order",
         "SectionList\nSequence = L1, D\nL1 = A, L2\nL2 = C, B\n" + abcd,
         {"A", "C", "B", "D"},
         0},
        {"a list used twice runs twice",
         "SectionList\nSequence = L, L\nL = A, B\n" + abcd,
         {"A", "B", "A", "B"},
         0},
        {"no SectionList: the section Sequence runs", Marker("Sequence") + abcd, {"Sequence"}, 0},
        {"no SectionList and no Sequence section", abcd, {}, 0},
        {"missing sections and sections without Operation are passed over",
         "SectionList\nSequence = A, Nowhere, E, B\nE\nNote = nothing\n" + abcd,
         {"A", "B"},
         0},
        {"operation names are case-sensitive; unknown ones are passed over",
         "SectionList\nSequence = A, X, Y, Z, B\nX\nOperation = reboot\nY\nOperation = Copy\n"
         "Z\nOperation =\n" +
             abcd,
         {"A", "B"},
         0},
        {"Operation of 63 characters is read and ignored",
         "SectionList\nSequence = X, A\nX\nOperation = " + std::string(63, 'x') + "\n" + abcd,
         {"A"},
         0},
        {"only the first section of a name counts",
         "SectionList\nSequence = A\n" + abcd + "A\nOperation = Reboot\n",
         {"A"},
         0},
        {"two reboots, one first: all run, one reboot at the end",
         "SectionList\nSequence = R, A, R2, B\nR\nOperation = Reboot\nR2\nOperation = Reboot\n" +
             abcd,
         {"A", "B"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim.Remove("/.test/commands");
        sim.Remove("/.test/reboot");
        ForgetTrace();
        sim.WriteManifest(c.manifest);
        SimRun run = sim.Run();
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(Ran(), c.ran);
        EXPECT_EQ(sim.Reboots(), c.reboots);
        EXPECT_FALSE(sim.ErrorFile().has_value());
        EXPECT_EQ(sim.Trace().back(), "exit 0 mounted=no");
    }
}

// Once a transfer was found not newer than the installed firmware, every
// later gated transfer is skipped, and every later successful transfer is
// followed by the notice, which does not end the run.
TEST_F(RunnerFlowTest, TimeStampNoticesPersistForTheRun) {
    struct Case {
        const char* what;
        std::vector<std::string> stamps;  // TimeStamp of T1, T2, T3 ("" for none)
        std::vector<std::string> args;
        std::vector<bool> installed;
        std::vector<std::string> notices;  // messages between the first and the last
    };
    const std::string kNow = "2020-01-24 12:50:32";
    const Case cases[] = {
        {"all newer",
         {"2020-02-01 00:00:00", "2020-02-01 00:00:00", ""},
         {"-t", kNow},
         {true, true, true},
         {}},
        {"same first: the rest gated are skipped",
         {kNow, "2030-01-01 00:00:00", ""},
         {"-t", kNow},
         {false, false, true},
         {"Error updating firmware: 660", "Error updating firmware: 660",
          "Error updating firmware: 660"}},
        {"older second",
         {"2020-02-01 00:00:00", "2019-01-01 00:00:00", "2030-01-01 00:00:00"},
         {"-t", kNow},
         {true, false, false},
         {"Error updating firmware: 659", "Error updating firmware: 659"}},
        {"older then same: 660 wins",
         {"2019-01-01 00:00:00", kNow, ""},
         {"-t", kNow},
         {false, false, true},
         {"Error updating firmware: 659", "Error updating firmware: 660",
          "Error updating firmware: 660"}},
        {"-f installs everything",
         {kNow, "2019-01-01 00:00:00", ""},
         {"-t", kNow, "-f"},
         {true, true, true},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimInstrument fresh;
        std::string manifest = "SectionList\nSequence = T1, T2, T3\n";
        for (int i = 0; i < 3; ++i) {
            const std::string name = "f" + std::to_string(i + 1);
            fresh.Write("/home/Brimwood/bin/" + name, "old\n");
            Keys keys = TransferKeys(fresh, name, "new " + name + "\n", "/home/Brimwood/bin",
                                     "/home/Brimwood/download");
            if (!c.stamps[i].empty()) {
                keys.emplace_back("TimeStamp", c.stamps[i]);
            }
            manifest += SectionText("T" + std::to_string(i + 1), keys);
        }
        fresh.WriteManifest(manifest);
        SimRun run = fresh.Run(c.args);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        for (int i = 0; i < 3; ++i) {
            const std::string name = "f" + std::to_string(i + 1);
            EXPECT_EQ(fresh.Read("/home/Brimwood/bin/" + name),
                      c.installed[i] ? "new " + name + "\n" : "old\n")
                << name;
        }
        std::vector<std::string> messages = fresh.Messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.end() - 1), c.notices);
        // The error file keeps the last notice although the run completed.
        if (c.notices.empty()) {
            EXPECT_FALSE(fresh.ErrorFile().has_value());
        } else {
            EXPECT_EQ(fresh.ErrorFile(), "1902 " + c.notices.back().substr(25) + "\n");
        }
    }
}

TEST_F(RunnerFlowTest, LaterFailureOverwritesANotice) {
    const std::string kNow = "2020-01-24 12:50:32";
    Keys same = TransferKeys(sim, "a", "a\n", "/home/Brimwood/bin", "/home/Brimwood/download");
    same.emplace_back("TimeStamp", kNow);
    Keys missing = TransferKeys(sim, "b", "b\n", "/home/Brimwood/bin", "/home/Brimwood/download");
    sim.Remove("/dev/disk/by-label/BRIMWOOD/firmware/b");
    sim.WriteManifest("SectionList\nSequence = S, M\n" + SectionText("S", same) +
                      SectionText("M", missing));
    SimRun run = sim.Run({"-t", kNow});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(sim.ErrorFile(), "1902 651\n");
    EXPECT_EQ(sim.Messages(),
              (std::vector<std::string>{"Updating firmware...", "Error updating firmware: 660",
                                        "Error updating firmware: 651"}));
}

TEST_F(RunnerFlowTest, Msp430RetryRule) {
    struct Case {
        int first, second, third;  // exit statuses of Command1, Command2, Command2 again
        std::vector<std::string> ran;
    };
    const Case cases[] = {
        {0, 0, 0, {"jtag", "one"}},
        {1, 0, 0, {"jtag", "one", "two"}},
        {1, 1, 0, {"jtag", "one", "two", "two"}},
        {1, 1, 1, {"jtag", "one", "two", "two"}},  // not a failure of the run
        {3, 7, 9, {"jtag", "one", "two", "two"}},
    };
    for (const Case& c : cases) {
        SimInstrument fresh;
        // Command2 answers from a counter, so its two runs can differ.
        fresh.WriteScript("/home/Brimwood/bin/two",
                          "echo two >> /.test/commands\n"
                          "n=$(cat /.test/two-runs 2>/dev/null || echo 0)\n"
                          "echo $((n + 1)) > /.test/two-runs\n"
                          "[ \"$n\" = 0 ] && exit " +
                              std::to_string(c.second) + "\nexit " + std::to_string(c.third) +
                              "\n");
        fresh.WriteScript("/home/Brimwood/bin/one",
                          "echo one >> /.test/commands\nexit " + std::to_string(c.first) + "\n");
        fresh.WriteScript("/home/Brimwood/bin/jtag", "echo jtag >> /.test/commands\n");
        fresh.WriteManifest("SectionList\nSequence = M\n" +
                            SectionText("M", {{"Operation", "MSP430Update"},
                                              {"CommandJTAG", "/home/Brimwood/bin/jtag"},
                                              {"Command1", "/home/Brimwood/bin/one"},
                                              {"Command2", "/home/Brimwood/bin/two"}}));
        SimRun run = fresh.Run();
        SCOPED_TRACE(run.out + run.err);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(StandInRuns(fresh), c.ran);
        EXPECT_FALSE(fresh.ErrorFile().has_value());
    }
}

TEST_F(RunnerFlowTest, FlashCommandLineAndIgnoredStatus) {
    StandIn(sim, "/home/Brimwood/bin/flashcp", 5);
    sim.WriteManifest("SectionList\nSequence = F, A\n" +
                      SectionText("F", {{"Operation", "FlashUpdate"},
                                        {"Device", "/dev/mtd3"},
                                        {"Offset", ""},
                                        {"EraseCommand", "flash_erase -q"},
                                        {"WriteCommand", "/home/Brimwood/bin/flashcp -v"},
                                        {"DataPath1", "/mnt/firmware/u-boot.img"}}) +
                      Marker("A"));
    SimRun run = sim.Run();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(
        sim.TraceOf("system /home/Brimwood/bin/flashcp"),
        (std::vector<std::string>{
            "system /home/Brimwood/bin/flashcp -v /mnt/firmware/u-boot.img /dev/mtd3 -> 1280"}));
    EXPECT_EQ(StandInRuns(sim).back(), "/home/Brimwood/bin/rec A");
}

TEST_F(RunnerFlowTest, RemoveFilesNumbering) {
    for (const char* f : {"a", "b", "c", "d"}) {
        sim.Write(std::string("/home/Brimwood/old/") + f, "x");
    }
    sim.MakeDir("/home/Brimwood/old/dir/keep");
    struct Case {
        const char* what;
        Keys keys;
        int status;
        std::vector<const char*> left;
    };
    const Case cases[] = {
        {"a gap ends the list",
         {{"file1", "/home/Brimwood/old/a"}, {"file3", "/home/Brimwood/old/c"}},
         0,
         {"b", "c", "d", "dir"}},
        {"missing files are skipped; a failure is reported after the whole list",
         {{"file1", "/home/Brimwood/old/none"},
          {"file2", "/home/Brimwood/old/dir"},
          {"file3", "/home/Brimwood/old/b"}},
         1,
         {"c", "d", "dir"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Keys keys = c.keys;
        keys.insert(keys.begin(), {"Operation", "RemoveFiles"});
        ForgetTrace();
        sim.WriteManifest("SectionList\nSequence = R\n" + SectionText("R", keys));
        SimRun run = sim.Run();
        EXPECT_EQ(run.status, c.status);
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(sim.Host("/home/Brimwood/old"))) {
            left.push_back(e.path().filename());
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, std::vector<std::string>(c.left.begin(), c.left.end()));
    }
    EXPECT_EQ(sim.ErrorFile(), "1902 657\n");
}

}  // namespace
}  // namespace upd::testing
