// List splitting and name-value list parsing: separated values into arrays of
// trimmed items, lines cut after their first word, one-line lists of
// name=value items with their positions, and the long and short combinations
// of command words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

// Splits `text` in place at `sep` into items stripped of outer blanks, storing
// each item's offset in `offsets` (room for one more entry than there are
// separators in the text). Returns the number of items, 0 for a null text, -1
// when sep is NUL, a space or a tab. Blanks after the last separator make no
// item; empty items before it are kept.
int mklist(char* text, int* offsets, char sep);

// The items of `text` split at `sep` as a new null-terminated array of heap
// strings, released with free_mklist1. Null when there is no item, the text
// is null or empty, sep is NUL, a space or a tab, or memory runs out.
char** mklist1(const char* text, char sep);

// Releases an array from mklist1 with every string in it; null is ignored.
void free_mklist1(char** list);

// Cuts `text` after its first word: *first gets the leading delimiters and
// the word, *rest everything from the next delimiter on, both as new heap
// strings released with free. 0 when memory runs out (outputs then unset).
int SplitString(const char* text, const char* delims, char** first, char** rest);

// 1 when ch occurs in `list` (never for NUL or a null list), else 0.
int CharInList(char ch, const char* list);

// Converts the decimal items of `text` split at `sep` into a new array of int
// in *values (released with free) and returns their number. An empty item or
// a lone sign counts as 0. 0 for a null or empty text (values untouched) and
// for any item that is not a number or does not fit an int (values null).
int MakeIntArray(const char* text, char sep, int** values);

// The pieces name=value of `text`, one for each '=', as a new null-terminated
// array of heap strings in *items (released with free_nvlist). Only spaces
// separate words here. 0 when memory runs out, *items then untouched.
int nvlist(const char* text, char*** items);

// Releases an array from nvlist; null is ignored.
void free_nvlist(char** items);

// One parsed item of a name-value list. Positions are indexes into the text.
struct nv {
    uint16_t flags;     // bit 0: the item was ended by a semicolon
    char* name;         // owned; null without a name
    char* value;        // owned; null without a value (an empty value is none)
    uint16_t flags2;    // bit 0: as in flags
    int16_t name_pos;   // first character of the name, -1 without one
    int16_t eq_pos;     // the item's '=', -1 for an item without its own '='
    int16_t value_pos;  // first character of the value, -1 without one
    int16_t semi_pos;   // the semicolon that ended the item, -1 when none did
    nv* next;
};

// Bit of nv::flags and nv::flags2.
inline constexpr uint16_t kNvEndedBySemicolon = 0x1;

// Texts this long or longer have positions the records cannot hold.
inline constexpr int kNvMaxText = 32767;

// Parses `text` (items such as a = 1 ; b = two words) into a list of records
// in *list and returns their number (null list for none). Returns 0 with
// *list untouched when memory runs out, and 0 with a null list for a text of
// more than kNvMaxText characters.
int nvlist1(const char* text, nv** list);

// As nvlist1, except that every word but the last before an item's '=' becomes
// an item of its own with a name only.
int nvlist2(const char* text, nv** list);

// Releases a list from nvlist1 or nvlist2; null is ignored.
void free_nvlist1(nv* list);

// One generated word of nv_Explode.
struct elist {
    char* text;  // owned
    elist* next;
};

// Most text (bytes, terminators included) that nv_Explode generates; more
// words with short forms than fit this are refused rather than exhausting
// memory, as the entries double with each of them.
inline constexpr size_t kExplodeMaxBytes = size_t{64} << 20;

// Every concatenation of the long and short forms of the null-terminated
// `words`, first all long forms; null for no words, for entries that would
// exceed kExplodeMaxBytes, or when memory runs out.
elist* nv_Explode(char** words);

// Releases a list from nv_Explode; null is ignored.
void nv_ExplodeFree(elist* list);

}  // namespace upd
