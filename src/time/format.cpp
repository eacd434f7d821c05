// Rendering dates through the date pattern language and times of day as
// "HH:MM:SS", and both together for a second count.
#include <strings.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "time/date.h"

namespace upd {
namespace {

constexpr const char* mon[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* month_full[12] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};

// Every replacement is rebuilt in a scratch text of this size.
constexpr std::size_t kScratch = 128;
constexpr std::size_t kDateBuffer = 128;
constexpr std::size_t kTimeBuffer = 9;

int Fail(int* code, int value) {
    if (code != nullptr) {
        *code = value;
    }
    return 0;
}

// Position of the first case-insensitive occurrence of token in text at or
// after from; npos if there is none.
std::size_t FindToken(std::string_view text, std::string_view token, std::size_t from) {
    for (std::size_t i = from; i + token.size() <= text.size(); ++i) {
        if (::strncasecmp(text.data() + i, token.data(), token.size()) == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

// Whether token occurs after the token of length len found at pos.
bool Follows(std::string_view text, std::size_t pos, std::size_t len, std::string_view token) {
    return FindToken(text, token, pos + len) != std::string_view::npos;
}

// Replaces len characters of out at pos by with, through the scratch text.
// False, with out unchanged, when the result would not fit out or the scratch.
bool Replace(char* out, std::size_t capacity, std::size_t pos, std::size_t len,
             std::string_view with) {
    char scratch[kScratch];
    const std::size_t old_len = std::strlen(out);
    const std::size_t new_len = old_len - len + with.size();
    if (new_len >= capacity || new_len >= sizeof scratch) {
        return false;
    }
    std::memcpy(scratch, out, pos);
    std::memcpy(scratch + pos, with.data(), with.size());
    std::memcpy(scratch + pos + with.size(), out + pos + len, old_len - pos - len);
    scratch[new_len] = '\0';
    std::memcpy(out, scratch, new_len + 1);
    return true;
}

std::string_view TwoDigits(unsigned value, char (&buf)[4]) {
    std::snprintf(buf, sizeof buf, "%02u", value % 100);
    return buf;
}

}  // namespace

const char* MonthName(unsigned month) {
    if (month < 1 || month > 12) {
        return nullptr;
    }
    return mon[month - 1];
}

int format_date(unsigned month, unsigned day, unsigned year, const char* pattern, char* out,
                unsigned int capacity, int* code) {
    if (pattern == nullptr) {
        return Fail(code, -1);
    }
    if (month < 1 || month > 12) {
        return Fail(code, -2);
    }
    if (day < 1 || day > 31) {
        return Fail(code, -3);
    }
    if (year < 1970 || year > 2069) {
        return Fail(code, -4);
    }
    const std::size_t pattern_len = std::strlen(pattern);
    if (out == nullptr || pattern_len >= capacity) {
        return Fail(code, -5);
    }
    std::memcpy(out, pattern, pattern_len + 1);

    char digits[4];
    std::size_t pos = FindToken(out, "DD", 0);
    if (pos != std::string_view::npos) {
        if (Follows(out, pos, 2, "DD")) {
            return Fail(code, -6);
        }
        if (!Replace(out, capacity, pos, 2, TwoDigits(day, digits))) {
            return Fail(code, -5);
        }
    }

    pos = FindToken(out, "YYYY", 0);
    if (pos != std::string_view::npos) {
        if (Follows(out, pos, 4, "YY")) {
            return Fail(code, -7);
        }
        char year_text[12];
        std::snprintf(year_text, sizeof year_text, "%u", year);
        if (!Replace(out, capacity, pos, 4, year_text)) {
            return Fail(code, -5);
        }
    } else if ((pos = FindToken(out, "YY", 0)) != std::string_view::npos) {
        if (Follows(out, pos, 2, "YY")) {
            return Fail(code, -8);
        }
        const unsigned short_year = year < 2000 ? year - 1900 : year - 2000;
        if (!Replace(out, capacity, pos, 2, TwoDigits(short_year, digits))) {
            return Fail(code, -5);
        }
    }

    if ((pos = FindToken(out, "MM", 0)) != std::string_view::npos) {
        if (Follows(out, pos, 2, "MM")) {
            return Fail(code, -9);
        }
        if (Follows(out, pos, 2, "MON")) {
            return Fail(code, -10);
        }
        if (!Replace(out, capacity, pos, 2, TwoDigits(month, digits))) {
            return Fail(code, -5);
        }
    } else if ((pos = FindToken(out, "MONTH", 0)) != std::string_view::npos) {
        if (Follows(out, pos, 5, "MON")) {
            return Fail(code, -11);
        }
        if (!Replace(out, capacity, pos, 5, month_full[month - 1])) {
            return Fail(code, -5);
        }
    } else if ((pos = FindToken(out, "MON", 0)) != std::string_view::npos) {
        if (Follows(out, pos, 3, "MON")) {
            return Fail(code, -12);
        }
        if (!Replace(out, capacity, pos, 3, mon[month - 1])) {
            return Fail(code, -5);
        }
    }
    return 1;
}

int format_time(unsigned hour, unsigned minute, unsigned second, char* out, unsigned int capacity,
                int* code) {
    if (out == nullptr || capacity <= 8) {
        return Fail(code, -1);
    }
    if (hour > 23) {
        return Fail(code, -2);
    }
    if (minute > 59) {
        return Fail(code, -3);
    }
    if (second > 59) {
        return Fail(code, -4);
    }
    std::snprintf(out, capacity, "%02u:%02u:%02u", hour, minute, second);
    return 1;
}

int FormatDateTime(std::int64_t when, const char* pattern, int local, char* out,
                   std::uint16_t capacity, int* code) {
    if (out == nullptr || capacity == 0) {
        return Fail(code, -1);
    }
    out[0] = '\0';

    // The reentrant conversions: the diagnostic print calls this from several
    // threads at once.
    const time_t t = static_cast<time_t>(when);
    struct tm fields {};
    if (local != 0) {
        if (::localtime_r(&t, &fields) == nullptr) {
            return Fail(code, -2);
        }
    } else if (::gmtime_r(&t, &fields) == nullptr) {
        return Fail(code, -3);
    }

    // Calendar fields are passed on unsigned, so a negative one (a year before
    // 1900) fails the range checks like a too-large one.
    char date[kDateBuffer];
    if (!format_date(
            static_cast<unsigned>(fields.tm_mon + 1), static_cast<unsigned>(fields.tm_mday),
            static_cast<unsigned>(fields.tm_year + 1900), pattern, date, sizeof date, nullptr)) {
        return Fail(code, -4);
    }
    char time_of_day[kTimeBuffer];
    if (!format_time(static_cast<unsigned>(fields.tm_hour), static_cast<unsigned>(fields.tm_min),
                     static_cast<unsigned>(fields.tm_sec), time_of_day, sizeof time_of_day,
                     nullptr)) {
        return Fail(code, -5);
    }

    const std::size_t date_len = std::strlen(date);
    const std::size_t time_len = std::strlen(time_of_day);
    if (date_len != 0) {
        if (date_len + 1 + time_len >= capacity) {
            return Fail(code, -6);
        }
        std::snprintf(out, capacity, "%s %s", date, time_of_day);
    } else {
        if (time_len >= capacity) {
            return Fail(code, -6);
        }
        std::memcpy(out, time_of_day, time_len + 1);
    }
    return 1;
}

}  // namespace upd
