// Blank and suffix tests of the string library.
#include <gtest/gtest.h>

#include "util/str.h"

namespace upd {
namespace {

TEST(Suffix, ComparesExactlyFromTheEnd) {
    struct Case {
        const char* end;
        const char* s;
        int want;
    } const cases[] = {
        {".c", "dpr.c", 1}, {".c", "dpr.cpp", 0}, {".c", "dpr.C", 0}, {".cpp", ".cpp", 1},
        {".h", "h", 0},     {"", "anything", 1},  {"", nullptr, 1},   {nullptr, "x", 1},
        {".c", "", 0},      {".c", nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Suffix(c.end, c.s), c.want)
            << "end=" << (c.end ? c.end : "(null)") << " s=" << (c.s ? c.s : "(null)");
    }
}

TEST(SkipSpaces, StopsAtFirstNonBlank) {
    const char* blanks = "   \t";
    EXPECT_EQ(SkipSpaces(blanks), blanks + 4);
    const char* newline = "\nx";
    EXPECT_EQ(SkipSpaces(newline), newline);
    EXPECT_EQ(SkipSpaces(nullptr), nullptr);
}

TEST(IsWhiteSpace, OnlySpaceAndTab) {
    for (int ch = 0; ch < 256; ++ch) {
        EXPECT_EQ(IsWhiteSpace(static_cast<unsigned char>(ch)), ch == ' ' || ch == '\t') << ch;
    }
}

}  // namespace
}  // namespace upd
