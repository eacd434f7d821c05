// The string library: NUL-terminated byte strings, characters taken as
// unsigned bytes, blanks being the space and the horizontal tab.
//
// Case-insensitive comparisons fold only the ASCII letters: two bytes match
// when they are equal, or when both are below 0x80 and equal after tolower.
// A byte of 0x80 or above therefore only ever matches itself.
//
// Functions that write into a caller's buffer never allocate and never write
// past the length they are given; none reads a string past its terminator.
// Where a null string is not documented as accepted, it is still handled
// without a crash: it matches nothing and changes nothing.
#pragma once

#include <cstdint>

namespace upd {

// ---- Blanks and suffixes ----

// 1 when ch is a space (32) or a horizontal tab (9), else 0.
int IsWhiteSpace(unsigned char ch);

// The first character of s that is not a blank (its terminator when s holds
// only blanks); null for a null s.
const char* SkipSpaces(const char* s);

// 1 when s ends with `end` (exact comparison); an empty or null end is a
// suffix of everything, otherwise a null or empty s has no suffix.
int Suffix(const char* end, const char* s);

// ---- Comparison ----

namespace str_detail {
// 1 when a and b are the same byte, or both are below 0x80 and the same letter
// in either case; the one folding rule of every case-insensitive function.
int SameIgnoringCase(unsigned char a, unsigned char b);

// The field s[first..last] cut at s's terminator and stripped of its leading
// and trailing blanks: its start index in *begin and its length as result
// (0 for a blank field, a field past the text, first < 0 or last < first).
int TrimmedField(const char* s, int first, int last, int* begin);
}  // namespace str_detail

// One entry of a name-to-value table; a table ends with an entry whose name is
// null, and that entry's value is the answer for names not in the table.
struct StringList {
    const char* name;
    const void* value;
};

// Exact equality; two nulls are equal, a null equals no string.
int streq(const char* s, const char* t);

// Case-insensitive equality; nulls as streq.
int eq(const char* s, const char* t);

// Case-insensitive equality of the first n characters: 1 also when both end
// together before n characters, and for n <= 0; nulls as streq.
int eqn(const char* s, const char* t, int n);

// 1 when eq(s, t) holds for any of the `count` strings that follow.
int eql(const char* s, int count, ...);

// Case-insensitive equality ignoring every space (not tabs) in both strings;
// nulls as streq.
int eqwosp(const char* s, const char* t);

// s begins with p, ignoring case. A null or empty p gives 1; otherwise a null
// or empty s gives 0.
int prefix(const char* p, const char* s);

// s begins with p, exactly; nulls and empties as prefix.
int Prefix(const char* p, const char* s);

// prefix(p, s) after skipping the blanks at the start of s.
int beq(const char* s, const char* p);

// s ends with `end`, ignoring case; nulls and empties as Suffix.
int suffix(const char* end, const char* s);

// The field s[first..last] (both inclusive, cut at s's terminator) without its
// leading and trailing blanks equals word, ignoring case. 0 when s or word is
// null or last < first.
int feq(const char* s, int first, int last, const char* word);

// The value of the first entry of table whose name equals s ignoring case,
// else the value of the terminating entry; null for a null table.
const void* StringMatch(const char* s, const StringList* table);

// ---- Search ----

// 1 when needle occurs in s (exact). An empty s gives 0; an empty needle in a
// non-empty s gives 1.
int substring(const char* needle, const char* s);

// substring ignoring case.
int sub(const char* needle, const char* s);

// The first occurrence of needle in s ignoring case, or null. An empty s gives
// null; an empty needle gives s.
const char* stristr(const char* s, const char* needle);
char* stristr(char* s, const char* needle);

// The first occurrence of needle in s, or null. An empty needle matches only
// at s's terminator. Unlike the C library's function of the same name, which
// stays reachable as std::strstr.
const char* strstr(const char* s, const char* needle);
char* strstr(char* s, const char* needle);

// Backward search: the occurrence of needle that begins nearest to `from`,
// trying from, from - 1, ... down to start inclusive; null when there is none
// (or from lies before start). An empty needle gives from.
const char* strstr_b(const char* start, const char* needle, const char* from);
char* strstr_b(char* start, const char* needle, char* from);

// strstr_b ignoring case.
const char* stristr_b(const char* start, const char* needle, const char* from);
char* stristr_b(char* start, const char* needle, char* from);

// The word (run of characters other than the space) that holds s[pos] within
// s[0..len): its first and last index in *first and *last, result 1. Gives 0
// when s[pos] is a space or lies at or past s's terminator, or when s, first
// or last is null. For pos >= len: len 0 gives 0, any other len gives first 0
// and last len - 1 with result 1.
int findword(const char* s, std::uint16_t len, std::uint16_t pos, std::uint16_t* first,
             std::uint16_t* last);

// Index of the last character of the n-th word (words separated by spaces);
// 0 when s is null or empty, n <= 0 or s has fewer than n words.
int FindEndWord(const char* s, int n);

// ---- Trimming, padding and copying (in place unless said) ----

// Removes the blanks at both ends, moving the text to the start of s; returns
// the new length (0 for a null or empty s).
int endstrip(char* s);

// Removes trailing blanks; a null or empty s is left as it is.
void striptrail(char* s);

// n spaces then a terminator at buf[n]; for n <= 0 just a terminator.
// buf must hold n + 1 bytes.
void setstr(char* buf, int n);

// Appends spaces until the length is n - 1 and terminates there; a longer s
// keeps its length. s must hold n bytes.
void pad(char* s, int n);

// Terminates a field of n - 1 characters held in buf (n bytes): a terminator
// goes at n - 1, and the text's end (that one, or an earlier terminator) moves
// back over trailing spaces (not tabs). Nothing happens for n < 1.
void unpad(char* buf, int n);

// Copies at most n characters of s into dst and fills dst with spaces up to n
// characters, without a terminator. 0 when s or dst is null or n <= 0.
int padcopy(const char* s, char* dst, int n);

// Copies the first n characters of s (fewer when s is shorter) without their
// trailing spaces (not tabs) into dst and terminates it; dst must hold n + 1
// bytes.
void stripcopy(char* dst, const char* s, int n);

// Copies the field s[first..last] (cut at s's terminator) without its leading
// and trailing blanks into dst, terminated; returns the copied length (0 for a
// blank or empty field). dst must hold last - first + 2 bytes.
int fcopy(const char* s, int first, int last, char* dst);

// Turns every NUL among the first n - 1 bytes of buf into a space and puts a
// terminator at buf[n - 1]. Nothing happens for n < 1.
void blankline(char* buf, int n);

// Moves the first occurrence of ch by n places (toward the end for n > 0),
// shifting the characters in between one place the other way. Nothing happens
// when s is null, n is 0, ch is NUL or does not occur, or the target place
// does not lie inside the text.
void ShiftChar(char* s, int n, char ch);

// Replaces every ',' by '.'; a null s is ignored.
void comma_to_decpt(char* s);

// Cuts `end` off s when s ends with it (exact comparison); nothing when either
// is null or s is shorter.
void strip_suffix(const char* end, char* s);

// Inserts src in front of the text in buf, whose capacity is cap bytes.
// 0 when src or buf is null, cap <= 1, src is cap or more long, the result
// would need cap or more characters, or the scratch copy cannot be allocated.
// An empty src gives 1 without change; an empty buf, or one without a
// terminator within cap bytes, is overwritten by src.
int prepend(const char* src, char* buf, int cap);

// ---- Character classes and names ----

// ch is 32 or above and not 127 (bytes of 128 and above count as printable).
int IsPrintable(unsigned char ch);

// The control-character name of ch ("NUL" ... "US", "DEL"); the empty string
// for codes 32 to 126 and for 128 and above.
const char* AsciiMnemonic(unsigned char ch);

// The English ordinal ending of n: "st", "nd", "rd" or "th".
const char* ord_suffix(unsigned short n);

// s itself, or "<NULL>" for a null s, "<EMPTY>" for an empty one.
const char* pstr(const char* s);

// ---- Allocating functions (the caller frees the result with free) ----

// Stores a new copy of s in *out and returns 1; a null s stores null and
// returns 1; an allocation failure (or a null out) stores nothing useful and
// returns 0.
int s_alloc(const char* s, char** out);

// A copy of s without its trailing decimal digits; null for a null s or an
// allocation failure.
char* StripTrailingInt(const char* s);

// A copy of s in which the first occurrence of pattern is replaced by repl, or
// a plain copy when pattern does not occur; null when s, pattern or repl is
// null or the allocation fails.
char* replace(const char* pattern, const char* repl, const char* s);

}  // namespace upd
