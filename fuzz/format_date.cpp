// Fuzzes format_date against a plain model of the pattern language (tokens
// found without regard to case, duplicates after a found token refused, every
// replacement bounded by the capacity and the 128-byte scratch text), with the
// output allocated to its exact capacity so that a write past it is caught;
// and format_time and MonthName on the same fields.
#include <cstring>
#include <memory>
#include <string>

#include "date_model.h"
#include "fuzz_support.h"
#include "time/date.h"

namespace {

using upd::fuzz::DateResult;
using upd::fuzz::ModelDate;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const unsigned month = input.Byte() % 16;
    const unsigned day = input.Byte() % 40;
    const unsigned year = 1960 + (input.Byte() | input.Byte() << 8) % 120;
    const unsigned capacity = (input.Byte() | input.Byte() << 8) % 300;
    for (int i = 0; i < 10; ++i) {
        input.Byte();  // FormatDateTime's fields, so that seeds serve both targets
    }
    const std::string pattern = input.RestAsCString();

    CheckFormatDate(month, day, year, pattern, capacity);

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
