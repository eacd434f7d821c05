// Dates and times rendered through the pattern language.
#include <gtest/gtest.h>
#include <time.h>

#include <cstring>
#include <string>

#include "time/date.h"

namespace upd {
namespace {

constexpr std::int64_t k2026Dec06_065012 = 1796539812;  // UTC
constexpr std::int64_t k1970Mar09 = 5788800;            // UTC, midnight

struct DateResult {
    int ok;
    int code;
    std::string text;
};

DateResult Date(unsigned month, unsigned day, unsigned year, const char* pattern,
                unsigned capacity = 128) {
    char out[256];
    int code = 99;
    const int ok = format_date(month, day, year, pattern, out, capacity, &code);
    return {ok, code, ok ? out : ""};
}

TEST(FormatDate, RendersPatterns) {
    struct Case {
        const char* pattern;
        const char* dec2026;
        const char* mar1970;
    } const cases[] = {
        {"yyyy-mon-dd", "2026-Dec-06", "1970-Mar-09"},
        {"DD/MM/YY", "06/12/26", "09/03/70"},
        {"MONTH DD, YYYY", "December 06, 2026", "March 09, 1970"},
        {"dd.mm.yyyy", "06.12.2026", "09.03.1970"},
        {"", "", ""},
        {"mon MM", "mon 12", "mon 03"},
        // Letter case of the tokens does not matter.
        {"YYYY-MON-DD", "2026-Dec-06", "1970-Mar-09"},
        {"Dd/mM/yY", "06/12/26", "09/03/70"},
        {"month", "December", "March"},
        // Tokens before the one found stay literal text.
        {"YY YYYY", "YY 2026", "YY 1970"},
        {"no tokens here", "no tokens here", "no tokens here"},
        {"DDD", "06D", "09D"},
        {"YYY", "26Y", "70Y"},
    };
    for (const auto& c : cases) {
        const DateResult a = Date(12, 6, 2026, c.pattern);
        EXPECT_EQ(a.ok, 1) << c.pattern;
        EXPECT_EQ(a.code, 99) << "code written on success: " << c.pattern;
        EXPECT_EQ(a.text, c.dec2026) << c.pattern;
        const DateResult b = Date(3, 9, 1970, c.pattern);
        EXPECT_EQ(b.text, c.mar1970) << c.pattern;
    }
}

TEST(FormatDate, TwoDigitYearAcrossTheCentury) {
    EXPECT_EQ(Date(1, 1, 1999, "YY").text, "99");
    EXPECT_EQ(Date(1, 1, 2000, "YY").text, "00");
    EXPECT_EQ(Date(1, 1, 2069, "yy").text, "69");
}

TEST(FormatDate, FailureCodesInOrder) {
    struct Case {
        unsigned month, day, year;
        const char* pattern;
        unsigned capacity;
        int code;
    } const cases[] = {
        {0, 0, 0, nullptr, 128, -1},  // pattern checked first
        {0, 6, 2026, "DD", 128, -2},
        {13, 6, 2026, "DD", 128, -2},
        {12, 0, 0, "DD", 128, -3},
        {12, 32, 2026, "DD", 128, -3},
        {12, 6, 1969, "DD", 128, -4},
        {12, 6, 2070, "DD", 128, -4},
        {12, 6, 2026, "DD", 2, -5},
        {12, 6, 2026, "", 0, -5},
        {12, 6, 2026, "DD dd", 128, -6},
        {12, 6, 2026, "YYYY yy", 128, -7},
        {12, 6, 2026, "yy YY", 128, -8},
        {12, 6, 2026, "MM mm", 128, -9},
        {12, 6, 2026, "MM MON", 128, -10},
        {12, 6, 2026, "MM Month", 128, -10},
        {12, 6, 2026, "MONTH mon", 128, -11},
        {12, 6, 2026, "mon MON", 128, -12},
        // The failures of a later group come after the earlier groups' work.
        {12, 6, 2026, "DD MM MM", 128, -9},
    };
    for (const auto& c : cases) {
        const DateResult r = Date(c.month, c.day, c.year, c.pattern, c.capacity);
        EXPECT_EQ(r.ok, 0) << (c.pattern ? c.pattern : "(null)");
        EXPECT_EQ(r.code, c.code) << (c.pattern ? c.pattern : "(null)");
    }
    // Negative fields arrive as huge unsigned values and fail the same way.
    EXPECT_EQ(Date(static_cast<unsigned>(-1), 6, 2026, "DD").code, -2);
}

TEST(FormatDate, DayIsNotComparedWithTheMonth) {
    EXPECT_EQ(Date(2, 31, 2026, "DD.MM").text, "31.02");
}

TEST(FormatDate, ExpansionBeyondCapacityIsRefusedWithoutOverrun) {
    // "September" replaces five letters with nine: the pattern fits, the
    // result does not.
    char out[32];
    std::memset(out, '#', sizeof out);
    int code = 0;
    EXPECT_EQ(format_date(9, 1, 2026, "MONTH", out, 6, &code), 0);
    EXPECT_EQ(code, -5);
    for (std::size_t i = 6; i < sizeof out; ++i) {
        ASSERT_EQ(out[i], '#') << "written past capacity at " << i;
    }
    // Exactly enough room.
    EXPECT_EQ(Date(9, 1, 2026, "MONTH", 10).text, "September");
    EXPECT_EQ(Date(9, 1, 2026, "MONTH", 9).code, -5);
    // "YYYY" and "DD" keep the length; "MON" too.
    EXPECT_EQ(Date(9, 1, 2026, "yyyy", 5).text, "2026");
}

TEST(FormatDate, ExpansionBeyondTheScratchTextIsRefused) {
    // A result of 127 characters still fits the 128-byte scratch text, 128 do not.
    const std::string fits = std::string(118, 'x') + "MONTH";      // 123 -> 127
    const std::string too_long = std::string(119, 'x') + "MONTH";  // 124 -> 128
    EXPECT_EQ(Date(9, 1, 2026, fits.c_str(), 200).text, std::string(118, 'x') + "September");
    EXPECT_EQ(Date(9, 1, 2026, too_long.c_str(), 200).code, -5);
    // A long pattern without tokens needs no scratch text.
    const std::string plain(180, 'x');
    EXPECT_EQ(Date(9, 1, 2026, plain.c_str(), 200).text, plain);
}

TEST(FormatTime, ChecksCapacityThenFields) {
    struct Case {
        unsigned h, m, s;
        unsigned capacity;
        int ok, code;
        const char* text;
    } const cases[] = {
        {6, 50, 12, 9, 1, 0, "06:50:12"}, {23, 59, 59, 9, 1, 0, "23:59:59"},
        {0, 0, 0, 64, 1, 0, "00:00:00"},  {6, 50, 12, 8, 0, -1, ""},
        {99, 99, 99, 8, 0, -1, ""},       {24, 0, 0, 9, 0, -2, ""},
        {23, 60, 60, 9, 0, -3, ""},       {23, 59, 60, 9, 0, -4, ""},
    };
    for (const auto& c : cases) {
        char out[64] = "";
        int code = 0;
        EXPECT_EQ(format_time(c.h, c.m, c.s, out, c.capacity, &code), c.ok);
        EXPECT_EQ(code, c.code);
        if (c.ok) {
            EXPECT_STREQ(out, c.text);
        }
    }
}

TEST(FormatDateTime, CapacityBoundaries) {
    struct Case {
        std::int64_t when;
        const char* pattern;
        std::uint16_t capacity;
        int ok, code;
        const char* text;
    } const cases[] = {
        {k2026Dec06_065012, "", 9, 1, 0, "06:50:12"},
        {k2026Dec06_065012, "", 8, 0, -6, ""},
        {k2026Dec06_065012, "yyyy-mon-dd", 32, 1, 0, "2026-Dec-06 06:50:12"},
        {k2026Dec06_065012, "yyyy-mon-dd", 21, 1, 0, "2026-Dec-06 06:50:12"},
        {k2026Dec06_065012, "yyyy-mon-dd", 20, 0, -6, ""},
        {k1970Mar09, "MONTH DD, YYYY", 64, 1, 0, "March 09, 1970 00:00:00"},
        {-1, "DD", 64, 0, -4, ""},          // 1969-12-31 23:59:59
        {3155760000, "DD", 64, 0, -4, ""},  // 2070-01-01
        {3155759999, "yyyy", 64, 1, 0, "2069 23:59:59"},
        {k2026Dec06_065012, nullptr, 64, 0, -4, ""},
        {k2026Dec06_065012, "MM MON", 64, 0, -4, ""},
    };
    for (const auto& c : cases) {
        char out[64];
        std::strcpy(out, "stale");
        int code = 0;
        EXPECT_EQ(FormatDateTime(c.when, c.pattern, 0, out, c.capacity, &code), c.ok)
            << c.when << " " << (c.pattern ? c.pattern : "(null)");
        EXPECT_EQ(code, c.code);
        EXPECT_STREQ(out, c.text) << "output must be empty after a failure";
    }
}

TEST(FormatDateTime, NoBufferLeavesOutputUntouched) {
    char out[8] = "stale";
    int code = 0;
    EXPECT_EQ(FormatDateTime(k2026Dec06_065012, "", 0, out, 0, &code), 0);
    EXPECT_EQ(code, -1);
    EXPECT_STREQ(out, "stale");
    code = 0;
    EXPECT_EQ(FormatDateTime(k2026Dec06_065012, "", 0, nullptr, 32, &code), 0);
    EXPECT_EQ(code, -1);
}

TEST(FormatDateTime, UnrepresentableTimeFailsTheConversion) {
    char out[32];
    int code = 0;
    const std::int64_t far = INT64_MAX;
    EXPECT_EQ(FormatDateTime(far, "", 0, out, sizeof out, &code), 0);
    EXPECT_EQ(code, -3);
    EXPECT_EQ(FormatDateTime(far, "", 1, out, sizeof out, &code), 0);
    EXPECT_EQ(code, -2);
}

TEST(FormatDateTime, LocalTimeFollowsTheZone) {
    const time_t t = static_cast<time_t>(k2026Dec06_065012);
    struct tm fields {};
    ASSERT_NE(localtime_r(&t, &fields), nullptr);
    char want[96];
    std::snprintf(want, sizeof want, "%04d-%02d-%02d %02d:%02d:%02d", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    char out[32];
    int code = 0;
    ASSERT_EQ(FormatDateTime(k2026Dec06_065012, "YYYY-MM-DD", 1, out, sizeof out, &code), 1);
    EXPECT_STREQ(out, want);
}

TEST(MonthName, OnlyMonthsOneToTwelve) {
    EXPECT_STREQ(MonthName(1), "Jan");
    EXPECT_STREQ(MonthName(9), "Sep");
    EXPECT_STREQ(MonthName(12), "Dec");
    EXPECT_EQ(MonthName(0), nullptr);
    EXPECT_EQ(MonthName(13), nullptr);
    EXPECT_EQ(MonthName(static_cast<unsigned>(-1)), nullptr);
}

}  // namespace
}  // namespace upd
