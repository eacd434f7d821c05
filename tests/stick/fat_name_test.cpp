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

// As the virtual instrument's vfat mount answered: ASCII letters fold, other
// bytes do not, trailing dots go, trailing blanks stay, and an 8.3 alias in
// code page 437 capitals finds its entry.
TEST(FatNameTest, FindsAsTheMountLooksNamesUp) {
    const struct {
        std::string wanted, entry;
        bool found;
    } cases[] = {
        {"auxinfo.TXT", "AuxInfo.txt", true},
        {"app.bin.", "app.bin", true},
        {"app.bin ", "app.bin", false},
        {"m\xC3\xBCLLER.txt", "M\xC3\xBCller.txt", true},  // müLLER finds Müller
        {"M\xC3\x9CLLER.TXT", "M\xC3\xBCller.txt", true},  // MÜLLER.TXT, its alias
        {"M\xC3\x9Cller.txt", "M\xC3\xBCller.txt", true},  // MÜller.txt folds to it
        {"\xC3\xA4"
         "bc.txt",
         "\xC3\x84"
         "BC.txt",
         false},  // äbc.txt is not ÄBC.txt
        {"Gr\xC3\x9C\xC3\x9F"
         "e aus K\xC3\xB6ln.txt",
         "Gr\xC3\xBC\xC3\x9F"
         "e aus K\xC3\xB6ln.txt",
         false},  // no alias for a long name
        {"app.bin", ".app.bin", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Finds(c.wanted, c.entry), c.found) << c.wanted << " / " << c.entry;
    }
    EXPECT_TRUE(
        SameName("\xC3\xA4"
                 "bc.txt",
                 "\xC3\x84"
                 "BC.txt"));  // making one finds the other
    EXPECT_EQ(ShortAlias("M\xC3\xBCller.txt"), "M\xC3\x9CLLER.TXT");
    const std::string noAlias[] = {"longername.txt", "a.b.c", "a+b.txt", "a.text", ".profile"};
    for (const std::string& name : noAlias) {
        EXPECT_EQ(ShortAlias(name), std::nullopt) << name;
    }
}

}  // namespace
}  // namespace upd::stick
