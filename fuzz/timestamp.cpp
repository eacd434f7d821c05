// Fuzzes the time-stamp conversion: the accepted grammar is compared with a
// plain model, and every accepted text must give the seconds of its fields
// counted in UTC (the fuzzer runs with TZ=UTC), so that the count orders the
// stamps and an equal count means an equal moment. Texts longer than the 31
// characters the callers allow must be refused or read safely, never overrun.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "time/date.h"

namespace {

struct Fields {
    int year, month, day, hour, minute, second;
};

bool Digits(const std::string& s, size_t at, size_t n, int* value) {
    if (at + n > s.size()) {
        return false;
    }
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

int MonthDays(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ModelDate(const std::string& d, Fields* f) {
    bool hyphen = d.find('-') != std::string::npos;
    if (d.size() != (hyphen ? 10u : 8u)) {
        return false;
    }
    size_t m = d[4] == '-' ? 5 : 4;
    size_t day = d[m + 2] == '-' ? m + 3 : m + 2;
    if (!Digits(d, 0, 4, &f->year) || !Digits(d, m, 2, &f->month) || !Digits(d, day, 2, &f->day)) {
        return false;
    }
    return f->month >= 1 && f->month <= 12 && f->day >= 1 && f->day <= MonthDays(f->year, f->month);
}

bool ModelTime(const std::string& t, Fields* f) {
    f->minute = f->second = 0;
    if (!Digits(t, 0, 2, &f->hour) || f->hour > 23) {
        return false;
    }
    if (t.size() == 2) {
        return true;
    }
    size_t m = t[2] == ':' ? 3 : 2;
    if (!Digits(t, m, 2, &f->minute) || f->minute > 59) {
        return false;
    }
    if (t.size() == m + 2) {
        return true;
    }
    size_t s = t[m + 2] == ':' ? m + 3 : m + 2;
    if (!Digits(t, s, 2, &f->second) || f->second > 59) {
        return false;
    }
    return t.size() == s + 2 || t[s + 2] == 'Z';
}

std::optional<Fields> Model(const std::string& text) {
    size_t space = text.find(' ');
    if (space == std::string::npos) {
        return std::nullopt;
    }
    size_t time = text.find_first_not_of(' ', space);
    Fields f{};
    if (!ModelDate(text.substr(0, space), &f) ||
        !ModelTime(time == std::string::npos ? "" : text.substr(time), &f)) {
        return std::nullopt;
    }
    return f;
}

// Seconds from 1970-01-01 00:00:00 UTC to the given UTC fields.
int64_t UtcSeconds(const Fields& f) {
    int64_t y = f.year - (f.month <= 2);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (f.month + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + f.day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const std::string text = input.RestAsCString();

    const int64_t untouched = INT64_MIN + 7;
    int64_t seconds = untouched;
    const int r = upd::ConvertTimeStamp(text.c_str(), &seconds);
    if (text.size() > 31) {
        // Outside the callers' contract: any result, but a safe one.
        return 0;
    }
    std::optional<Fields> want = Model(text);
    FUZZ_CHECK(r == (want ? 1 : 0));
    if (!want) {
        FUZZ_CHECK(seconds == untouched);
        return 0;
    }
    FUZZ_CHECK(seconds == UtcSeconds(*want));

    // The canonical spelling of the same fields gives the same count.
    char canonical[64];
    snprintf(canonical, sizeof canonical, "%04d-%02d-%02d %02d:%02d:%02d", want->year, want->month,
             want->day, want->hour, want->minute, want->second);
    int64_t again = untouched;
    FUZZ_CHECK(upd::ConvertTimeStamp(canonical, &again) == 1 && again == seconds);
    return 0;
}
