// The line reader: one logical line of a text stream into a fixed buffer, with
// carriage returns dropped, tabs expanded, trailing blanks removed, and blank
// and comment lines optionally skipped.
#pragma once

#include <cstdio>

namespace upd {

// Bits of nextline's mode.
inline constexpr int kSkipBlankLines = 1;
inline constexpr int kSkipCommentLines = 2;

// Reads the next line of `stream` into `buf` (`size` bytes with its NUL).
// Returns the delivered length (trailing blanks removed), -1 at end of input,
// -2 when the line held more than size - 1 characters (the first size - 1 are
// kept, the rest of the line is consumed), -3 for a null buffer or stream, a
// size of 1 or less, or a read error. *skipped counts the lines skipped by
// `mode` during this call.
int nextline(FILE* stream, char* buf, int size, int mode, int* skipped);

// 1 when s is null or holds only spaces and tabs, else 0.
int IsBlank(const char* s);

// 1 when the first character of s that is not a blank is '#' or ';', else 0.
int iscomm(const char* s);

}  // namespace upd
