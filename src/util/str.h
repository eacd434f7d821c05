// The string library: NUL-terminated byte strings, characters taken as
// unsigned bytes, blanks being the space and the horizontal tab.
#pragma once

namespace upd {

// 1 when ch is a space (32) or a horizontal tab (9), else 0.
int IsWhiteSpace(unsigned char ch);

// The first character of s that is not a blank (its terminator when s holds
// only blanks); null for a null s.
const char* SkipSpaces(const char* s);

// 1 when s ends with `end` (exact comparison); an empty or null end is a
// suffix of everything, otherwise a null or empty s has no suffix.
int Suffix(const char* end, const char* s);

}  // namespace upd
