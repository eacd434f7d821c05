// The updater's configuration of the diagnostic facility at start-up, end to
// end through the simulated instrument: -mm and its line on standard error,
// -m and the filter file "./.dpr" (the instrument's root is the updater's
// working directory), and -h stopping before either.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
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

// A run with "./.dpr" made a FIFO: whether the updater opened it for reading
// is seen from the writing end, which only opens while a reader is there.
// Once opened, one line is written and the FIFO closed, so the reader gets a
// whole small file.
struct FifoRun {
    SimRun run;
    bool opened = false;
};

FifoRun RunWithFifoFilter(const SimInstrument& sim, const std::vector<std::string>& args) {
    const std::string fifo = sim.Host("/.dpr");
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    FifoRun result;
    std::atomic<bool> done{false};
    std::thread runner([&] {
        result.run = sim.Run(args);
        done = true;
    });
    while (!done && !result.opened) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            result.opened = true;
            EXPECT_EQ(::write(fd, "main\n", 5), 5);
            ::close(fd);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    runner.join();
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
    const FifoRun with_m = RunWithFifoFilter(sim, {"-m"});
    EXPECT_TRUE(with_m.opened);
    EXPECT_EQ(with_m.run.status, baseline.status);
    EXPECT_EQ(sim.Messages(), plain.Messages());

    const SimInstrument sim_mm;
    const FifoRun with_mm = RunWithFifoFilter(sim_mm, {"-mm"});
    EXPECT_FALSE(with_mm.opened) << "-mm alone loads no filter";
}

TEST(DiagnosticStartUp, HelpStopsBeforeTheOptionsTakeEffect) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h", "-m"}, {"-m", "-h", "-mm"}}) {
        const SimInstrument sim;
        const FifoRun help = RunWithFifoFilter(sim, args);
        EXPECT_FALSE(help.opened) << "\"./.dpr\" must not be read";
        EXPECT_EQ(Occurrences(help.run.err, kMesgLine), 0u);
        EXPECT_NE(help.run.out.find("Usage: ./update"), std::string::npos) << help.run.out;
        EXPECT_TRUE(sim.TraceOf("sync").empty()) << "the device check must not start";
    }
}

}  // namespace
}  // namespace upd::testing
