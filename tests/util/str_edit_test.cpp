// Editing functions of the string library: trimming, padding, field copies and
// in-place moves, checked byte for byte so that a write past the given length
// or a missing terminator shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "util/str.h"

namespace upd {
namespace {

using namespace std::string_literals;

// An 8-byte buffer holding `init` (embedded NULs kept) and '#' guards after it.
struct Buffer {
    explicit Buffer(const std::string& init) {
        bytes.fill('#');
        std::memcpy(bytes.data(), init.data(), std::min(init.size(), bytes.size()));
    }
    std::string str() const { return std::string(bytes.data(), bytes.size()); }
    std::array<char, 8> bytes;
};

TEST(StrEdit, EndstripAndStriptrail) {
    struct Case {
        const char* in;
        const char* endstripped;
        int len;
        const char* trailstripped;
    } const cases[] = {
        {" \tab c \t", "ab c", 4, " \tab c"},
        {"abc", "abc", 3, "abc"},
        {"   ", "", 0, ""},
        {"", "", 0, ""},
        {"\nx ", "\nx", 2, "\nx"},
    };
    for (const auto& c : cases) {
        std::string a = c.in, b = c.in;
        EXPECT_EQ(endstrip(a.data()), c.len) << c.in;
        EXPECT_STREQ(a.c_str(), c.endstripped);
        striptrail(b.data());
        EXPECT_STREQ(b.c_str(), c.trailstripped);
    }
    EXPECT_EQ(endstrip(nullptr), 0);
    striptrail(nullptr);
}

TEST(StrEdit, FixedWidthFieldsStayInsideTheirLength) {
    struct Case {
        const char* what;
        void (*fn)(char*, int);
        std::string init;
        int n;
        std::string want;
    } const cases[] = {
        {"setstr", setstr, "\0"s, 3, "   \0####"s},
        {"setstr", setstr, "ab\0"s, 0, "\0b\0#####"s},
        {"setstr", setstr, "ab\0"s, -2, "\0b\0#####"s},
        {"pad", pad, "ab\0"s, 5, "ab  \0###"s},
        {"pad", pad, "abcd\0"s, 5, "abcd\0###"s},
        {"pad", pad, "abcdef\0"s, 5, "abcdef\0#"s},
        {"pad", pad, "ab\0"s, 1, "ab\0#####"s},
        {"pad", pad, "abcdefgh", 5, "abcdefgh"},
        {"unpad", unpad, "ab  \t   ", 8, "ab  \t\0 \0"s},
        {"unpad", unpad, "ab\0 x   "s, 8, "ab\0 x  \0"s},
        {"unpad", unpad, "    ", 3, "\0 \0 ####"s},
        {"unpad", unpad, "ab\0"s, 0, "ab\0#####"s},
        {"blankline", blankline, "a\0b\0"s, 6, "a b #\0##"s},
        {"blankline", blankline, "ab\0"s, 1, "\0b\0#####"s},
        {"blankline", blankline, "ab\0"s, 0, "ab\0#####"s},
    };
    for (const auto& c : cases) {
        Buffer buf(c.init);
        c.fn(buf.bytes.data(), c.n);
        EXPECT_EQ(buf.str(), c.want) << c.what << " n=" << c.n;
    }
    setstr(nullptr, 3);
    pad(nullptr, 3);
    unpad(nullptr, 3);
    blankline(nullptr, 3);
}

TEST(StrEdit, CopiesIntoTheCallersBuffer) {
    struct Case {
        const char* what;
        int (*fn)(char*);
        int want;
        std::string buf;
    } const cases[] = {
        {"padcopy short", [](char* d) { return padcopy("abc", d, 5); }, 1, "abc  ###"},
        {"padcopy long", [](char* d) { return padcopy("abcdefg", d, 5); }, 1, "abcde###"},
        {"padcopy empty", [](char* d) { return padcopy("", d, 3); }, 1, "   #####"},
        {"padcopy null", [](char* d) { return padcopy(nullptr, d, 3); }, 0, "########"},
        {"padcopy n=0", [](char* d) { return padcopy("a", d, 0); }, 0, "########"},
        {"stripcopy", [](char* d) { return stripcopy(d, "ab  cd", 4), 0; }, 0, "ab\0#####"s},
        {"stripcopy tab", [](char* d) { return stripcopy(d, "ab\t ", 4), 0; }, 0, "ab\t\0####"s},
        {"stripcopy short", [](char* d) { return stripcopy(d, "ab", 6), 0; }, 0, "ab\0#####"s},
        {"stripcopy n=0", [](char* d) { return stripcopy(d, "abc", 0), 0; }, 0, "\0#######"s},
        {"stripcopy null", [](char* d) { return stripcopy(d, nullptr, 3), 0; }, 0, "\0#######"s},
        {"fcopy", [](char* d) { return fcopy(" a b \t", 0, 5, d); }, 3, "a b\0####"s},
        {"fcopy blank", [](char* d) { return fcopy("   ", 0, 2, d); }, 0, "\0#######"s},
        {"fcopy inner", [](char* d) { return fcopy("abcdef", 2, 3, d); }, 2, "cd\0#####"s},
        {"fcopy past end", [](char* d) { return fcopy("abc", 1, 30, d); }, 2, "bc\0#####"s},
        {"fcopy reversed", [](char* d) { return fcopy("abc", 2, 1, d); }, 0, "\0#######"s},
        {"fcopy null", [](char* d) { return fcopy(nullptr, 0, 1, d); }, 0, "\0#######"s},
    };
    for (const auto& c : cases) {
        Buffer dst("");
        EXPECT_EQ(c.fn(dst.bytes.data()), c.want) << c.what;
        EXPECT_EQ(dst.str(), c.buf) << c.what;
    }
}

TEST(StrEdit, ShiftChar) {
    struct Case {
        const char* in;
        int n;
        char ch;
        const char* want;
    } const cases[] = {
        {"abc", 2, 'a', "bca"},   {"abc", 3, 'a', "abc"}, {"abc", -2, 'c', "cab"},
        {"abc", -3, 'c', "abc"},  {"abc", 1, 'a', "bac"}, {"abc", -1, 'b', "bac"},
        {"abc", 0, 'a', "abc"},   {"abc", 1, 'z', "abc"}, {"abc", -1, '\0', "abc"},
        {"abca", 1, 'a', "baca"}, {"", 1, 'a', ""},
    };
    for (const auto& c : cases) {
        Buffer buf(std::string(c.in) + '\0');
        ShiftChar(buf.bytes.data(), c.n, c.ch);
        EXPECT_EQ(buf.str(), std::string(c.want) + '\0' + std::string(7 - std::strlen(c.want), '#'))
            << c.in << " n=" << c.n << " ch=" << c.ch;
    }
    ShiftChar(nullptr, 1, 'a');
}

TEST(StrEdit, DecimalPointAndSuffixCut) {
    std::string num = "1,5,0";
    comma_to_decpt(num.data());
    EXPECT_EQ(num, "1.5.0");
    comma_to_decpt(nullptr);

    struct Case {
        const char* end;
        const char* s;
        const char* want;
    } const cases[] = {
        {".txt", "a.txt", "a"}, {".TXT", "a.txt", "a.txt"}, {"", "ab", "ab"},
        {"abc", "bc", "bc"},    {"ab", "ab", ""},           {nullptr, "ab", "ab"},
    };
    for (const auto& c : cases) {
        std::string s = c.s;
        strip_suffix(c.end, s.data());
        EXPECT_STREQ(s.c_str(), c.want) << pstr(c.end) << " | " << c.s;
    }
    strip_suffix(".c", nullptr);
}

TEST(StrEdit, PrependRefusesWhatDoesNotFit) {
    struct Case {
        std::string init;
        const char* src;
        int cap, want;
        std::string buf;
    } const cases[] = {
        {"world\0"s, "ab", 8, 1, "abworld\0"s},  {"world\0"s, "abc", 8, 0, "world\0##"s},
        {"world\0"s, "", 8, 1, "world\0##"s},    {"\0"s, "abc", 8, 1, "abc\0####"s},
        {"########", "abc", 8, 1, "abc\0####"s}, {"x\0"s, "abcdefgh", 8, 0, "x\0######"s},
        {"x\0"s, "abcdefg", 8, 0, "x\0######"s}, {"x\0"s, "abcdef", 8, 1, "abcdefx\0"s},
        {"x\0"s, "a", 1, 0, "x\0######"s},       {"x\0"s, nullptr, 8, 0, "x\0######"s},
    };
    for (const auto& c : cases) {
        Buffer buf(c.init);
        EXPECT_EQ(prepend(c.src, buf.bytes.data(), c.cap), c.want) << pstr(c.src);
        EXPECT_EQ(buf.str(), c.buf) << pstr(c.src);
    }
    EXPECT_EQ(prepend("a", nullptr, 8), 0);
}

}  // namespace
}  // namespace upd
