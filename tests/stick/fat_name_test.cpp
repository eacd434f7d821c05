// Names a FAT stick holds, and the spellings that find one entry.
#include "stick/fat_name.h"

#include <gtest/gtest.h>

namespace upd::stick {
namespace {

struct NameCase {
    std::string name;
    NameFault fault;
};

TEST(FatNameTest, RefusesWhatTheMountCannotStore) {
    const NameCase cases[] = {
        {"AuxInfo.txt", NameFault::kNone},
        {"M\xC3\xBCller.txt", NameFault::kNone},     // UTF-8 ü
        {"\xF0\x9F\x98\x80.bin", NameFault::kNone},  // beyond U+FFFF
        {"", NameFault::kEmpty},
        {"..", NameFault::kEmpty},
        {"a:b.bin", NameFault::kForbidden},
        {"what?.txt", NameFault::kForbidden},
        {"tab\there", NameFault::kForbidden},
        {"back\\slash", NameFault::kForbidden},
        {"M\xFCller.txt", NameFault::kNotUtf8},  // Latin-1 ü
        {"\xC0\xAF", NameFault::kNotUtf8},       // overlong '/'
        {"\xED\xA0\x80", NameFault::kNotUtf8},   // a surrogate
        {"app.bin.", NameFault::kTrailingDotOrBlank},
        {"app.bin ", NameFault::kTrailingDotOrBlank},
        {std::string(255, 'a'), NameFault::kNone},
        {std::string(256, 'a'), NameFault::kTooLong},
        {std::string(127, 'a') + "\xF0\x9F\x98\x80", NameFault::kNone},  // 129 units
        {std::string(254, 'a') + "\xF0\x9F\x98\x80", NameFault::kTooLong},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(CheckName(c.name), c.fault) << c.name;
        EXPECT_EQ(DescribeFault(c.name, c.fault).empty(), c.fault == NameFault::kNone) << c.name;
    }
    EXPECT_EQ(DescribeFault("a:b.bin", NameFault::kForbidden), "holds ':', which FAT cannot store");
}

TEST(FatNameTest, FoldsOnlyAsciiLettersAndTrailingDots) {
    const struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {"AuxInfo.txt", "auxinfo.TXT", true},
        {"app.bin", "app.bin.", true},
        {"app.bin", "app.bin . .", true},
        {"M\xC3\xBCller", "m\xC3\xBCLLER", true},
        {"M\xC3\xBCller", "M\xC3\x9Cller", false},  // ü and Ü differ
        {"a b", "ab", false},
        {"app.bin", ".app.bin", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameName(c.a, c.b), c.same) << c.a << " / " << c.b;
    }
}

}  // namespace
}  // namespace upd::stick
