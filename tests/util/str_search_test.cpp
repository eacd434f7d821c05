// Searches of the string library: forward and backward substring searches
// and word positions, at the ends of their ranges and on empty input.
#include <gtest/gtest.h>

#include <cstring>

#include "util/str.h"

namespace upd {
namespace {

// Offset of a found pointer within s, -1 for null.
long Offset(const char* found, const char* s) {
    return found == nullptr ? -1 : found - s;
}

TEST(StrSearch, ForwardSearches) {
    struct Case {
        const char* s;
        const char* needle;
        int substring_want, sub_want;
        long strstr_at, stristr_at;
    } const cases[] = {
        {"MEASure VOLTage", "VOLT", 1, 1, 8, 8},
        {"MEASure VOLTage", "volt", 0, 1, -1, 8},
        {"aab", "ab", 1, 1, 1, 1},
        {"abc", "", 1, 1, 3, 0},
        {"", "", 0, 0, 0, -1},
        {"", "a", 0, 0, -1, -1},
        {"ab", "abc", 0, 0, -1, -1},
        {"x\xC4y", "\xE4", 0, 0, -1, -1},
        {"x\xC4Y", "\xC4y", 0, 1, -1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(pstr(c.s)) + " | " + pstr(c.needle));
        EXPECT_EQ(substring(c.needle, c.s), c.substring_want);
        EXPECT_EQ(sub(c.needle, c.s), c.sub_want);
        EXPECT_EQ(Offset(strstr(c.s, c.needle), c.s), c.strstr_at);
        EXPECT_EQ(Offset(stristr(c.s, c.needle), c.s), c.stristr_at);
    }
    EXPECT_EQ(substring(nullptr, "a"), 0);
    EXPECT_EQ(sub("a", nullptr), 0);
    EXPECT_EQ(strstr(static_cast<const char*>(nullptr), "a"), nullptr);
    EXPECT_EQ(stristr("a", nullptr), nullptr);
}

TEST(StrSearch, BackwardSearchesCoverBothEndsOfTheRange) {
    //               0123456789
    const char* s = "ab-AB-ab-x";
    struct Case {
        int start, from;
        const char* needle;
        long exact_at, folded_at;  // offsets from s
    } const cases[] = {
        {0, 9, "ab", 6, 6},  {0, 6, "ab", 6, 6},    {0, 5, "ab", 0, 3},  {0, 0, "ab", 0, 0},
        {1, 5, "ab", -1, 3}, {1, 2, "ab", -1, -1},  {4, 8, "", 8, 8},    {0, 10, "x", 9, 9},
        {0, 9, "b-x", 7, 7}, {0, 6, "b-x", -1, -1}, {5, 4, "a", -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.needle) + " start=" + std::to_string(c.start) +
                     " from=" + std::to_string(c.from));
        EXPECT_EQ(Offset(strstr_b(s + c.start, c.needle, s + c.from), s), c.exact_at);
        EXPECT_EQ(Offset(stristr_b(s + c.start, c.needle, s + c.from), s), c.folded_at);
    }
    EXPECT_EQ(strstr_b(s, nullptr, s), nullptr);
}

TEST(StrSearch, BackwardSearchFromPastTheTextStopsAtTheTerminator) {
    // The bytes after the terminator hold the needle; they are not text.
    const char buf[] = "ab\0cd";
    EXPECT_EQ(strstr_b(buf, "cd", buf + 3), nullptr);
    EXPECT_EQ(stristr_b(buf, "B", buf + 4), buf + 1);
}

TEST(StrWords, FindWord) {
    //               0123456789012
    const char* s = "ab cde  f";
    struct Case {
        const char* s;
        std::uint16_t len, pos;
        int want;
        std::uint16_t first, last;
    } const cases[] = {
        {s, 9, 0, 1, 0, 1},   {s, 9, 1, 1, 0, 1},  {s, 9, 4, 1, 3, 5},       {s, 9, 2, 0, 0, 0},
        {s, 9, 8, 1, 8, 8},   {s, 5, 3, 1, 3, 4},  {s, 9, 9, 1, 0, 8},       {s, 0, 0, 0, 0, 0},
        {s, 20, 12, 0, 0, 0}, {"", 4, 0, 0, 0, 0}, {nullptr, 4, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        std::uint16_t first = 0, last = 0;
        EXPECT_EQ(findword(c.s, c.len, c.pos, &first, &last), c.want)
            << "len=" << c.len << " pos=" << c.pos;
        if (c.want) {
            EXPECT_EQ(first, c.first) << "pos=" << c.pos;
            EXPECT_EQ(last, c.last) << "pos=" << c.pos;
        }
    }
}

TEST(StrWords, FindEndWord) {
    struct Case {
        const char* s;
        int n, want;
    } const cases[] = {
        {"MEAS VOLT  DC", 1, 3},
        {"MEAS VOLT  DC", 2, 8},
        {"MEAS VOLT  DC", 3, 12},
        {"MEAS VOLT  DC", 4, 0},
        {"  x ", 1, 2},
        {"a\tb c", 1, 2},
        {"abc", 0, 0},
        {"abc", -1, 0},
        {"   ", 1, 0},
        {"", 1, 0},
        {nullptr, 1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindEndWord(c.s, c.n), c.want) << pstr(c.s) << " n=" << c.n;
    }
}

}  // namespace
}  // namespace upd
