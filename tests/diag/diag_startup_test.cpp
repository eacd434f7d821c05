// The updater's configuration of the diagnostic facility at start-up, end to
// end through the simulated instrument: -mm and its line on standard error,
// -m and the filter file "./.dpr" (the instrument's root is the updater's
// working directory), and -h stopping before either.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace upd::testing {
namespace {

constexpr char kMesgLine[] = "calling dpr_config to enable MESG\n";

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

// A run with a filter file "./.dpr" watched: whether the updater opened it.
struct WatchedRun {
    SimRun run;
    bool opened = false;
};

WatchedRun RunWatchingFilter(const SimInstrument& sim, const std::vector<std::string>& args) {
    const std::string filter = sim.Host("/.dpr");
    sim.Write("/.dpr", "main\n");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(watch, 0);
    EXPECT_GE(::inotify_add_watch(watch, filter.c_str(), IN_OPEN), 0);
    WatchedRun result;
    result.run = sim.Run(args);
    alignas(inotify_event) char events[4096];
    result.opened = ::read(watch, events, sizeof events) > 0;
    ::close(watch);
    return result;
}

TEST(DiagnosticStartUp, OptionsLeaveTheRunUnchanged) {
    // Each run on a fresh instrument: the baseline, then with the options.
    const SimInstrument plain;
    const SimRun baseline = plain.Run();
    EXPECT_EQ(Occurrences(baseline.err, kMesgLine), 0u);

    struct Case {
        std::vector<std::string> args;
        std::size_t mesg_lines;
    } const cases[] = {
        {{"-mm"}, 1},
        {{"-m"}, 0},  // no "./.dpr": nothing to load
        {{"-m", "-mm"}, 1},
        {{"-mm", "-m"}, 1},
    };
    for (const auto& c : cases) {
        const SimInstrument sim;
        const SimRun run = sim.Run(c.args);
        const std::string label = c.args.size() == 1 ? c.args[0] : c.args[0] + " " + c.args[1];
        EXPECT_EQ(Occurrences(run.err, kMesgLine), c.mesg_lines) << label;
        std::string err = run.err;
        if (const auto at = err.find(kMesgLine); at != std::string::npos) {
            err.erase(at, sizeof kMesgLine - 1);
        }
        EXPECT_EQ(err, baseline.err) << label;
        EXPECT_EQ(run.status, baseline.status) << label;
        EXPECT_EQ(run.out, baseline.out) << label;
        EXPECT_EQ(sim.Messages(), plain.Messages()) << label;
        EXPECT_EQ(sim.ErrorFile(), plain.ErrorFile()) << label;
    }
}

TEST(DiagnosticStartUp, FilterFileIsReadWithM) {
    const SimInstrument plain;
    const SimRun baseline = plain.Run();

    const SimInstrument sim;
    const WatchedRun with_m = RunWatchingFilter(sim, {"-m"});
    EXPECT_TRUE(with_m.opened);
    EXPECT_EQ(with_m.run.status, baseline.status);
    EXPECT_EQ(sim.Messages(), plain.Messages());

    const SimInstrument sim_mm;
    const WatchedRun with_mm = RunWatchingFilter(sim_mm, {"-mm"});
    EXPECT_FALSE(with_mm.opened) << "-mm alone loads no filter";

    // A FIFO in its place is passed over, never waited on.
    const SimInstrument sim_fifo;
    ASSERT_EQ(::mkfifo(sim_fifo.Host("/.dpr").c_str(), 0644), 0);
    EXPECT_EQ(sim_fifo.Run({"-m"}).status, baseline.status);
    EXPECT_EQ(sim_fifo.Messages(), plain.Messages());
}

TEST(DiagnosticStartUp, HelpStopsBeforeTheOptionsTakeEffect) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h", "-m"}, {"-m", "-h", "-mm"}}) {
        const SimInstrument sim;
        const WatchedRun help = RunWatchingFilter(sim, args);
        EXPECT_FALSE(help.opened) << "\"./.dpr\" must not be read";
        EXPECT_EQ(Occurrences(help.run.err, kMesgLine), 0u);
        EXPECT_NE(help.run.out.find("Usage: ./update"), std::string::npos) << help.run.out;
        EXPECT_TRUE(sim.TraceOf("sync").empty()) << "the device check must not start";
    }
}

}  // namespace
}  // namespace upd::testing
