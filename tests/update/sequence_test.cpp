// BuildSectionList on manifests loaded into the store, and the operations'
// refusals of values longer than any manifest line can hold.
#include <sys/stat.h>

#include <filesystem>

#include "op_fixture.h"

namespace upd::testing {
namespace {

using Names = std::vector<std::string>;
using Keys = std::vector<std::pair<std::string, std::string>>;

Names Collect(const Section* list) {
    Names names;
    for (; list != nullptr; list = list->next) {
        names.emplace_back(list->name);
    }
    return names;
}

class SequenceTest : public StoreTest {
  public:
    void TearDown() override {
        FreeSectionList(&list);
        StoreTest::TearDown();
    }

    Section* list = nullptr;
};

TEST_F(SequenceTest, Expansion) {
    struct Case {
        const char* what;
        std::string lists;  // pairs of the section SectionList
        int result;
        Names names;
    };
    const Case cases[] = {
        {"flat", "Sequence = A, B ,C", 1, {"A", "B", "C"}},
        {"nested in place", "Sequence = A, B\nB = C, D", 1, {"A", "C", "D"}},
        {"deep and in order",
         "Sequence = L1, E\nL1 = A, L2, D\nL2 = B, C",
         1,
         {"A", "B", "C", "D", "E"}},
        {"a list twice is no cycle", "Sequence = L, X, L\nL = A, B", 1, {"A", "B", "X", "A", "B"}},
        {"the same list nested twice", "Sequence = M, M\nM = L, L\nL = A", 1, {"A", "A", "A", "A"}},
        {"empty item kept as a name", "Sequence = A,,B", 1, {"A", "", "B"}},
        {"empty Sequence", "Sequence =", 0, {}},
        {"Sequence refers to itself", "Sequence = A, Sequence", 0, {"A"}},
        {"two-step loop keeps what came before",
         "Sequence = X, A, Y\nA = B\nB = Z, A",
         0,
         {"X", "Z"}},
        {"empty sub-list keeps what came before", "Sequence = A, B, C\nB =", 0, {"A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreeAuxInfo();
        FreeSectionList(&list);
        Load(ManifestText().Line("SectionList").Line(c.lists));
        EXPECT_EQ(BuildSectionList("SectionList", "Sequence", &list), c.result);
        EXPECT_EQ(Collect(list), c.names);
    }
}

TEST_F(SequenceTest, WithoutTheListSectionTheKeyIsTheName) {
    Load(ManifestText().Section("Other", {{"Sequence", "A, B"}}));
    ASSERT_EQ(BuildSectionList("SectionList", "Sequence", &list), 1);
    EXPECT_EQ(Collect(list), Names{"Sequence"});
}

TEST_F(SequenceTest, AppendsAfterAnExistingList) {
    Load(ManifestText().Section("SectionList", {{"Sequence", "A, B"}}));
    ASSERT_EQ(BuildSectionList("SectionList", "Sequence", &list), 1);
    ASSERT_EQ(BuildSectionList("SectionList", "C", &list), 1);
    EXPECT_EQ(Collect(list), (Names{"A", "B", "C"}));
}

TEST_F(SequenceTest, ListValueOf512CharactersIsRefused) {
    Load(ManifestText().Section("SectionList", {{"Sequence", "A"}}));
    Inject("SectionList", "Sequence", std::string(511, 'a'));
    ASSERT_EQ(BuildSectionList("SectionList", "Sequence", &list), 1);
    EXPECT_EQ(Collect(list), Names{std::string(511, 'a')});
    FreeSectionList(&list);
    Inject("SectionList", "Sequence", std::string(512, 'a'));
    EXPECT_EQ(BuildSectionList("SectionList", "Sequence", &list), 0);
    EXPECT_EQ(list, nullptr);
}

// The limit counts every name of the run list, those already in it too, and
// nested lists name for name; a list one name over it fails with the names up
// to the limit kept.
TEST_F(SequenceTest, EntryLimitBoundary) {
    struct Case {
        const char* what;
        Names before;
        std::size_t limit;
        int result;
        Names names;
    };
    const Case cases[] = {
        {"exactly the limit", {}, 5, 1, {"A", "B", "A", "B", "C"}},
        {"one over", {}, 4, 0, {"A", "B", "A", "B"}},
        {"existing names count", {"X"}, 6, 1, {"X", "A", "B", "A", "B", "C"}},
        {"existing names count, one over", {"X"}, 5, 0, {"X", "A", "B", "A", "B"}},
        {"a full list takes no more", {"X"}, 1, 0, {"X"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreeAuxInfo();
        FreeSectionList(&list);
        Load(ManifestText().Line("SectionList").Line("Sequence = L, L, C\nL = A, B"));
        for (const std::string& name : c.before) {
            ASSERT_EQ(BuildSectionList("SectionList", name.c_str(), &list), 1);
        }
        EXPECT_EQ(BuildSectionList("SectionList", "Sequence", &list, c.limit), c.result);
        EXPECT_EQ(Collect(list), c.names);
    }
}

// A chain of lists deeper than any recursion could go ends normally.
TEST_F(SequenceTest, VeryDeepChainDoesNotExhaustTheStack) {
    constexpr int kDepth = 20000;
    std::string text = "SectionList\nSequence = L0\n";
    for (int i = 0; i < kDepth; ++i) {
        text += "L" + std::to_string(i) + " = L" + std::to_string(i + 1) + "\n";
    }
    Load(ManifestText().Line(text));
    ASSERT_EQ(BuildSectionList("SectionList", "Sequence", &list), 1);
    EXPECT_EQ(Collect(list), Names{"L" + std::to_string(kDepth)});
}

// Values a manifest line cannot carry (it holds at most 254 characters), put
// into the store directly: the refusals still hold.
TEST_F(SequenceTest, OverlongValuesOfOperations) {
    Load(ManifestText().Section("S", {{"Operation", "x"}}));
    struct Case {
        const char* key;
        int (*operation)(const char*, UpdateInfo*);
        int code;
    };
    const Case cases[] = {
        {"file1", RemoveFiles, 656},     {"DestDir", BackupFiles, 611},
        {"SrcDir1", BackupFiles, 611},   {"DestDir1", BackupFiles, 603},
        {"SrcDir2", BackupFiles, 611},   {"DestDir2", BackupFiles, 603},
        {"DataPath1", FlashUpdate, 636},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        FreeAuxInfo();
        Load(ManifestText().Section("S", {{"Operation", "x"}}));
        Inject("S", c.key, std::string(513, '/'));
        info.errorCode = 0;
        c.operation("S", &info);  // 513 characters fit
        EXPECT_NE(info.errorCode, c.code);
        FreeAuxInfo();
        Load(ManifestText().Section("S", {{"Operation", "x"}}));
        Inject("S", c.key, std::string(514, '/'));
        EXPECT_EQ(c.operation("S", &info), 0);
        EXPECT_EQ(info.errorCode, c.code);
    }
}

// The optional SHA256Hash of ConfigUpdate and FlashUpdate has a 512-byte
// buffer: a value that does not fit is refused with the operation's code
// before any key is found missing; one that fits is not.
TEST_F(SequenceTest, OverlongDigestOfConfigAndFlash) {
    struct Case {
        int (*operation)(const char*, UpdateInfo*);
        int tooLong;
        int firstAbsent;
    };
    for (const Case& c : {Case{ConfigUpdate, 624, 618}, Case{FlashUpdate, 636, 634}}) {
        for (int length : {511, 512}) {
            SCOPED_TRACE(length);
            FreeAuxInfo();
            Load(ManifestText().Section("S", {{"Operation", "x"}}));
            Inject("S", "SHA256Hash", std::string(length, 'a'));
            EXPECT_EQ(c.operation("S", &info), 0);
            EXPECT_EQ(info.errorCode, length == 512 ? c.tooLong : c.firstAbsent);
        }
    }
}

}  // namespace
}  // namespace upd::testing
