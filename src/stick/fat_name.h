// Names on the instrument's stick as its vfat mount gives them: the mount has
// no options, so the kernel's defaults hold (names in UTF-8, the ASCII
// character set for letter case). Which names a FAT stick can hold, and which
// spellings find the same entry. update-pack, update-lint and update-sim all
// decide with these functions, so a stick that passes them on a workstation
// is a stick the instrument reads the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace upd::stick {

// The largest file FAT keeps: its size field has 32 bits.
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

// The longest name, in UTF-16 code units (a character beyond U+FFFF takes two).
inline constexpr std::size_t kMaxNameUnits = 255;

// Why a FAT stick cannot hold an entry of exactly that name.
enum class NameFault {
    kNone,
    kEmpty,               // no name at all, or "." or ".."
    kNotUtf8,             // bytes that are no UTF-8 text: the mount refuses them
    kForbidden,           // a control character or one of " * / : < > ? \ |
    kTrailingDotOrBlank,  // FAT drops trailing dots and blanks: the name would change
    kTooLong,             // more than kMaxNameUnits UTF-16 code units
};

// The fault of a name, kNone when a FAT stick holds it as it is.
NameFault CheckName(std::string_view name);

// A short explanation of a fault for messages ("holds ':', which FAT cannot
// store"), naming the offending character where there is one.
std::string DescribeFault(std::string_view name, NameFault fault);

// The form in which the mount compares a name with the entries of a folder:
// trailing dots and blanks dropped, the ASCII letters A-Z lowered, every
// other byte kept. Two names find the same entry when their keys are equal,
// so a folder of a FAT stick cannot hold two entries with one key.
std::string NameKey(std::string_view name);

// NameKey(a) == NameKey(b).
bool SameName(std::string_view a, std::string_view b);

}  // namespace upd::stick
