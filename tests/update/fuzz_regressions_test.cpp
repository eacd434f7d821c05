// Inputs the fuzzers found to misbehave, kept so that the fault stays fixed.
#include <gtest/gtest.h>

#include <string>

#include "op_fixture.h"
#include "update/update.h"

namespace upd::testing {
namespace {

class SequenceFuzzRegression : public StoreTest {};

// Lists that each name the next one twice double the run list at every
// level: 27 short lines would expand to 2^27 entries, which exhausts the
// instrument's memory long before the run could start. The expansion refuses
// a run list of more than kMaxRunListEntries names (the run then ends with
// 613), and the names up to the limit can still be released.
TEST_F(SequenceFuzzRegression, DoublingListsAreRefusedNotExpanded) {
    ManifestText manifest;
    manifest.Section("SectionList", {{"Sequence", "L1, L1"}});
    for (int i = 1; i <= 26; ++i) {
        manifest.Line("L" + std::to_string(i) + " = L" + std::to_string(i + 1) + ", L" +
                      std::to_string(i + 1));
    }
    manifest.Line("L27 = a, b");
    Load(manifest);
    Section* list = nullptr;
    EXPECT_EQ(BuildSectionList("SectionList", "Sequence", &list), 0);
    size_t names = 0;
    for (const Section* s = list; s != nullptr; s = s->next) {
        ++names;
    }
    EXPECT_EQ(names, kMaxRunListEntries);
    FreeSectionList(&list);
}

}  // namespace
}  // namespace upd::testing
