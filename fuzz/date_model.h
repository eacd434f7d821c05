// A plain model of the date pattern language, for the fuzz targets of the
// date and time formatting.
#pragma once

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace upd::fuzz {

inline const char* const kMon[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
inline const char* const kMonth[] = {"January",   "February", "March",    "April",
                                     "May",       "June",     "July",     "August",
                                     "September", "October",  "November", "December"};

inline size_t Find(const std::string& text, const char* token, size_t from) {
    const size_t n = strlen(token);
    for (size_t i = from; i + n <= text.size(); ++i) {
        if (strncasecmp(text.c_str() + i, token, n) == 0) {
            return i;
        }
    }
    return std::string::npos;
}

struct DateResult {
    int code;  // 1 on success, else the failure code
    std::string text;
};

inline DateResult ModelDate(unsigned month, unsigned day, unsigned year, const std::string& pattern,
                            unsigned capacity) {
    if (month < 1 || month > 12) {
        return {-2, {}};
    }
    if (day < 1 || day > 31) {
        return {-3, {}};
    }
    if (year < 1970 || year > 2069) {
        return {-4, {}};
    }
    if (pattern.size() >= capacity) {
        return {-5, {}};
    }
    std::string text = pattern;
    auto replace = [&](size_t at, size_t len, const std::string& with) {
        std::string next = text.substr(0, at) + with + text.substr(at + len);
        if (next.size() >= capacity || next.size() >= 128) {
            return false;
        }
        text = next;
        return true;
    };
    char num[16];
    size_t at = Find(text, "DD", 0);
    if (at != std::string::npos) {
        if (Find(text, "DD", at + 2) != std::string::npos) {
            return {-6, {}};
        }
        snprintf(num, sizeof num, "%02u", day);
        if (!replace(at, 2, num)) {
            return {-5, {}};
        }
    }
    if ((at = Find(text, "YYYY", 0)) != std::string::npos) {
        if (Find(text, "YY", at + 4) != std::string::npos) {
            return {-7, {}};
        }
        snprintf(num, sizeof num, "%u", year);
        if (!replace(at, 4, num)) {
            return {-5, {}};
        }
    } else if ((at = Find(text, "YY", 0)) != std::string::npos) {
        if (Find(text, "YY", at + 2) != std::string::npos) {
            return {-8, {}};
        }
        snprintf(num, sizeof num, "%02u", year < 2000 ? year - 1900 : year - 2000);
        if (!replace(at, 2, num)) {
            return {-5, {}};
        }
    }
    if ((at = Find(text, "MM", 0)) != std::string::npos) {
        if (Find(text, "MM", at + 2) != std::string::npos) {
            return {-9, {}};
        }
        if (Find(text, "MON", at + 2) != std::string::npos) {
            return {-10, {}};
        }
        snprintf(num, sizeof num, "%02u", month);
        if (!replace(at, 2, num)) {
            return {-5, {}};
        }
    } else if ((at = Find(text, "MONTH", 0)) != std::string::npos) {
        if (Find(text, "MON", at + 5) != std::string::npos) {
            return {-11, {}};
        }
        if (!replace(at, 5, kMonth[month - 1])) {
            return {-5, {}};
        }
    } else if ((at = Find(text, "MON", 0)) != std::string::npos) {
        if (Find(text, "MON", at + 3) != std::string::npos) {
            return {-12, {}};
        }
        if (!replace(at, 3, kMon[month - 1])) {
            return {-5, {}};
        }
    }
    return {1, text};
}

}  // namespace upd::fuzz
