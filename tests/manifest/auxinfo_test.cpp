// The manifest store: the manifest format as loaded, lookups at their size
// boundaries, failed loads that leave the store as it was, and nvline.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "manifest/auxinfo.h"
#include "support/manifest_text.h"
#include "support/tempdir.h"

namespace upd {
namespace {

class AuxInfoTest : public ::testing::Test {
  protected:
    void SetUp() override { FreeAuxInfo(); }
    void TearDown() override { FreeAuxInfo(); }

    static int LoadText(const std::string& text) { return testing::LoadManifestText(text); }

    struct Lookup {
        int result;
        bool found;
        std::string dst;
    };

    // Looks a key up into a buffer of dstsize bytes prefilled with '?'
    // characters, so that an untouched buffer shows.
    static Lookup Get(const char* section, const char* key, int dstsize = 256) {
        const size_t room = dstsize > 0 ? static_cast<size_t>(dstsize) : 0;
        std::vector<char> dst(room + 1, '\0');
        std::memset(dst.data(), '?', room > 0 ? room - 1 : 0);
        bool found = true;
        const int r = GetAuxInfo(section, key, dst.data(), dstsize, &found);
        return {r, found, dst.data()};
    }
};

TEST_F(AuxInfoTest, ManifestFormatRules) {
    const std::string manifest =
        "SectionList\n"
        "# comment\n"
        "\n"
        "Sequence = A , B\n"
        "  Indented\n"
        "Key=\n"
        "[Main]\n"
        "Cmd = a=b\n"
        "=nameless\n"
        "Tab\t=x\ty\n"
        "Quoted = \"q v\" \r\n"
        "Dup\n"
        "k = first\n"
        "k = second\n"
        "Dup\n"
        "k = third\n"
        "only2 = z\n"
        "case=lower\n";
    ASSERT_EQ(LoadText(manifest), 1);
    struct Case {
        const char* section;
        const char* key;
        int result;
        bool found;
        const char* value;  // null: dst untouched
    } const cases[] = {
        {"SectionList", "Sequence", 1, true, "A , B"},
        {"Indented", "Key", 1, false, nullptr},
        {"  Indented", "Key", 1, true, ""},
        {"[Main]", "Cmd", 1, true, "a=b"},
        {"Main", "Cmd", 1, false, nullptr},
        {"[Main]", "", 1, true, "nameless"},
        {"[Main]", "Tab", 1, true, "x      y"},
        {"[Main]", "Quoted", 1, true, "\"q v\""},
        {"Dup", "k", 1, true, "first"},
        {"Dup", "only2", 1, false, nullptr},
        {"dup", "k", 1, false, nullptr},
        {"Dup", "CASE", 1, false, nullptr},
        {"Missing", "k", 1, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        const Lookup got = Get(c.section, c.key);
        EXPECT_EQ(got.result, c.result);
        EXPECT_EQ(got.found, c.found);
        EXPECT_EQ(got.dst, c.value ? c.value : std::string(255, '?'));
    }
}

TEST_F(AuxInfoTest, LookupSizeBoundaries) {
    const std::string v63(63, 'v');
    ASSERT_EQ(LoadText("S\nv63=" + v63 + "\nv64=" + v63 + "w\nempty=\n"), 1);
    struct Case {
        const char* key;
        int dstsize;
        int result;
        bool found;
        std::string dst;
    } const cases[] = {
        {"v63", 64, 1, true, v63},       {"v64", 64, 0, true, std::string(63, '?')},
        {"v64", 65, 1, true, v63 + "w"}, {"v63", 63, 0, true, std::string(62, '?')},
        {"empty", 1, 1, true, ""},       {"empty", 0, 0, true, ""},
        {"v63", -1, 0, true, ""},        {"none", 0, 1, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " in " + std::to_string(c.dstsize));
        const Lookup got = Get("S", c.key, c.dstsize);
        EXPECT_EQ(got.result, c.result);
        EXPECT_EQ(got.found, c.found);
        EXPECT_EQ(got.dst, c.dst);
    }
    bool found = true;
    EXPECT_EQ(GetAuxInfo("S", "v63", nullptr, 64, &found), 0);
    EXPECT_TRUE(found);
    EXPECT_EQ(GetAuxInfo(nullptr, "v63", nullptr, 64, &found), 1);
    EXPECT_FALSE(found);
}

TEST_F(AuxInfoTest, FailedLoadLeavesStoreAsItWas) {
    ASSERT_EQ(LoadText("Kept\nk=v\n"), 1);
    AuxSection* const before = aux_Section;
    const std::string long_line(256, 'x');
    struct Case {
        const char* name;
        std::string text;
    } const cases[] = {
        {"pair before the first section", "k=v\nS\n"},
        {"pair after comments but before a section", "# c\n\nk=v\n"},
        {"over-long section line", "S\n" + long_line + "\n"},
        {"over-long pair line after sections", "A\na=1\nB\nb=" + long_line + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LoadText(c.text), 0);
        EXPECT_EQ(aux_Section, before);
        EXPECT_EQ(Get("Kept", "k").dst, "v");
    }
}

TEST_F(AuxInfoTest, LinesAtTheLengthLimit) {
    const std::string value(251, 'v');  // "k = " + 251 = 255 characters
    const std::string comment = "#" + std::string(400, 'c');
    ASSERT_EQ(LoadText("S\n" + comment + "\nk = " + value + " \t \n"), 1);
    EXPECT_EQ(Get("S", "k").dst, value);
    const std::string name(254, 'n');
    ASSERT_EQ(LoadText(name + "=\n"), 0) << "pair before a section";
    ASSERT_EQ(LoadText(name + "\n" + name + "=\n"), 1);
    EXPECT_EQ(Get(name.c_str(), name.c_str()).found, true);
}

TEST_F(AuxInfoTest, EmptyManifestsLoadAsEmptyStore) {
    for (const char* text : {"", "\n\n", "# only\n; comments\n \t \n"}) {
        ASSERT_EQ(LoadText("S\nk=v\n"), 1);
        EXPECT_EQ(LoadText(text), 1) << text;
        EXPECT_EQ(aux_Section, nullptr);
        EXPECT_FALSE(Get("S", "k").found);
    }
}

TEST_F(AuxInfoTest, ReadsFilesByPath) {
    upd::testing::TempDir dir;
    upd::testing::WriteAll(dir / "AuxInfo.txt", "SectionList\r\nSequence=A,B\r\n");
    EXPECT_EQ(ReadAuxInfo((dir / "missing.txt").c_str()), 0);
    upd::testing::MakeFifo(dir / "fifo.txt");  // refused without blocking
    EXPECT_EQ(ReadAuxInfo((dir / "fifo.txt").c_str()), 0);
    EXPECT_EQ(ReadAuxInfo(nullptr), 0);
    EXPECT_EQ(ReadAuxInfoStream(nullptr), 0);
    EXPECT_EQ(aux_Section, nullptr);
    ASSERT_EQ(ReadAuxInfo((dir / "AuxInfo.txt").c_str()), 1);
    EXPECT_EQ(Get("SectionList", "Sequence").dst, "A,B");
    ShowAuxInfo();
    EXPECT_EQ(Get("SectionList", "Sequence").dst, "A,B");
}

TEST_F(AuxInfoTest, SectionsByIndex) {
    ASSERT_EQ(LoadText("First\nSecondName\n"), 1);
    struct Case {
        int index;
        int dstsize;
        int result;
        bool found;
        std::string dst;
    } const cases[] = {
        {-1, 64, 0, false, "-"}, {0, 64, 1, true, "First"}, {1, 64, 1, true, "SecondName"},
        {2, 64, 1, false, "-"},  {1, 10, 0, false, "-"},    {1, 11, 1, true, "SecondName"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        char dst[64] = "-";
        bool found = true;
        EXPECT_EQ(GetSection(c.index, dst, c.dstsize, &found), c.result);
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(std::string(dst), c.dst);
    }
}

TEST_F(AuxInfoTest, FreeingTwiceOrEmptyIsHarmless) {
    FreeAuxInfo();
    FreeAuxInfo();
    ASSERT_EQ(LoadText("S\nk=v\n"), 1);
    FreeAuxInfo();
    EXPECT_EQ(aux_Section, nullptr);
    FreeAuxInfo();
    EXPECT_EQ(aux_Section, nullptr);
}

TEST(NvLine, SplitsAtTheFirstEquals) {
    struct Case {
        const char* line;
        int namesize;
        int valuesize;
        int result;
        const char* name;
        const char* value;
    } const cases[] = {
        {"  Cmd \t= a=b  ", 16, 16, 1, "Cmd", "a=b"},
        {"=v", 16, 16, 1, "", "v"},
        {"k=", 16, 16, 1, "k", ""},
        {"no equals ", 16, 16, 1, "no equals", ""},
        {" = ", 16, 16, 1, "", ""},
        {nullptr, 16, 16, 1, "", ""},
        {"abcd=xy", 5, 16, 1, "abcd", "xy"},
        {"abcde=xy", 5, 16, 0, "abcd", ""},
        {"k=wxyz", 16, 5, 1, "k", "wxyz"},
        {"k=vwxyz", 16, 5, 0, "k", "vwxy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line ? c.line : "(null)");
        char name[17];
        char value[17];
        std::memset(name, 'N', sizeof name);
        std::memset(value, 'V', sizeof value);
        EXPECT_EQ(nvline(c.line, name, c.namesize, value, c.valuesize), c.result);
        EXPECT_STREQ(name, c.name);
        EXPECT_STREQ(value, c.value);
        EXPECT_EQ(name[c.namesize], 'N') << "wrote past the name buffer";
        EXPECT_EQ(value[c.valuesize], 'V') << "wrote past the value buffer";
    }
    char one[1] = {'x'};
    EXPECT_EQ(nvline("k=v", one, 0, one, 0), 0);
    EXPECT_EQ(one[0], 'x');
}

}  // namespace
}  // namespace upd
