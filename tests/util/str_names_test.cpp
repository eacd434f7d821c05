// Character classes, names and allocating functions of the string library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "util/str.h"

namespace upd {
namespace {

struct Free {
    void operator()(char* p) const { std::free(p); }
};
using Owned = std::unique_ptr<char, Free>;

TEST(StrNames, OrdinalEndings) {
    struct Case {
        unsigned short n;
        const char* want;
    } const cases[] = {
        {0, "th"},   {1, "st"},   {2, "nd"},   {3, "rd"},   {4, "th"},     {11, "th"},
        {12, "th"},  {13, "th"},  {21, "st"},  {22, "nd"},  {23, "rd"},    {101, "st"},
        {111, "th"}, {112, "th"}, {122, "nd"}, {213, "th"}, {65535, "th"}, {65531, "st"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ord_suffix(c.n), c.want) << c.n;
    }
}

TEST(StrNames, MnemonicsAndPrintable) {
    struct Case {
        unsigned char ch;
        const char* name;
        int printable;
    } const cases[] = {
        {0, "NUL", 0}, {9, "HT", 0}, {10, "LF", 0}, {27, "ESC", 0},  {31, "US", 0},
        {32, "", 1},   {65, "", 1},  {126, "", 1},  {127, "DEL", 0}, {128, "", 1},
        {160, "", 1},  {200, "", 1}, {255, "", 1},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(AsciiMnemonic(c.ch), c.name) << int(c.ch);
        EXPECT_EQ(IsPrintable(c.ch), c.printable) << int(c.ch);
    }
}

TEST(StrNames, Pstr) {
    const char* text = "x";
    EXPECT_EQ(pstr(text), text);
    EXPECT_STREQ(pstr(""), "<EMPTY>");
    EXPECT_STREQ(pstr(nullptr), "<NULL>");
}

TEST(StrAlloc, SAllocCopiesOrStoresNull) {
    const char* text = "abc";
    char* out = reinterpret_cast<char*>(1);
    ASSERT_EQ(s_alloc(text, &out), 1);
    Owned copy(out);
    EXPECT_NE(out, text);
    EXPECT_STREQ(out, "abc");

    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(s_alloc(nullptr, &out), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(s_alloc("a", nullptr), 0);
}

TEST(StrAlloc, StripTrailingIntAndReplace) {
    struct Case {
        const char* s;
        const char* want;
    } const strip[] = {
        {"COM12", "COM"}, {"12", ""}, {"a1b2", "a1b"}, {"abc", "abc"}, {"", ""}, {"x\xB2", "x\xB2"},
    };
    for (const auto& c : strip) {
        Owned got(StripTrailingInt(c.s));
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got.get(), c.want) << c.s;
    }
    EXPECT_EQ(StripTrailingInt(nullptr), nullptr);

    struct ReplaceCase {
        const char* pattern;
        const char* repl;
        const char* s;
        const char* want;
    } const repl[] = {
        {"VOLT", "CURR", "MEAS:VOLT:DC", "MEAS:CURR:DC"},
        {"a", "xyz", "banana", "bxyznana"},
        {"ab", "", "abab", "ab"},
        {"q", "z", "abc", "abc"},
        {"", "<", "abc", "<abc"},
        {"abc", "d", "abc", "d"},
    };
    for (const auto& c : repl) {
        Owned got(replace(c.pattern, c.repl, c.s));
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got.get(), c.want) << c.pattern << " in " << c.s;
    }
    EXPECT_EQ(replace(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(replace("a", nullptr, "b"), nullptr);
    EXPECT_EQ(replace("a", "b", nullptr), nullptr);
}

}  // namespace
}  // namespace upd
