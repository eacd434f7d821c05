// Build time stamps: the accepted and refused forms, the fields they yield, and
// second counts checked against date(1).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/tempdir.h"
#include "time/date.h"

namespace upd {
namespace {

// Runs each test in UTC, where the counts are seconds since the epoch, and puts
// the zone back afterwards.
class TimeStamp : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_) {
            saved_tz_ = tz;
        }
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (had_tz_) {
            ::setenv("TZ", saved_tz_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    bool had_tz_ = false;
    std::string saved_tz_;
};

constexpr std::int64_t k20200124_125032 = 1579870232;  // date -u -d "2020-01-24 12:50:32" +%s
constexpr std::int64_t k20200124_120000 = 1579867200;
constexpr std::int64_t k20200124_125000 = 1579870200;

TEST_F(TimeStamp, AcceptedFormsConvert) {
    struct Case {
        const char* text;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {"2020-01-24 12:50:32", k20200124_125032},
        {"20200124 125032", k20200124_125032},
        {"2020-01-24 12:50:32Z", k20200124_125032},
        {"2020-01-24 12:50:32Zanything", k20200124_125032},
        {"2020-01-24   12:50:32", k20200124_125032},
        {"2020-01-24 1250:32", k20200124_125032},
        {"2020-01-24 12:5032", k20200124_125032},
        {"202001-24x 12:50:32", k20200124_125032},
        {"2020-0124x 12:50:32", k20200124_125032},
        {"2020-01-24 12", k20200124_120000},
        {"2020-01-24 12:50", k20200124_125000},
        {"2020-01-24 1250", k20200124_125000},
        {"1970-01-01 00:00:00", 0},
        {"2000-02-29 23:59:59", 951868799},
        {"2038-01-19 03:14:08", 2147483648},  // past the 32-bit count
        {"2100-12-31 23:59:59", 4133980799},
    };
    for (const Case& c : cases) {
        std::int64_t seconds = -12345;
        EXPECT_EQ(ConvertTimeStamp(c.text, &seconds), 1) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
    }
}

TEST_F(TimeStamp, RefusedFormsLeaveTheCountUntouched) {
    const char* texts[] = {
        "",
        "2020-01-24T12:50:32",   // no space
        "2020-01-24\t12:50:32",  // a tab does not separate
        "2020-01-24 12:50:32 ",  // space after the time
        " 2020-01-24 12:50:32",  // space before the date
        "2020-01-24 ",           // no time
        "2020-0124 12:00:00",    // hyphenated date of 9 characters
        "2020-1-24 12:00:00",    // hyphenated date of 9 characters
        "2020-01-245 12:00:00",  // hyphenated date of 11 characters
        "2020124 12:00:00",      // plain date of 7 characters
        "202001245 12:00:00",    // plain date of 9 characters
        "2o20-01-24 12:00:00",   // letter in the year
        "2020-0a-24 12:00:00",   // letter in the month
        "2020-01-+4 12:00:00",   // sign in the day
        "1900-02-29 12:00:00",   // not a leap year
        "2019-02-29 12:00:00",   //
        "2020-04-31 12:00:00",   // April has 30 days
        "2020-01-00 12:00:00",   // day 00
        "2020-00-24 12:00:00",   // month 00
        "2020-13-24 12:00:00",   // month 13
        "2020-01-24 24:00:00",   // hour 24
        "2020-01-24 12:60:00",   // minute 60
        "2020-01-24 12:00:60",   // second 60
        "2020-01-24 12:30Z",     // 'Z' only after the seconds
        "2020-01-24 1",          // one-digit hour
        "2020-01-24 12:5",       // one-digit minute at the end
        "2020-01-24 12:30:4",    // one-digit second at the end
        "2020-01-24 12:",        // colon and nothing
        "2020-01-24 12:30:",     //
        "2020-01-24 12:30:00:",  // more after the seconds
        "2020-01-24 12:30:00z",  // lowercase z
        "2020-01-24 12::30",     // two colons
        "2020-01-24 -1:30:00",   //
        "2020-01-24 12:30:00000000000000000000000000000000000000",  // longer than a half's buffer
    };
    for (const char* text : texts) {
        std::int64_t seconds = -12345;
        EXPECT_EQ(ConvertTimeStamp(text, &seconds), 0) << '"' << text << '"';
        EXPECT_EQ(seconds, -12345) << '"' << text << '"';
    }
    std::int64_t seconds = -12345;
    EXPECT_EQ(ConvertTimeStamp(nullptr, &seconds), 0);
}

TEST_F(TimeStamp, ParseDateFields) {
    struct Case {
        const char* text;
        int ok, year, month, day;
    };
    const Case cases[] = {
        {"2020-01-24", 1, 2020, 1, 24}, {"20200124", 1, 2020, 1, 24},
        {"0005-03-01", 1, 5, 3, 1},     {"2000-02-29", 1, 2000, 2, 29},
        {"2024-02-29", 1, 2024, 2, 29}, {"2021-12-31", 1, 2021, 12, 31},
        {"2100-02-29", 0, 0, 0, 0},     {"2021-06-31", 0, 0, 0, 0},
        {"2021-11-31", 0, 0, 0, 0},     {"2021-09-31", 0, 0, 0, 0},
        {"2021-01-32", 0, 0, 0, 0},     {"", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int year = -1, month = -1, day = -1;
        EXPECT_EQ(ParseDate(c.text, &year, &month, &day), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(year, c.year) << c.text;
            EXPECT_EQ(month, c.month) << c.text;
            EXPECT_EQ(day, c.day) << c.text;
        } else {
            EXPECT_EQ(year + month + day, -3) << c.text;  // none written
        }
    }
    int year, month, day;
    EXPECT_EQ(ParseDate(nullptr, &year, &month, &day), 0);
}

TEST_F(TimeStamp, ParseTimeFields) {
    struct Case {
        const char* text;
        int ok, hour, minute, second;
    };
    const Case cases[] = {
        {"00", 1, 0, 0, 0},
        {"23", 1, 23, 0, 0},
        {"23:59", 1, 23, 59, 0},
        {"2359", 1, 23, 59, 0},
        {"23:59:59", 1, 23, 59, 59},
        {"235959", 1, 23, 59, 59},
        {"23:5959", 1, 23, 59, 59},
        {"2359:59", 1, 23, 59, 59},
        {"01:02:03Z", 1, 1, 2, 3},
        {"0", 0, 0, 0, 0},
        {"", 0, 0, 0, 0},
        {"0a", 0, 0, 0, 0},
        {"12:3", 0, 0, 0, 0},
        {"12345", 0, 0, 0, 0},
        {"12:34:5Z", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int hour = -1, minute = -1, second = -1;
        EXPECT_EQ(ParseTime(c.text, &hour, &minute, &second), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(hour, c.hour) << c.text;
            EXPECT_EQ(minute, c.minute) << c.text;
            EXPECT_EQ(second, c.second) << c.text;
        } else {
            EXPECT_EQ(hour + minute + second, -3) << c.text;  // none written
        }
    }
    int hour, minute, second;
    EXPECT_EQ(ParseTime(nullptr, &hour, &minute, &second), 0);
}

// Moments spread over 1970 to 2100, each checked against date -u -d.
TEST_F(TimeStamp, UnixEpochAgreesWithDate) {
    struct Moment {
        int year, month, day, hour, minute, second;
    };
    std::vector<Moment> moments;
    std::uint32_t x = 2463534242u;
    for (int year = 1970; year <= 2100; ++year) {
        for (int k = 0; k < 3; ++k) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const int month = 1 + static_cast<int>(x % 12);
            const int day = 1 + static_cast<int>((x >> 4) % 28);
            moments.push_back({year, month, day, static_cast<int>((x >> 9) % 24),
                               static_cast<int>((x >> 14) % 60), static_cast<int>((x >> 20) % 60)});
        }
        moments.push_back({year, 12, 31, 23, 59, 59});
        moments.push_back({year, 2, (year % 4 == 0 && year != 2100) ? 29 : 28, 12, 0, 0});
    }
    testing::TempDir dir;
    std::string input;
    char line[64];
    for (const Moment& m : moments) {
        std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d\n", m.year, m.month, m.day,
                      m.hour, m.minute, m.second);
        input += line;
    }
    testing::WriteAll(dir / "moments", input);
    const std::string command = "date -u -f '" + (dir / "moments") + "' +%s";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    for (const Moment& m : moments) {
        long long expected = 0;
        ASSERT_EQ(std::fscanf(pipe, "%lld", &expected), 1);
        EXPECT_EQ(UnixEpoch(m.year, m.month, m.day, m.hour, m.minute, m.second), expected)
            << m.year << "-" << m.month << "-" << m.day << " " << m.hour << ":" << m.minute << ":"
            << m.second;
    }
    EXPECT_EQ(::pclose(pipe), 0);
}

// The counts order the stamps, also across the 32-bit limit.
TEST_F(TimeStamp, LaterStampsGiveLargerCounts) {
    const char* pairs[][2] = {
        {"2020-01-24 12:50:32", "2020-01-24 12:50:33"},
        {"2020-12-31 23:59:59", "2021-01-01 00:00:00"},
        {"2038-01-19 03:14:07", "2038-01-19 03:14:08"},
        {"2099-02-28 23:59:59", "2099-03-01 00:00:00"},
    };
    for (const auto& pair : pairs) {
        std::int64_t earlier = 0, later = 0;
        ASSERT_EQ(ConvertTimeStamp(pair[0], &earlier), 1);
        ASSERT_EQ(ConvertTimeStamp(pair[1], &later), 1);
        EXPECT_EQ(later - earlier, 1) << pair[0];
    }
}

}  // namespace
}  // namespace upd
