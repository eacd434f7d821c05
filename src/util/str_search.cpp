// The string library's searches: substrings forward and backward, with and
// without regard to case, and words by index.
#include <cstring>

#include "util/str.h"

namespace upd {

namespace {

using str_detail::SameIgnoringCase;

unsigned char Byte(const char* p) {
    return static_cast<unsigned char>(*p);
}

int SameExactly(unsigned char a, unsigned char b) {
    return a == b ? 1 : 0;
}

// 1 when needle (non-empty) occurs at p. Stops at the first difference, so a
// text that ends early is never read past its terminator.
template <typename Same>
int OccursAt(const char* p, const char* needle, Same same) {
    for (; *needle != '\0'; ++p, ++needle) {
        if (!same(Byte(p), Byte(needle))) {
            return 0;
        }
    }
    return 1;
}

const char* FindIgnoringCase(const char* s, const char* needle) {
    if (s == nullptr || needle == nullptr || *s == '\0') {
        return nullptr;
    }
    if (*needle == '\0') {
        return s;
    }
    for (; *s != '\0'; ++s) {
        if (OccursAt(s, needle, SameIgnoringCase)) {
            return s;
        }
    }
    return nullptr;
}

const char* FindFirst(const char* s, const char* needle) {
    if (s == nullptr || needle == nullptr) {
        return nullptr;
    }
    // Only positions holding needle's first byte are tried; for an empty needle
    // that is the terminator alone.
    const std::size_t needle_len = std::strlen(needle);
    for (;; ++s) {
        if (*s == *needle && std::strncmp(s, needle, needle_len) == 0) {
            return s;
        }
        if (*s == '\0') {
            return nullptr;
        }
    }
}

template <typename Same>
const char* FindBackward(const char* start, const char* needle, const char* from, Same same) {
    if (start == nullptr || needle == nullptr || from == nullptr || from < start) {
        return nullptr;
    }
    if (*needle == '\0') {
        return from;
    }
    // A `from` beyond the text is brought back to the terminator, which no
    // non-empty needle matches; indices keep the walk from stepping before start.
    const std::size_t distance = static_cast<std::size_t>(from - start);
    std::size_t i = ::strnlen(start, distance);
    for (;; --i) {
        if (OccursAt(start + i, needle, same)) {
            return start + i;
        }
        if (i == 0) {
            return nullptr;
        }
    }
}

}  // namespace

int substring(const char* needle, const char* s) {
    if (s == nullptr || needle == nullptr || *s == '\0') {
        return 0;
    }
    return std::strstr(s, needle) != nullptr ? 1 : 0;
}

int sub(const char* needle, const char* s) {
    return FindIgnoringCase(s, needle) != nullptr ? 1 : 0;
}

const char* stristr(const char* s, const char* needle) {
    return FindIgnoringCase(s, needle);
}

char* stristr(char* s, const char* needle) {
    return const_cast<char*>(FindIgnoringCase(s, needle));
}

const char* strstr(const char* s, const char* needle) {
    return FindFirst(s, needle);
}

char* strstr(char* s, const char* needle) {
    return const_cast<char*>(FindFirst(s, needle));
}

const char* strstr_b(const char* start, const char* needle, const char* from) {
    return FindBackward(start, needle, from, SameExactly);
}

char* strstr_b(char* start, const char* needle, char* from) {
    return const_cast<char*>(FindBackward(start, needle, from, SameExactly));
}

const char* stristr_b(const char* start, const char* needle, const char* from) {
    return FindBackward(start, needle, from, SameIgnoringCase);
}

char* stristr_b(char* start, const char* needle, char* from) {
    return const_cast<char*>(FindBackward(start, needle, from, SameIgnoringCase));
}

int findword(const char* s, std::uint16_t len, std::uint16_t pos, std::uint16_t* first,
             std::uint16_t* last) {
    if (s == nullptr || first == nullptr || last == nullptr) {
        return 0;
    }
    if (pos >= len) {
        if (len == 0) {
            return 0;
        }
        *first = 0;
        *last = static_cast<std::uint16_t>(len - 1);
        return 1;
    }
    // The terminator ends the text even when len reaches beyond it.
    const std::size_t text_len = ::strnlen(s, len);
    if (pos >= text_len || s[pos] == ' ') {
        return 0;
    }
    std::size_t b = pos;
    while (b > 0 && s[b - 1] != ' ') {
        --b;
    }
    std::size_t e = pos;
    while (e + 1 < text_len && s[e + 1] != ' ') {
        ++e;
    }
    *first = static_cast<std::uint16_t>(b);
    *last = static_cast<std::uint16_t>(e);
    return 1;
}

int FindEndWord(const char* s, int n) {
    if (s == nullptr || n <= 0) {
        return 0;
    }
    int words = 0;
    const char* p = s;
    for (;;) {
        while (*p == ' ') {
            ++p;
        }
        if (*p == '\0') {
            return 0;
        }
        while (p[1] != '\0' && p[1] != ' ') {
            ++p;
        }
        if (++words == n) {
            return static_cast<int>(p - s);
        }
        ++p;
    }
}

}  // namespace upd
