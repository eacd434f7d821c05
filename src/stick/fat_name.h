// Names on the instrument's stick as its vfat mount gives them: the mount has
// no options, so the kernel's defaults hold (names in UTF-8, the ASCII
// character set for letter case, code page 437 for the 8.3 aliases). Which
// names a FAT stick can hold, and which spellings find the same entry. update-pack, update-lint and
// update-sim all decide with these functions, so a stick that passes them on a workstation is a
// stick the instrument reads the same way.
#pragma once

#include <cstdint>
#include <optional>
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
    kTrailingDotOrBlank,  // the mount drops trailing dots, other FAT tools trailing blanks
    kTooLong,             // more than kMaxNameUnits UTF-16 code units
};

// The fault of a name, kNone when a FAT stick holds it as it is.
NameFault CheckName(std::string_view name);

// A short explanation of a fault for messages ("holds ':', which FAT cannot
// store"), naming the offending character where there is one.
std::string DescribeFault(std::string_view name, NameFault fault);

// The form in which the mount compares a looked-up name with an entry's
// names: trailing dots dropped, the ASCII letters A-Z lowered, every other
// byte kept (trailing blanks too).
std::string NameKey(std::string_view name);

// The 8.3 alias FAT gives an entry of this name without a numeric tail: the
// name in capitals (the ASCII letters and the letters of code page 437 that
// have a capital there: ç é ä å æ ö ü ñ), for a name with one dot at most, a
// base of 1 to 8 and an extension of up to 3 characters, each one a short
// name may hold. nullopt for any other name: its alias gets a tail ("~1")
// that depends on its folder, and no lookup by it is modelled.
std::optional<std::string> ShortAlias(std::string_view name);

// Whether a lookup of `wanted` finds the entry `entry`: its key equals the
// key of the entry's name or of its 8.3 alias ("MÜLLER.TXT" finds
// "Müller.txt" by its alias; "müller.txt" finds it by its name; "müller.txt"
// does not find "MÜLLER.TXT").
bool Finds(std::string_view wanted, std::string_view entry);

// Whether one folder of a FAT stick cannot hold both names: making the one
// finds the other and replaces it, Finds(a, b) || Finds(b, a).
bool SameName(std::string_view a, std::string_view b);

}  // namespace upd::stick
