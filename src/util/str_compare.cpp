// The string library's comparisons: exact and case-insensitive equality,
// prefixes, suffixes, fields and name-to-value tables.
#include <cctype>
#include <cstdarg>
#include <cstring>

#include "util/str.h"

namespace upd {

namespace {

unsigned char Byte(const char* p) {
    return static_cast<unsigned char>(*p);
}

// The null rules shared by the equality tests: two nulls are equal, a null
// equals nothing. Returns -1 when both strings are present.
int NullEquality(const char* s, const char* t) {
    if (s == nullptr || t == nullptr) {
        return s == t ? 1 : 0;
    }
    return -1;
}

// Steps over spaces only; tabs are significant to eqwosp.
const char* SkipSpaceChars(const char* p) {
    while (*p == ' ') {
        ++p;
    }
    return p;
}

// 1 when s begins with p, comparing with `same`, under the prefix null rules.
template <typename Same>
int BeginsWith(const char* p, const char* s, Same same) {
    if (p == nullptr || *p == '\0') {
        return 1;
    }
    if (s == nullptr || *s == '\0') {
        return 0;
    }
    for (; *p != '\0'; ++p, ++s) {
        // A shorter s stops here: its terminator never matches a byte of p.
        if (!same(Byte(p), Byte(s))) {
            return 0;
        }
    }
    return 1;
}

int SameExactly(unsigned char a, unsigned char b) {
    return a == b ? 1 : 0;
}

}  // namespace

namespace str_detail {

int SameIgnoringCase(unsigned char a, unsigned char b) {
    if (a == b) {
        return 1;
    }
    if (a >= 0x80 || b >= 0x80) {
        return 0;
    }
    return std::tolower(a) == std::tolower(b) ? 1 : 0;
}

int TrimmedField(const char* s, int first, int last, int* begin) {
    *begin = 0;
    if (s == nullptr || first < 0 || last < first) {
        return 0;
    }
    // The text may end inside the field, or before it.
    const int text_len = static_cast<int>(::strnlen(s, static_cast<std::size_t>(last) + 1));
    if (text_len <= first) {
        return 0;
    }
    int b = first;
    int e = text_len - 1 < last ? text_len - 1 : last;
    while (b <= e && IsWhiteSpace(Byte(s + b))) {
        ++b;
    }
    while (e >= b && IsWhiteSpace(Byte(s + e))) {
        --e;
    }
    *begin = b;
    return e - b + 1;
}

}  // namespace str_detail

using str_detail::SameIgnoringCase;

int streq(const char* s, const char* t) {
    const int nulls = NullEquality(s, t);
    if (nulls >= 0) {
        return nulls;
    }
    return std::strcmp(s, t) == 0 ? 1 : 0;
}

int eq(const char* s, const char* t) {
    const int nulls = NullEquality(s, t);
    if (nulls >= 0) {
        return nulls;
    }
    for (; *s != '\0'; ++s, ++t) {
        if (!SameIgnoringCase(Byte(s), Byte(t))) {
            return 0;
        }
    }
    return *t == '\0' ? 1 : 0;
}

int eqn(const char* s, const char* t, int n) {
    const int nulls = NullEquality(s, t);
    if (nulls >= 0) {
        return nulls;
    }
    for (int i = 0; i < n; ++i, ++s, ++t) {
        if (!SameIgnoringCase(Byte(s), Byte(t))) {
            return 0;
        }
        if (*s == '\0') {
            return 1;  // both ended together
        }
    }
    return 1;
}

int eql(const char* s, int count, ...) {
    va_list args;
    va_start(args, count);
    int found = 0;
    for (int i = 0; i < count && !found; ++i) {
        found = eq(s, va_arg(args, const char*));
    }
    va_end(args);
    return found;
}

int eqwosp(const char* s, const char* t) {
    const int nulls = NullEquality(s, t);
    if (nulls >= 0) {
        return nulls;
    }
    for (;;) {
        s = SkipSpaceChars(s);
        t = SkipSpaceChars(t);
        if (*s == '\0' || *t == '\0') {
            return *s == *t ? 1 : 0;
        }
        if (!SameIgnoringCase(Byte(s), Byte(t))) {
            return 0;
        }
        ++s;
        ++t;
    }
}

int prefix(const char* p, const char* s) {
    return BeginsWith(p, s, SameIgnoringCase);
}

int Prefix(const char* p, const char* s) {
    return BeginsWith(p, s, SameExactly);
}

int beq(const char* s, const char* p) {
    return prefix(p, SkipSpaces(s));
}

int suffix(const char* end, const char* s) {
    if (end == nullptr || *end == '\0') {
        return 1;
    }
    if (s == nullptr || *s == '\0') {
        return 0;
    }
    const std::size_t end_len = std::strlen(end);
    const std::size_t s_len = std::strlen(s);
    if (end_len > s_len) {
        return 0;
    }
    const char* tail = s + (s_len - end_len);
    for (std::size_t i = 0; i < end_len; ++i) {
        if (!SameIgnoringCase(Byte(tail + i), Byte(end + i))) {
            return 0;
        }
    }
    return 1;
}

int feq(const char* s, int first, int last, const char* word) {
    if (s == nullptr || word == nullptr || first < 0 || last < first) {
        return 0;
    }
    int begin = 0;
    const int len = str_detail::TrimmedField(s, first, last, &begin);
    if (std::strlen(word) != static_cast<std::size_t>(len)) {
        return 0;
    }
    for (int i = 0; i < len; ++i) {
        if (!SameIgnoringCase(Byte(s + begin + i), Byte(word + i))) {
            return 0;
        }
    }
    return 1;
}

const void* StringMatch(const char* s, const StringList* table) {
    if (table == nullptr) {
        return nullptr;
    }
    for (; table->name != nullptr; ++table) {
        if (eq(table->name, s)) {
            return table->value;
        }
    }
    return table->value;
}

}  // namespace upd
