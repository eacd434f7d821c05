// The process-name table and the interval timing.
#include <unistd.h>

#include <string>

#include "diag/dpr_fixture.h"

namespace upd::testing {
namespace {

using DprNames = DprTest;

TEST_F(DprNames, NameLengthLimits) {
    struct Case {
        const char* name;
        int ok;
    } const cases[] = {
        {"MAIN", 1}, {"123456789012345", 1}, {"1234567890123456", 0}, {"", 1}, {nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetThreadName(100, c.name), c.ok) << (c.name ? c.name : "(null)");
    }
    EXPECT_EQ(dpr_detail::ThreadInfo.count, 3);
}

TEST_F(DprNames, TableIsKeyedByNameAndHoldsSixteen) {
    EXPECT_EQ(SetThreadName(1, "MAIN"), 1);
    EXPECT_EQ(SetThreadName(2, "MAIN"), 1);  // moves to the second process
    EXPECT_EQ(dpr_detail::ThreadInfo.count, 1);
    EXPECT_EQ(GetThreadName(1), nullptr);
    EXPECT_STREQ(GetThreadName(2), "MAIN");

    for (int i = 1; i < 16; ++i) {
        ASSERT_EQ(SetThreadName(100 + i, ("T" + std::to_string(i)).c_str()), 1) << i;
    }
    EXPECT_EQ(SetThreadName(200, "SEVENTEENTH"), 0);
    EXPECT_EQ(GetThreadName(200), nullptr);
    EXPECT_EQ(SetThreadName(300, "T7"), 1) << "a known name still moves in a full table";
    EXPECT_STREQ(GetThreadName(300), "T7");
    EXPECT_EQ(dpr_detail::ThreadInfo.count, 16);
}

TEST_F(DprNames, FirstRegisteredNameOfAProcessWins) {
    SetThreadName(5, "FIRST");
    SetThreadName(5, "SECOND");
    EXPECT_STREQ(GetThreadName(5), "FIRST");
    EXPECT_EQ(GetThreadName(6), nullptr);
}

TEST_F(DprNames, CallingProcess) {
    EXPECT_EQ(GetThreadName(), nullptr);
    EXPECT_EQ(SetThreadName("SELF"), 1);
    EXPECT_STREQ(GetThreadName(), "SELF");
    EXPECT_STREQ(GetThreadName(static_cast<unsigned long>(::getpid())), "SELF");
}

using DprTiming = DprTest;

TEST_F(DprTiming, ElapsedMicroseconds) {
    struct Case {
        timeval start, stop;
        std::int32_t elapsed;
    } const cases[] = {
        {{10, 999999}, {11, 1}, 2},
        {{10, 0}, {10, 0}, 0},
        {{100, 500000}, {99, 0}, -1500000},
        {{0, 0}, {2147, 483647}, 2147483647},
        {{0, 0}, {2160, 0}, static_cast<std::int32_t>(2160000000LL - 4294967296LL)},  // wraps
    };
    dpr_detail::ReadClock = FakeClock;
    for (const auto& c : cases) {
        fake_now = c.start;
        EXPECT_EQ(StartTiming(), 1);
        fake_now = c.stop;
        EXPECT_EQ(StopTiming(), 1);
        EXPECT_EQ(ElapsedTime(), c.elapsed);
    }
}

TEST_F(DprTiming, FailingClockZeroesTheRecord) {
    dpr_detail::ReadClock = FakeClock;
    fake_now = {50, 5};
    ASSERT_EQ(StartTiming(), 1);
    dpr_detail::ReadClock = FailingClock;
    EXPECT_EQ(StartTiming(), 0);
    EXPECT_EQ(StopTiming(), 0);
    EXPECT_EQ(dpr_detail::StartTime.tv_sec, 0);
    EXPECT_EQ(dpr_detail::StartTime.tv_usec, 0);
    EXPECT_EQ(ElapsedTime(), 0);
}

TEST_F(DprTiming, RealClockMovesForward) {
    ASSERT_EQ(StartTiming(), 1);
    ::usleep(2000);
    ASSERT_EQ(StopTiming(), 1);
    EXPECT_GE(ElapsedTime(), 1999);
}

}  // namespace
}  // namespace upd::testing
