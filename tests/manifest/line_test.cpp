// The line reader: tab stops, buffer limits, skip modes and end of input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "manifest/line.h"

namespace upd {
namespace {

struct Read {
    int result;
    std::string text;
    int skipped;
};

// Reads `input` to the end (or to the first negative result) with nextline.
std::vector<Read> ReadAllLines(const std::string& input, int size, int mode) {
    FILE* f = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), f);
    std::rewind(f);
    std::vector<Read> reads;
    std::vector<char> buf(static_cast<size_t>(size) + 1, 'Z');
    for (;;) {
        int skipped = -7;
        const int r = nextline(f, buf.data(), size, mode, &skipped);
        reads.push_back({r, std::string(buf.data()), skipped});
        EXPECT_EQ(buf[static_cast<size_t>(size)], 'Z') << "wrote past size";
        if (r < 0) {
            break;
        }
    }
    std::fclose(f);
    return reads;
}

const std::string k255(255, 'x');

TEST(Nextline, DeliversLinesAsSpecifiedForEachInput) {
    struct Case {
        const char* name;
        std::string input;
        int size;
        int mode;
        std::vector<Read> want;
    } const cases[] = {
        {"no final line feed", "abc", 256, 0, {{3, "abc", 0}, {-1, "", 0}}},
        {"single line feed", "\n", 256, 0, {{0, "", 0}, {-1, "", 0}}},
        {"single line feed skipped", "\n", 256, 3, {{-1, "", 1}}},
        {"leading kept, trailing gone",
         "  key = value  \n",
         256,
         0,
         {{13, "  key = value", 0}, {-1, "", 0}}},
        {"tab to next stop", "a\tb\n", 256, 0, {{9, "a       b", 0}, {-1, "", 0}}},
        {"tab as ninth char", "12345678\tb", 256, 0, {{17, "12345678        b", 0}, {-1, "", 0}}},
        {"tab on a stop", "1234567\tb", 256, 0, {{9, "1234567 b", 0}, {-1, "", 0}}},
        {"CR LF and stray CR", "a\rb\r\nc\r\n", 256, 0, {{2, "ab", 0}, {1, "c", 0}, {-1, "", 0}}},
        {"255 fits", k255 + "\n", 256, 0, {{255, k255, 0}, {-1, "", 0}}},
        {"256 too long, rest of line consumed", k255 + "yz\nnext\n", 256, 0, {{-2, k255, 0}}},
        {"255 then blanks and tabs",
         k255 + " \t  \t\nnext",
         256,
         0,
         {{255, k255, 0}, {4, "next", 0}, {-1, "", 0}}},
        {"254 then tab stops short at the limit",
         std::string(254, 'x') + "\t\n",
         256,
         0,
         {{254, std::string(254, 'x'), 0}, {-1, "", 0}}},
        {"tab fill stops at the limit of a small buffer", "ab\tc", 6, 0, {{-2, "ab   ", 0}}},
        {"blank after a full small buffer", "abcde  \t", 6, 0, {{5, "abcde", 0}, {-1, "", 0}}},
        {"comments and blank lines skipped",
         "# c\n   ;x\n\t\nkey # not a comment\n",
         256,
         3,
         {{19, "key # not a comment", 3}, {-1, "", 0}}},
        {"comments kept in mode 1",
         "# c\n\nx\n",
         256,
         1,
         {{3, "# c", 0}, {1, "x", 1}, {-1, "", 0}}},
        {"blank lines kept in mode 2", "  \n#\nx", 256, 2, {{0, "", 0}, {1, "x", 1}, {-1, "", 0}}},
        {"too-long comment skipped", "#" + k255 + "\nx\n", 256, 3, {{1, "x", 1}, {-1, "", 0}}},
        {"too-long blank line skipped",
         std::string(300, ' ') + "\t\nx\n",
         256,
         3,
         {{1, "x", 1}, {-1, "", 0}}},
        {"too-long line blank in its stored part skipped",
         std::string(255, ' ') + "y\n",
         256,
         3,
         {{-1, "", 1}}},
        {"trailing skipped lines counted in the last call",
         "a\n#1\n\n  \n",
         256,
         3,
         {{1, "a", 0}, {-1, "", 3}}},
        {"empty input", "", 256, 0, {{-1, "", 0}}},
        {"size 2 holds one character", "ab\nc", 2, 0, {{-2, "a", 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = ReadAllLines(c.input, c.size, c.mode);
        ASSERT_EQ(got.size(), c.want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].result, c.want[i].result) << "call " << i;
            EXPECT_EQ(got[i].text, c.want[i].text) << "call " << i;
            EXPECT_EQ(got[i].skipped, c.want[i].skipped) << "call " << i;
        }
    }
}

TEST(Nextline, NextCallStartsAfterAnOverlongLine) {
    std::string input = std::string(300, 'x') + "\nnext\n";
    FILE* f = fmemopen(input.data(), input.size(), "r");
    char buf[16];
    int skipped = 0;
    EXPECT_EQ(nextline(f, buf, sizeof buf, 0, &skipped), -2);
    EXPECT_EQ(std::string(buf), std::string(15, 'x'));
    EXPECT_EQ(nextline(f, buf, sizeof buf, 0, &skipped), 4);
    EXPECT_STREQ(buf, "next");
    std::fclose(f);
}

TEST(Nextline, RefusesUnusableBufferWithoutReading) {
    std::string input = "abc\n";
    FILE* f = fmemopen(input.data(), input.size(), "r");
    char buf[4] = "zzz";
    int skipped = 5;
    EXPECT_EQ(nextline(f, nullptr, 10, 0, &skipped), -3);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(nextline(f, buf, 1, 0, &skipped), -3);
    EXPECT_EQ(nextline(f, buf, 0, 0, &skipped), -3);
    EXPECT_EQ(nextline(f, buf, -5, 0, &skipped), -3);
    EXPECT_STREQ(buf, "zzz");
    EXPECT_EQ(nextline(f, buf, sizeof buf, 0, &skipped), 3) << "stream was read";
    std::fclose(f);
    EXPECT_EQ(nextline(nullptr, buf, sizeof buf, 0, &skipped), -3);
    EXPECT_STREQ(buf, "");
}

TEST(Nextline, ReadErrorIsReported) {
    // A stream opened for writing only sets its error indicator on reading.
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    FILE* w = fdopen(dup(fileno(f)), "w");
    char buf[16];
    int skipped = 0;
    EXPECT_EQ(nextline(w, buf, sizeof buf, 0, &skipped), -3);
    std::fclose(w);
    std::fclose(f);
}

TEST(BlankAndCommentTests, ClassifyLines) {
    struct Case {
        const char* s;
        int blank;
        int comment;
    } const cases[] = {
        {nullptr, 1, 0}, {"", 1, 0},   {" \t ", 1, 0}, {"#", 0, 1},   {" \t;x", 0, 1},
        {"a#b", 0, 0},   {"\n", 0, 0}, {"\r#", 0, 0},  {" x ", 0, 0}, {"//", 0, 0},
    };
    for (const auto& c : cases) {
        const std::string shown = c.s ? c.s : "(null)";
        EXPECT_EQ(IsBlank(c.s), c.blank) << shown;
        EXPECT_EQ(iscomm(c.s), c.comment) << shown;
    }
}

}  // namespace
}  // namespace upd
