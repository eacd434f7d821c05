// Lookups in a large store answer exactly as a walk of the store in file
// order would: the first section of a name, the first pair of a name in it,
// also after a reload, a release, or lists extended by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "manifest/auxinfo.h"
#include "support/manifest_text.h"

namespace upd {
namespace {

class AuxIndexTest : public ::testing::Test {
  protected:
    void SetUp() override { FreeAuxInfo(); }
    void TearDown() override { FreeAuxInfo(); }

    static int LoadText(const std::string& text) { return testing::LoadManifestText(text); }

    // The value of key in section, "-" when either is missing.
    static std::string Get(const std::string& section, const std::string& key) {
        char dst[256] = {};
        bool found = false;
        EXPECT_EQ(GetAuxInfo(section.c_str(), key.c_str(), dst, sizeof dst, &found), 1);
        return found ? dst : "-";
    }

    // The same answer from a plain walk of the store.
    static std::string Walk(const std::string& section, const std::string& key) {
        for (const AuxSection* s = aux_Section; s != nullptr; s = s->next) {
            if (section == s->name) {
                for (const AuxPair* p = s->pairs; p != nullptr; p = p->next) {
                    if (key == p->name) {
                        return p->value;
                    }
                }
                return "-";
            }
        }
        return "-";
    }

    // Extends the loaded store "A: k = 1 ..., B" by hand and looks into it.
    static void ExtendByHand();

    static AuxSection* NewSection(const char* name) {
        auto* s = static_cast<AuxSection*>(std::calloc(1, sizeof(AuxSection)));
        s->name = ::strdup(name);
        return s;
    }
    static AuxPair* NewPair(const char* name, const char* value) {
        auto* p = static_cast<AuxPair*>(std::calloc(1, sizeof(AuxPair)));
        p->name = ::strdup(name);
        p->value = ::strdup(value);
        return p;
    }
};

TEST_F(AuxIndexTest, AgreesWithAWalkOnAManifestFullOfDuplicates) {
    // Few names for many sections and pairs: most are duplicates, which only
    // the first of each name may answer for. Sections of a few pairs and
    // sections of many are looked into in different ways: both are here.
    for (const int pairsPerSection : {7, 60}) {
        FreeAuxInfo();
        std::mt19937 random(12345);
        std::string text;
        for (int line = 0; line < 20000; ++line) {
            if (static_cast<int>(random() % (pairsPerSection + 1)) == 0) {
                text += "S" + std::to_string(random() % 400) + "\n";
            } else {
                text += "k" + std::to_string(random() % 90) + " = v" + std::to_string(line) + "\n";
            }
        }
        ASSERT_EQ(LoadText("S0\n" + text), 1);
        for (int i = 0; i < 20000; ++i) {
            const std::string section = "S" + std::to_string(random() % 420);
            const std::string key = "k" + std::to_string(random() % 92);
            ASSERT_EQ(Get(section, key), Walk(section, key))
                << pairsPerSection << " " << section << " " << key;
        }
    }
}

TEST_F(AuxIndexTest, FollowsTheStoreThroughReloadsAndReleases) {
    struct Step {
        const char* manifest;  // loaded first; null: the store is released
        const char* section;
        const char* key;
        const char* expected;
    };
    const Step steps[] = {
        {"A\nk = 1\nB\nk = 2\n", "B", "k", "2"},
        {"B\nk = 3\n", "B", "k", "3"},
        {"B\nk = 3\n", "A", "k", "-"},
        {nullptr, "B", "k", "-"},
        {"", "B", "k", "-"},
        {"A\nk = 4\nA\nj = 5\n", "A", "j", "-"},
    };
    for (const Step& step : steps) {
        if (step.manifest != nullptr) {
            FreeAuxInfo();
            ASSERT_EQ(LoadText(step.manifest), 1);
        } else {
            FreeAuxInfo();
        }
        EXPECT_EQ(Get(step.section, step.key), step.expected) << step.manifest;
    }
}

TEST_F(AuxIndexTest, SeesListsExtendedByHandAtEitherEnd) {
    // Section A with a few pairs, then with many.
    for (const int fillers : {0, 40}) {
        FreeAuxInfo();
        std::string manifest = "A\nk = 1\n";
        for (int i = 0; i < fillers; ++i) {
            manifest += "filler" + std::to_string(i) + " = x\n";
        }
        ASSERT_EQ(LoadText(manifest + "B\n"), 1);
        ExtendByHand();
    }
}

void AuxIndexTest::ExtendByHand() {
    ASSERT_EQ(Get("A", "k"), "1");

    AuxPair* first = NewPair("k", "front");  // now the first k of A
    first->next = aux_Section->pairs;
    aux_Section->pairs = first;
    EXPECT_EQ(Get("A", "k"), "front");

    AuxPair* last = aux_Section->pairs;
    while (last->next != nullptr) {
        last = last->next;
    }
    last->next = NewPair("late", "at the end");
    EXPECT_EQ(Get("A", "late"), "at the end");

    aux_Section->next->pairs = NewPair("j", "into an empty section");
    EXPECT_EQ(Get("B", "j"), "into an empty section");

    AuxSection* added = NewSection("C");
    added->pairs = NewPair("k", "appended");
    aux_Section->next->next = added;
    EXPECT_EQ(Get("C", "k"), "appended");

    AuxSection* front = NewSection("B");  // now the first B
    front->next = aux_Section;
    aux_Section = front;
    EXPECT_EQ(Get("B", "j"), "-");
    EXPECT_EQ(Get("A", "k"), "front");
}

}  // namespace
}  // namespace upd
