// Several threads printing to the stream, the queue and the error log while
// another drains the queue: every message arrives exactly once, and the
// ThreadSanitizer build of this test finds no data race.
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "diag/dpr_fixture.h"

namespace upd::testing {
namespace {

using DprConcurrency = DprTest;

std::map<std::string, int> CountLines(const std::string& text) {
    std::map<std::string, int> counts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        ++counts[text.substr(start, end - start)];
        start = end + 1;
    }
    return counts;
}

TEST_F(DprConcurrency, PrintersAndDrainerLoseAndDuplicateNothing) {
    constexpr int kPrinters = 4;
    constexpr int kMessages = 400;
    ASSERT_EQ(SetThreadName("MAIN"), 1);
    // Far enough into the log that it rotates once while the threads run.
    const std::string prefill(200000, 'p');
    WriteAll(log_path(), prefill + "\n");
    dpr_stat = DPR_QUEUE | DPR_ERRLOG | DPR_FLUSH;
    dpr_sleep(0);

    // Each drain starts with a newline on standard output.
    ::testing::internal::CaptureStdout();
    std::atomic<int> running{kPrinters};
    std::vector<std::thread> threads;
    for (int t = 0; t < kPrinters; ++t) {
        threads.emplace_back([this, t, &running] {
            for (int n = 0; n < kMessages; ++n) {
                dpr(6, nullptr, "q.c", "queued", t, "q%d.%d", t, n);
                dpr(1, stream_, "s.c", "direct", t, "s%d.%d", t, n);
            }
            --running;
        });
    }
    // Names registered while the printers look theirs up.
    threads.emplace_back([] {
        for (int i = 0; i < 15; ++i) {
            SetThreadName(1000 + i, ("N" + std::to_string(i)).c_str());
            GetThreadName(1000 + i);
        }
    });
    std::thread drainer([&running] {
        while (running > 0) {
            LogMessages(nullptr, 0);
        }
        LogMessages(nullptr, 0);
    });
    for (auto& t : threads) {
        t.join();
    }
    drainer.join();
    const std::string drained_out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(drained_out.find_first_not_of('\n'), std::string::npos);

    EXPECT_EQ(dpr_detail::ErrorLogCount, 2u * kPrinters * kMessages);
    EXPECT_EQ(dpr_detail::MessageHead, nullptr);
    EXPECT_NE(dpr_stat & DPR_ERRLOG, 0u);
    // The log rotated once: the previous generation holds the start.
    const std::string previous = FileOrEmpty(prev_path());
    ASSERT_EQ(previous.substr(0, prefill.size()), prefill);
    auto counts = CountLines(previous.substr(prefill.size() + 1) + Log());
    const auto stream = CountLines(Contents(stream_));

    for (int t = 0; t < kPrinters; ++t) {
        for (int n = 0; n < kMessages; ++n) {
            char queued[128], direct[128];
            std::snprintf(queued, sizeof queued,
                          "MAIN   :: q.c            @%4d :: queued           :: q%d.%d\\n", t, t,
                          n);
            std::snprintf(direct, sizeof direct,
                          "MAIN   :: s.c            @%4d :: direct           :: s%d.%d", t, t, n);
            ASSERT_EQ(counts[queued], 1) << queued;
            ASSERT_EQ(counts[direct], 1) << direct;
            ASSERT_EQ(stream.count(direct), 1u) << direct;
            counts.erase(queued);
            counts.erase(direct);
        }
    }
    EXPECT_TRUE(counts.empty()) << counts.size()
                                << " unexpected lines, first: " << counts.begin()->first;
}

}  // namespace
}  // namespace upd::testing
