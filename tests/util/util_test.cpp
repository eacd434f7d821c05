// Sleeps, busy waits and small conversions of the support library.
#include "util/util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace upd {
namespace {

TEST(Msleep, ShortensMultiplesOfTenByFiveMilliseconds) {
    struct Case {
        unsigned short ms;
        unsigned long micros;
    } const cases[] = {
        {0, 0},       {9, 9000}, {10, 5000},        {20, 15000},       {25, 25000},
        {100, 95000}, {1, 1000}, {65535, 65535000}, {65530, 65525000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::MsleepMicros(c.ms), c.micros) << c.ms;
    }
}

// Lower bounds only: a wait may overrun on a loaded machine, never fall short
// (beyond the microsecond the clock readings are truncated to).
template <typename F>
std::chrono::microseconds TimeOf(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

TEST(Waits, LastAtLeastTheirDuration) {
    constexpr long kSlack = 5;
    EXPECT_GE(TimeOf([] { msleep(10); }).count(), 5000 - kSlack);
    EXPECT_GE(TimeOf([] { msleep(7); }).count(), 7000 - kSlack);
    EXPECT_GE(TimeOf([] { mdelay(15); }).count(), 15000 - kSlack);
    EXPECT_GE(TimeOf([] { bdelay(700); }).count(), 700 - kSlack);
}

TEST(Waits, ZeroReturnsAtOnce) {
    // Generous bound: these must not wait, they do one clock read.
    EXPECT_LT(TimeOf([] { mdelay(0); }).count(), 1000000);
    EXPECT_LT(TimeOf([] { bdelay(0); }).count(), 1000000);
}

TEST(Htoi, ReadsLeadingHexadecimalNumber) {
    struct Case {
        const char* s;
        int want;
    } const cases[] = {
        {"ff", 255},      {"0x1F", 31}, {"0X1f", 31}, {"10", 16}, {"  a", 10},  {"7fz", 127},
        {"ffffffff", -1}, {"", 0},      {"zz", 0},    {"0x", 0},  {nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(htoi(c.s), c.want) << (c.s ? c.s : "(null)");
    }
}

TEST(AbsPctDiff, PercentOfSignedReference) {
    struct Case {
        double reference, value, want;
    } const cases[] = {
        {50.0, 55.0, 10.0},
        {50.0, 45.0, 10.0},
        {-50.0, -55.0, -10.0},
        {0.0, 0.0, 0.0},
        {0.0, 1.0, std::numeric_limits<double>::max()},
        {0.0, -1.0, std::numeric_limits<double>::max()},
        {200.0, 200.0, 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(AbsPctDiff(c.reference, c.value), c.want) << c.reference << " " << c.value;
    }
}

TEST(SchedulingPolicyName, LinuxPoliciesAndUnknown) {
    EXPECT_STREQ(SchedulingPolicyName(0), "SCHED_OTHER");
    EXPECT_STREQ(SchedulingPolicyName(1), "SCHED_FIFO");
    EXPECT_STREQ(SchedulingPolicyName(2), "SCHED_RR");
    for (int p : {3, -1, 5, std::numeric_limits<int>::min()}) {
        EXPECT_STREQ(SchedulingPolicyName(p), "<unknown>") << p;
    }
}

}  // namespace
}  // namespace upd
