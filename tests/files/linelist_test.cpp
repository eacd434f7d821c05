// Whole files read as lists of lines, kept whole or cut after the first word.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/file.h"
#include "support/tempdir.h"

namespace upd {
namespace {

using Lines = std::vector<std::string>;

class LineListTest : public ::testing::Test {
  protected:
    std::string Write(const std::string& content) {
        const std::string path = dir_ / ("f" + std::to_string(files_++));
        upd::testing::WriteAll(path, content);
        return path;
    }

    upd::testing::TempDir dir_;
    int files_ = 0;
};

TEST_F(LineListTest, ReadsLinesAsTheReaderDeliversThem) {
    const std::string long_line(600, 'x');
    struct Case {
        const char* name;
        std::string content;
        Lines want;
    } const cases[] = {
        {"empty file", "", {}},
        {"no final line feed", "a\nb", {"a", "b"}},
        {"blank second line", "one\n  \t\nthree\n", {"one", "", "three"}},
        {"comments are ordinary lines", "# c\n;d\n", {"# c", ";d"}},
        {"CR LF, tabs, trailing blanks", "k\tv  \r\n", {"k       v"}},
        {"line of 600 ends the reading", "1\n2\n" + long_line + "\n4\n", {"1", "2"}},
        {"511 characters fit", std::string(511, 'y') + "\n", {std::string(511, 'y')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LineList* list = reinterpret_cast<LineList*>(this);  // must be replaced
        ASSERT_EQ(ReadFile(Write(c.content).c_str(), &list), 1);
        Lines got;
        for (const LineList* p = list; p != nullptr; p = p->next) {
            got.emplace_back(p->text);
        }
        EXPECT_EQ(got, c.want);
        FreeFile(&list);
        EXPECT_EQ(list, nullptr);
    }
}

TEST_F(LineListTest, CutsEveryLineAfterItsFirstWord) {
    struct Case {
        const char* name;
        std::string content;
        Lines want;  // first|rest per line
    } const cases[] = {
        {"version line", "V2.0\n", {"V2.0|"}},
        {"leading blanks stay in first", "  Mode = 3\n", {"  Mode| = 3"}},
        {"parenthesis", "Gain(2) = 5\n", {"Gain|(2) = 5"}},
        {"only spaces", "   \n", {"|"}},
        {"tab becomes a space cut", "Key\tv\n", {"Key|     v"}},
        {"three lines, blank middle", "V1\n\nA b\n", {"V1|", "|", "A| b"}},
        {"empty file", "", {}},
        {"no final line feed", "V1\nA b", {"V1|", "A| b"}},
        {"line of 600 ends the reading", "V1\n" + std::string(600, 'x') + "\nA b\n", {"V1|"}},
    };
    auto cut = [](LineList2* list) {
        Lines got;
        for (const LineList2* p = list; p != nullptr; p = p->next) {
            got.push_back(std::string(p->first) + "|" + p->rest);
        }
        FreeFile2(&list);
        return got;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LineList2* list = nullptr;
        ASSERT_EQ(ReadFile2(Write(c.content).c_str(), &list), 1);
        EXPECT_EQ(cut(list), c.want);
        // Bytes held in memory read as a file of those bytes does.
        LineList2* fromMemory = reinterpret_cast<LineList2*>(this);  // must be replaced
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.content.data());
        ASSERT_EQ(ReadMemory2(bytes, c.content.size(), &fromMemory), 1);
        EXPECT_EQ(cut(fromMemory), c.want);
    }
}

TEST_F(LineListTest, FirstAndRestRebuildTheNormalisedFile) {
    const std::string content = "V3.1\r\n  Rate 5  \n\nName(3)=x\n# note (a)\n";
    LineList2* list = nullptr;
    ASSERT_EQ(ReadFile2(Write(content).c_str(), &list), 1);
    std::string rebuilt;
    for (const LineList2* p = list; p != nullptr; p = p->next) {
        rebuilt += std::string(p->first) + p->rest + "\n";
    }
    EXPECT_EQ(rebuilt, "V3.1\n  Rate 5\n\nName(3)=x\n# note (a)\n");
    FreeFile2(&list);
}

TEST_F(LineListTest, FailuresLeaveTheCallersListUntouched) {
    LineList* list = reinterpret_cast<LineList*>(this);
    LineList2* list2 = reinterpret_cast<LineList2*>(this);
    const std::string missing = dir_ / "missing";
    EXPECT_EQ(ReadFile(missing.c_str(), &list), 0);
    EXPECT_EQ(ReadFile2(missing.c_str(), &list2), 0);
    EXPECT_EQ(ReadFile(nullptr, &list), 0);
    EXPECT_EQ(list, reinterpret_cast<LineList*>(this));
    EXPECT_EQ(list2, reinterpret_cast<LineList2*>(this));
    FreeFile(nullptr);
    FreeFile2(nullptr);
    LineList* empty = nullptr;
    FreeFile(&empty);
    EXPECT_EQ(empty, nullptr);
}

}  // namespace
}  // namespace upd
