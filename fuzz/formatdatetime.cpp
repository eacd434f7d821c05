// Fuzzes FormatDateTime: for any second count, pattern and capacity, the text
// is the calendar date of the count through the pattern language (a plain
// model of it), a blank and the time of day, or the failure code the first
// failing step gives, with an empty output after every failure but the first.
// The output is allocated to its exact capacity. The fuzzer runs with TZ=UTC,
// so local time and UTC agree.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "date_model.h"
#include "fuzz_support.h"
#include "time/date.h"

namespace {

using upd::fuzz::DateResult;
using upd::fuzz::ModelDate;

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
    input.Byte();  // the layout of format_date's inputs, so that seeds serve both
    input.Byte();
    input.Byte();
    input.Byte();
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
    CheckFormatDateTime(when, pattern, local, static_cast<uint16_t>(capacity));
    return 0;
}
