// Comparison functions of the string library: equality, prefixes, suffixes,
// fields and name-to-value tables, with their null and empty rules.
#include <gtest/gtest.h>

#include "util/str.h"

namespace upd {
namespace {

TEST(StrEquality, NullCaseAndHighBytes) {
    struct Case {
        const char* s;
        const char* t;
        int streq_want, eq_want, eqwosp_want;
    } const cases[] = {
        {nullptr, nullptr, 1, 1, 1}, {nullptr, "", 0, 0, 0},    {"", nullptr, 0, 0, 0},
        {"", "", 1, 1, 1},           {"ABC", "abc", 0, 1, 1},   {"abc", "abcd", 0, 0, 0},
        {"abcd", "abc", 0, 0, 0},    {"\xC4", "\xE4", 0, 0, 0}, {"\xC4x", "\xC4X", 0, 1, 1},
        {"a b", "ab ", 0, 0, 1},     {" A B ", "ab", 0, 0, 1},  {"a\tb", "ab", 0, 0, 0},
        {"@", "`", 0, 0, 0},         {"[", "{", 0, 0, 0},       {"   ", "", 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(pstr(c.s)) + " | " + pstr(c.t));
        EXPECT_EQ(streq(c.s, c.t), c.streq_want);
        EXPECT_EQ(eq(c.s, c.t), c.eq_want);
        EXPECT_EQ(eqwosp(c.s, c.t), c.eqwosp_want);
    }
}

TEST(StrEquality, EqnComparesAtMostNCharacters) {
    struct Case {
        const char* s;
        const char* t;
        int n, want;
    } const cases[] = {
        {"ABCdef", "abcXYZ", 3, 1}, {"ABCdef", "abcXYZ", 4, 0}, {"ab", "AB", 10, 1},
        {"ab", "abc", 10, 0},       {"abc", "ab", 3, 0},        {"x", "y", 0, 1},
        {"x", "y", -5, 1},          {nullptr, nullptr, 3, 1},   {nullptr, "a", 3, 0},
        {"\xE4", "\xC4", 1, 0},     {"\xE4z", "\xE4Z", 2, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eqn(c.s, c.t, c.n), c.want) << pstr(c.s) << " | " << pstr(c.t) << " n=" << c.n;
    }
}

TEST(StrEquality, EqlMatchesAnyOfTheList) {
    EXPECT_EQ(eql("Volt", 3, "amp", "VOLT", "ohm"), 1);
    EXPECT_EQ(eql("volt", 2, "amp", "ohm"), 0);
    EXPECT_EQ(eql("volt", 0), 0);
    EXPECT_EQ(eql(nullptr, 2, "a", static_cast<const char*>(nullptr)), 1);
}

TEST(StrAffixes, PrefixBeqAndSuffix) {
    struct Case {
        const char* p;
        const char* s;
        int prefix_want, Prefix_want, beq_want, suffix_want;
    } const cases[] = {
        {nullptr, nullptr, 1, 1, 1, 1},    {"", "", 1, 1, 1, 1},
        {"a", nullptr, 0, 0, 0, 0},        {"a", "", 0, 0, 0, 0},
        {"MEAS", "meas:volt", 1, 0, 1, 0}, {"meas", "meas", 1, 1, 1, 1},
        {"meas", "mea", 0, 0, 0, 0},       {"x", " \tx1", 0, 0, 1, 0},
        {".c", "dpr.C", 0, 0, 0, 1},       {".C", "dpr.c", 0, 0, 0, 1},
        {"\xE4", "\xC4", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(pstr(c.p)) + " | " + pstr(c.s));
        EXPECT_EQ(prefix(c.p, c.s), c.prefix_want);
        EXPECT_EQ(Prefix(c.p, c.s), c.Prefix_want);
        EXPECT_EQ(beq(c.s, c.p), c.beq_want);
        EXPECT_EQ(suffix(c.p, c.s), c.suffix_want);
    }
}

TEST(StrFields, FeqComparesTheTrimmedField) {
    const char* line = "ab  Volt \tcd";
    struct Case {
        const char* s;
        int first, last;
        const char* word;
        int want;
    } const cases[] = {
        {line, 2, 9, "VOLT", 1}, {line, 4, 7, "volt", 1}, {line, 4, 6, "volt", 0},
        {line, 2, 3, "", 1},     {line, 9, 8, "", 0},     {line, 10, 40, "cd", 1},
        {line, 30, 40, "", 1},   {nullptr, 0, 1, "a", 0}, {line, 0, 1, nullptr, 0},
        {line, -1, 1, "ab", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(feq(c.s, c.first, c.last, c.word), c.want)
            << c.first << ".." << c.last << " " << pstr(c.word);
    }
}

TEST(StrMatch, FirstNameIgnoringCaseElseTerminator) {
    static const int kVolt = 1, kAmp = 2, kNone = 3;
    const StringList table[] = {
        {"volt", &kVolt}, {"amp", &kAmp}, {"VOLT", &kAmp}, {nullptr, &kNone}};
    EXPECT_EQ(StringMatch("VoLt", table), &kVolt);
    EXPECT_EQ(StringMatch("amp", table), &kAmp);
    EXPECT_EQ(StringMatch("ohm", table), &kNone);
    EXPECT_EQ(StringMatch(nullptr, table), &kNone);
    EXPECT_EQ(StringMatch("volt", nullptr), nullptr);
}

}  // namespace
}  // namespace upd
