// Name-value list parsers: nvlist pieces, nvlist1 and nvlist2 records with
// every position, and nv_Explode's long and short combinations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/nv.h"

namespace upd {
namespace {

using Strings = std::vector<std::string>;

Strings Pieces(const char* text) {
    char** items = nullptr;
    EXPECT_EQ(nvlist(text, &items), 1);
    Strings out;
    for (char** p = items; p != nullptr && *p != nullptr; ++p) {
        out.emplace_back(*p);
    }
    free_nvlist(items);
    return out;
}

TEST(NvList, OnePieceForEachEquals) {
    struct Case {
        const char* text;
        Strings want;
    } const cases[] = {
        {"a=1 b=2", {"a=1", "b=2"}},
        {"a = 1", {"a = 1"}},
        {"  x  =  y  z", {"x  =  y"}},
        {nullptr, {}},
        {"no equals here", {}},
        {"a=bd=e", {"a=bd", "bd=e"}},
        {"k==v", {"k=", "=v"}},
        {"=", {"="}},
        {"x =", {"x ="}},
        {"= y", {"= y"}},
        {"a\t=1", {"a\t=1"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Pieces(c.text), c.want) << (c.text ? c.text : "(null)");
    }
    free_nvlist(nullptr);
}

// One record as text: name@pos =eq value@pos ;semi, with - for none.
std::string Show(const nv& item) {
    auto part = [](const char* s, int pos) {
        return (s ? std::string(s) : "-") + "@" + std::to_string(pos);
    };
    std::string out = part(item.name, item.name_pos) + " =" + std::to_string(item.eq_pos) + " " +
                      part(item.value, item.value_pos) + " ;" + std::to_string(item.semi_pos);
    const uint16_t want_flags = item.semi_pos >= 0 ? kNvEndedBySemicolon : 0;
    if (item.flags != want_flags || item.flags2 != want_flags) {
        out += " (bad flags)";
    }
    return out;
}

Strings Records(int (*parse)(const char*, nv**), const char* text) {
    nv* list = reinterpret_cast<nv*>(&list);  // must be replaced
    const int count = parse(text, &list);
    Strings out;
    for (const nv* p = list; p != nullptr; p = p->next) {
        out.push_back(Show(*p));
    }
    EXPECT_EQ(count, static_cast<int>(out.size()));
    free_nvlist1(list);
    return out;
}

struct RecordCase {
    const char* text;
    Strings want;
};

TEST(NvList1, RecordsWithPositions) {
    const RecordCase cases[] = {
        {"a = 1 ; b = two words ; z",
         {"a@0 =2 1@4 ;6", "b@8 =10 two words@12 ;22", "z@24 =-1 -@-1 ;-1"}},
        {"a=1 b z=2", {"a@0 =1 1 b@2 ;-1", "z@6 =7 2@8 ;-1"}},
        {"a=1 b=2", {"a@0 =1 1@2 ;-1", "b@4 =5 2@6 ;-1"}},
        {"a = b = z", {"a@0 =2 b@4 ;-1", "-@-1 =6 z@8 ;-1"}},
        {"a b = z d", {"a b@0 =4 z d@6 ;-1"}},
        {"a;;b", {"a@0 =-1 -@-1 ;1", "b@3 =-1 -@-1 ;-1"}},
        {"k=v;", {"k@0 =1 v@2 ;3"}},
        {"=", {}},
        {"=\t=", {}},
        {" = ; = ;", {}},
        {"=1", {"-@-1 =0 1@1 ;-1"}},
        {"a=", {"a@0 =1 -@-1 ;-1"}},
        {"a\t=\t1", {"a@0 =2 1@4 ;-1"}},
        {"a==b", {"a@0 =1 -@-1 ;-1", "-@-1 =2 b@3 ;-1"}},
        {"a=b=c", {"a@0 =1 b@2 ;-1", "-@-1 =3 c@4 ;-1"}},
        {"two words ; x = \"q ;", {"two words@0 =-1 -@-1 ;10", "x@12 =14 \"q@16 ;19"}},
        {"", {}},
        {" ;; \t;", {}},
        {nullptr, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Records(nvlist1, c.text), c.want) << (c.text ? c.text : "(null)");
    }
}

TEST(NvList2, SplitsNamesOfSeveralWords) {
    const RecordCase cases[] = {
        {"a b = z d", {"a@0 =-1 -@-1 ;-1", "b@2 =4 z d@6 ;-1"}},
        {"p q r=1;s t=2",
         {"p@0 =-1 -@-1 ;-1", "q@2 =-1 -@-1 ;-1", "r@4 =5 1@6 ;7", "s@8 =-1 -@-1 ;-1",
          "t@10 =11 2@12 ;-1"}},
        {"two words ; z", {"two words@0 =-1 -@-1 ;10", "z@12 =-1 -@-1 ;-1"}},
        {"a=1 b c=2", {"a@0 =1 1 b@2 ;-1", "c@6 =7 2@8 ;-1"}},
        {"\tx  y\t=", {"x@1 =-1 -@-1 ;-1", "y@4 =6 -@-1 ;-1"}},
        {"a = 1 ; b = two words ; z",
         {"a@0 =2 1@4 ;6", "b@8 =10 two words@12 ;22", "z@24 =-1 -@-1 ;-1"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Records(nvlist2, c.text), c.want) << c.text;
    }
}

TEST(NvList1, PositionsUpToTheLongestText) {
    const std::string at_limit = std::string(kNvMaxText - 7, ' ') + "ab = cd";
    const int base = kNvMaxText - 7;
    EXPECT_EQ(Records(nvlist1, at_limit.c_str()),
              Strings{"ab@" + std::to_string(base) + " =" + std::to_string(base + 3) + " cd@" +
                      std::to_string(base + 5) + " ;-1"});
    const std::string too_long = at_limit + " ";
    nv* list = reinterpret_cast<nv*>(&list);
    EXPECT_EQ(nvlist1(too_long.c_str(), &list), 0);
    EXPECT_EQ(list, nullptr);
    free_nvlist1(nullptr);
}

Strings Explode(std::vector<const char*> words) {
    words.push_back(nullptr);
    elist* list = nv_Explode(const_cast<char**>(words.data()));
    Strings out;
    for (const elist* p = list; p != nullptr; p = p->next) {
        out.emplace_back(p->text);
    }
    nv_ExplodeFree(list);
    return out;
}

TEST(NvExplode, LongAndShortCombinations) {
    struct Case {
        std::vector<const char*> words;
        Strings want;
    } const cases[] = {
        {{"MEASure", "VOLTage", "DC"},
         {"MEASureVOLTageDC", "MEASVOLTageDC", "MEASureVOLTDC", "MEASVOLTDC"}},
        {{"Frequency", "Aperture"},
         {"FrequencyAperture", "FreqAperture", "FrequencyAper", "FreqAper"}},
        {{"Resistance"}, {"Resistance", "Res"}},
        {{"FOURx"}, {"FOURx", "FOUR"}},
        {{"abcE5"}, {"abcE5", "abc"}},
        {{"ab", "cdef", ""}, {"abcdef"}},
        {{"ab", "Lowest", "x"}, {"abLowestx", "abLowx"}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Explode(c.words), c.want) << c.words.size() << " words";
    }
    EXPECT_EQ(nv_Explode(nullptr), nullptr);
    nv_ExplodeFree(nullptr);
}

TEST(NvExplode, RefusesListsBeyondTheMemoryBudget) {
    const std::string long_word(600, 'w');
    EXPECT_TRUE(Explode(std::vector<const char*>(17, long_word.c_str())).empty());
    EXPECT_TRUE(Explode(std::vector<const char*>(64, "Words")).empty());
    EXPECT_EQ(Explode(std::vector<const char*>(10, "Words")).size(), 1024u);
}

}  // namespace
}  // namespace upd
