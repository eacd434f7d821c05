// Inputs the fuzzers found to misbehave, kept so that the fault stays fixed.
// Run them under the sanitizer build: some faults show only there.
#include <gtest/gtest.h>

#include <cstdint>

#include "time/date.h"

namespace upd {
namespace {

// A date followed by spaces and nothing else has an empty time half; copying
// it must not hand a null pointer to memcpy (undefined behaviour that the
// undefined-behaviour sanitizer stops on).
TEST(TimeStampFuzzRegression, EmptyTimeHalfIsRefusedSafely) {
    const char* const texts[] = {"2020-01-24 ", "2020-01-24    ", " ", "202-0-0124 "};
    for (const char* text : texts) {
        std::int64_t seconds = 42;
        EXPECT_EQ(ConvertTimeStamp(text, &seconds), 0) << '"' << text << '"';
        EXPECT_EQ(seconds, 42) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace upd
