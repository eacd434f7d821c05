// Build time stamps "YYYY-MM-DD HH:MM:SS" turned into second counts that order
// the stamps: a date and a time separated by spaces, hyphens and colons optional.
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "time/date.h"

namespace upd {
namespace {

// Each half of a time stamp is copied into a buffer of this size; a longer half
// is refused, never cut short.
constexpr std::size_t kHalfSize = 32;

// 1 when `text` is not empty and holds only the digits '0' to '9'.
int AllDigits(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            return 0;
        }
    }
    return 1;
}

// The value of a field that passed AllDigits.
int FieldValue(std::string_view field) {
    int value = 0;
    for (char ch : field) {
        value = value * 10 + (ch - '0');
    }
    return value;
}

bool IsLeapYear(int year) {
    return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

int DaysInMonth(int year, int month) {
    constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Copies `half` with its terminator into `buf`; false when it does not fit.
bool CopyHalf(std::string_view half, char (&buf)[kHalfSize]) {
    if (half.size() >= kHalfSize) {
        return false;
    }
    half.copy(buf, half.size());
    buf[half.size()] = '\0';
    return true;
}

// A two-character field at `pos`, or an empty view (refused by AllDigits) when
// the text ends before the field does.
std::string_view TwoChars(std::string_view text, std::size_t pos) {
    return pos + 2 <= text.size() ? text.substr(pos, 2) : std::string_view{};
}

}  // namespace

int ConvertTimeStamp(const char* text, std::int64_t* seconds) {
    if (text == nullptr) {
        return 0;
    }
    const std::string_view stamp(text);
    const std::size_t space = stamp.find(' ');
    if (space == std::string_view::npos) {
        return 0;
    }
    const std::size_t time_start = stamp.find_first_not_of(' ', space);
    char date_half[kHalfSize];
    char time_half[kHalfSize];
    if (!CopyHalf(stamp.substr(0, space), date_half) ||
        !CopyHalf(
            time_start == std::string_view::npos ? std::string_view{} : stamp.substr(time_start),
            time_half)) {
        return 0;
    }
    int year, month, day, hour, minute, second;
    if (!ParseDate(date_half, &year, &month, &day) ||
        !ParseTime(time_half, &hour, &minute, &second)) {
        return 0;
    }
    *seconds = UnixEpoch(year, month, day, hour, minute, second);
    return 1;
}

int ParseDate(const char* text, int* year, int* month, int* day) {
    if (text == nullptr) {
        return 0;
    }
    const std::string_view date(text);
    const bool hyphenated = date.find('-') != std::string_view::npos;
    if (date.size() != (hyphenated ? 10u : 8u)) {
        return 0;
    }
    // Fields start right after the one before, or one further past a hyphen.
    const std::size_t month_at = date[4] == '-' ? 5 : 4;
    const std::size_t day_at = date[month_at + 2] == '-' ? month_at + 3 : month_at + 2;
    const std::string_view year_field = date.substr(0, 4);
    const std::string_view month_field = date.substr(month_at, 2);
    const std::string_view day_field = date.substr(day_at, 2);
    if (!AllDigits(year_field) || !AllDigits(month_field) || !AllDigits(day_field)) {
        return 0;
    }
    const int y = FieldValue(year_field);
    const int m = FieldValue(month_field);
    const int d = FieldValue(day_field);
    if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) {
        return 0;
    }
    *year = y;
    *month = m;
    *day = d;
    return 1;
}

int ParseTime(const char* text, int* hour, int* minute, int* second) {
    if (text == nullptr) {
        return 0;
    }
    const std::string_view time(text);
    if (time.size() < 2) {
        return 0;
    }
    const std::string_view hour_field = time.substr(0, 2);
    if (!AllDigits(hour_field) || FieldValue(hour_field) > 23) {
        return 0;
    }
    int h = FieldValue(hour_field), m = 0, s = 0;

    // Minutes, if the text goes on; a field of fewer than two characters at the
    // end of the text is refused.
    if (time.size() > 2) {
        const std::size_t minute_at = time[2] == ':' ? 3 : 2;
        const std::string_view minute_field = TwoChars(time, minute_at);
        if (!AllDigits(minute_field) || FieldValue(minute_field) > 59) {
            return 0;
        }
        m = FieldValue(minute_field);

        // Seconds, if the text goes on after the minutes, then its end or a 'Z'.
        const std::size_t minute_end = minute_at + 2;
        if (time.size() > minute_end) {
            const std::size_t second_at = time[minute_end] == ':' ? minute_end + 1 : minute_end;
            const std::string_view second_field = TwoChars(time, second_at);
            if (!AllDigits(second_field) || FieldValue(second_field) > 59) {
                return 0;
            }
            s = FieldValue(second_field);
            const std::size_t second_end = second_at + 2;
            if (time.size() > second_end && time[second_end] != 'Z') {
                return 0;
            }
        }
    }
    *hour = h;
    *minute = m;
    *second = s;
    return 1;
}

std::int64_t UnixEpoch(int year, int month, int day, int hour, int minute, int second) {
    std::tm moment{};
    moment.tm_sec = second;
    moment.tm_min = minute;
    moment.tm_hour = hour;
    moment.tm_mday = day;
    moment.tm_mon = month - 1;
    moment.tm_year = year - 1900;
    moment.tm_isdst = -1;

    std::tm epoch{};
    epoch.tm_mday = 1;
    epoch.tm_year = 70;
    epoch.tm_isdst = -1;

    // Both read as local time, so the zone's offset cancels out.
    const std::time_t then = std::mktime(&moment);
    const std::time_t start = std::mktime(&epoch);
    return static_cast<std::int64_t>(then) - static_cast<std::int64_t>(start);
}

}  // namespace upd
