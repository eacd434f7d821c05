// List splitting: mklist and mklist1 item rules, SplitString cuts,
// CharInList and MakeIntArray.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "manifest/nv.h"

namespace upd {
namespace {

using Items = std::vector<std::string>;

// The items of mklist1, or {"(null)"} for a null result.
Items Mklist1(const char* text, char sep) {
    char** list = mklist1(text, sep);
    if (list == nullptr) {
        return {"(null)"};
    }
    Items items;
    for (char** p = list; *p != nullptr; ++p) {
        items.emplace_back(*p);
    }
    free_mklist1(list);
    return items;
}

TEST(Mklist1, ItemRules) {
    const Items null_result = {"(null)"};
    struct Case {
        const char* text;
        char sep;
        Items want;
    } const cases[] = {
        {"a, b ,z", ',', {"a", "b", "z"}},
        {"a,,b", ',', {"a", "", "b"}},
        {"a, ,b", ',', {"a", "", "b"}},
        {",a", ',', {"", "a"}},
        {"a,b,", ',', {"a", "b"}},
        {"a,b, \t ", ',', {"a", "b"}},
        {" \t one  item \t", ',', {"one  item"}},
        {",", ',', {""}},
        {"x;y,z", ';', {"x", "y,z"}},
        {"   ", ',', null_result},
        {"", ',', null_result},
        {nullptr, ',', null_result},
        {"a b", ' ', null_result},
        {"a\tb", '\t', null_result},
        {"a", '\0', null_result},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Mklist1(c.text, c.sep), c.want)
            << (c.text ? c.text : "(null)") << " sep " << int(c.sep);
    }
    free_mklist1(nullptr);
}

TEST(Mklist, SplitsInPlaceWithOffsets) {
    char text[] = " a ,, b c ,";
    int offsets[4] = {-1, -1, -1, -1};
    ASSERT_EQ(mklist(text, offsets, ','), 3);
    EXPECT_STREQ(text + offsets[0], "a");
    EXPECT_STREQ(text + offsets[1], "");
    EXPECT_STREQ(text + offsets[2], "b c");
    EXPECT_EQ(offsets[3], -1) << "no item after the last separator";
    EXPECT_EQ(mklist(nullptr, offsets, ','), 0);
    EXPECT_EQ(mklist(text, offsets, ' '), -1);
}

TEST(SplitString, CutsAfterTheFirstWord) {
    struct Case {
        const char* text;
        const char* delims;
        const char* first;
        const char* rest;
    } const cases[] = {
        {"V1.5", " \t(", "V1.5", ""},
        {"  Rate 5", " \t(", "  Rate", " 5"},
        {"Name(3)", " \t(", "Name", "(3)"},
        {"( (x y", " \t(", "( (x", " y"},
        {" \t(", " \t(", " \t(", ""},
        {"", " ", "", ""},
        {nullptr, " ", "", ""},
        {"a b", nullptr, "a b", ""},
        {"a b", "", "a b", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        char* first = nullptr;
        char* rest = nullptr;
        ASSERT_EQ(SplitString(c.text, c.delims, &first, &rest), 1);
        EXPECT_STREQ(first, c.first);
        EXPECT_STREQ(rest, c.rest);
        std::free(first);
        std::free(rest);
    }
}

TEST(CharInList, FindsOnlyCharactersBeforeTheTerminator) {
    EXPECT_EQ(CharInList('(', " \t("), 1);
    EXPECT_EQ(CharInList('x', " \t("), 0);
    EXPECT_EQ(CharInList('\0', " \t("), 0);
    EXPECT_EQ(CharInList(' ', nullptr), 0);
    EXPECT_EQ(CharInList(static_cast<char>(0xE9), "a\xE9"), 1);
}

TEST(MakeIntArray, ConvertsOrRefusesWholeLists) {
    constexpr int kUntouched = 2;  // values left as they were
    struct Case {
        const char* text;
        int result;
        std::vector<int> values;  // empty: values set to null (or untouched)
        int untouched = 0;
    } const cases[] = {
        {"10, -2 ,+7", 3, {10, -2, 7}},
        {"1,,2", 3, {1, 0, 2}},
        {"-,+", 2, {0, 0}},
        {"2147483647,-2147483648", 2, {INT_MAX, INT_MIN}},
        {"0000000042", 1, {42}},
        {"1,x", 0, {}},
        {"12345678901", 0, {}},
        {"2147483648", 0, {}},
        {"-2147483649", 0, {}},
        {"9999999999", 0, {}},
        {"1 2", 0, {}},
        {"--1", 0, {}},
        {"", 0, {}, kUntouched},
        {nullptr, 0, {}, kUntouched},
        {"  ", 0, {}, kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        int sentinel = 0;
        int* values = &sentinel;
        const int n = MakeIntArray(c.text, ',', &values);
        EXPECT_EQ(n, c.result);
        if (c.untouched == kUntouched) {
            EXPECT_EQ(values, &sentinel);
            continue;
        }
        if (n == 0) {
            EXPECT_EQ(values, nullptr);
            continue;
        }
        EXPECT_EQ(std::vector<int>(values, values + n), c.values);
        std::free(values);
    }
}

}  // namespace
}  // namespace upd
