// Fuzzes date and time formatting: format_date against a plain model of the
// pattern language (tokens found without regard to case, duplicates after a
// found token refused, every replacement bounded by the capacity and the
// 128-byte scratch text), and FormatDateTime against the calendar fields of
// the second count, with output buffers allocated to their exact capacity so
// that a write past it is caught. The fuzzer runs with TZ=UTC.
#include <strings.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "time/date.h"

namespace {

const char* const kMon[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonth[] = {"January",   "February", "March",    "April",
                              "May",       "June",     "July",     "August",
                              "September", "October",  "November", "December"};

size_t Find(const std::string& text, const char* token, size_t from) {
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

DateResult ModelDate(unsigned month, unsigned day, unsigned year, const std::string& pattern,
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

void CheckFormatDate(unsigned month, unsigned day, unsigned year, const std::string& pattern,
                     unsigned capacity) {
    DateResult want = ModelDate(month, day, year, pattern, capacity);
    std::unique_ptr<char[]> out(new char[capacity == 0 ? 1 : capacity]);
    int code = 99;
    int r = upd::format_date(month, day, year, pattern.c_str(), out.get(), capacity, &code);
    if (want.code == 1) {
        FUZZ_CHECK(r == 1 && code == 99);
        FUZZ_CHECK(want.text == out.get());
    } else {
        FUZZ_CHECK(r == 0 && code == want.code);
    }
    code = 99;
    FUZZ_CHECK(upd::format_date(month, day, year, nullptr, out.get(), capacity, &code) == 0);
    FUZZ_CHECK(code == -1);
}

void CheckFormatDateTime(int64_t when, const std::string& pattern, int local, uint16_t capacity) {
    std::unique_ptr<char[]> out(new char[capacity == 0 ? 1 : capacity]);
    out[0] = 'x';
    int code = 99;
    int r = upd::FormatDateTime(when, pattern.c_str(), local, out.get(), capacity, &code);
    if (capacity == 0) {
        FUZZ_CHECK(r == 0 && code == -1 && out[0] == 'x');
        return;
    }
    const time_t t = static_cast<time_t>(when);
    struct tm f {};
    if (gmtime_r(&t, &f) == nullptr) {
        FUZZ_CHECK(r == 0 && (code == (local ? -2 : -3)) && out[0] == '\0');
        return;
    }
    DateResult date =
        ModelDate(static_cast<unsigned>(f.tm_mon + 1), static_cast<unsigned>(f.tm_mday),
                  static_cast<unsigned>(f.tm_year + 1900), pattern, 128);
    if (date.code != 1) {
        FUZZ_CHECK(r == 0 && code == -4 && out[0] == '\0');
        return;
    }
    char hms[16];
    snprintf(hms, sizeof hms, "%02d:%02d:%02d", f.tm_hour, f.tm_min, f.tm_sec);
    std::string want = date.text.empty() ? std::string(hms) : date.text + " " + hms;
    if (want.size() >= capacity) {
        FUZZ_CHECK(r == 0 && code == -6 && out[0] == '\0');
        return;
    }
    FUZZ_CHECK(r == 1 && code == 99 && want == out.get());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const unsigned month = input.Byte() % 16;
    const unsigned day = input.Byte() % 40;
    const unsigned year = 1960 + (input.Byte() | input.Byte() << 8) % 120;
    const unsigned capacity = (input.Byte() | input.Byte() << 8) % 300;
    int64_t when = 0;
    for (int i = 0; i < 8; ++i) {
        when = static_cast<int64_t>(static_cast<uint64_t>(when) << 8 | input.Byte());
    }
    if (input.Byte() & 1) {
        // Mostly times that a calendar can hold: within about 300 years of 1970.
        when %= int64_t{10000000000};
    }
    const int local = input.Byte() & 1;
    const std::string pattern = input.RestAsCString();

    CheckFormatDate(month, day, year, pattern, capacity);
    CheckFormatDateTime(when, pattern, local, static_cast<uint16_t>(capacity));

    char hms[9];
    int code = 99;
    const unsigned h = day, m = year % 64, s = capacity % 64;
    const int want = h > 23 ? -2 : m > 59 ? -3 : s > 59 ? -4 : 1;
    FUZZ_CHECK(upd::format_time(h, m, s, hms, sizeof hms, &code) == (want == 1 ? 1 : 0));
    FUZZ_CHECK(want == 1 ? code == 99 && strlen(hms) == 8 : code == want);
    FUZZ_CHECK(upd::format_time(h, m, s, hms, 8, &code) == 0 && code == -1);
    FUZZ_CHECK(upd::MonthName(month) == nullptr || strlen(upd::MonthName(month)) == 3);
    FUZZ_CHECK((upd::MonthName(month) == nullptr) == (month < 1 || month > 12));
    return 0;
}
