// The string library's editing functions: trimming, padding, field copies and
// in-place rearrangements of a caller's buffer.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/str.h"

namespace upd {

namespace {

unsigned char Byte(const char* p) {
    return static_cast<unsigned char>(*p);
}

// Length of s once its trailing blanks are left out.
std::size_t LengthWithoutTrailingBlanks(const char* s, std::size_t len) {
    while (len > 0 && IsWhiteSpace(Byte(s + len - 1))) {
        --len;
    }
    return len;
}

// Length of s[0..len) once its trailing spaces (not tabs) are left out.
std::size_t LengthWithoutTrailingSpaces(const char* s, std::size_t len) {
    while (len > 0 && s[len - 1] == ' ') {
        --len;
    }
    return len;
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

}  // namespace

int endstrip(char* s) {
    if (s == nullptr || *s == '\0') {
        return 0;
    }
    const char* text = SkipSpaces(s);
    const std::size_t len = LengthWithoutTrailingBlanks(text, std::strlen(text));
    std::memmove(s, text, len);
    s[len] = '\0';
    return static_cast<int>(len);
}

void striptrail(char* s) {
    if (s == nullptr || *s == '\0') {
        return;
    }
    s[LengthWithoutTrailingBlanks(s, std::strlen(s))] = '\0';
}

void setstr(char* buf, int n) {
    if (buf == nullptr) {
        return;
    }
    if (n <= 0) {
        buf[0] = '\0';
        return;
    }
    std::memset(buf, ' ', static_cast<std::size_t>(n));
    buf[n] = '\0';
}

void pad(char* s, int n) {
    if (s == nullptr || n < 1) {
        return;
    }
    // A text that reaches n - 1 characters, or lacks a terminator within them,
    // is long enough already.
    const std::size_t width = static_cast<std::size_t>(n - 1);
    const std::size_t len = ::strnlen(s, width);
    if (len >= width) {
        return;
    }
    std::memset(s + len, ' ', width - len);
    s[width] = '\0';
}

void unpad(char* buf, int n) {
    if (buf == nullptr || n < 1) {
        return;
    }
    buf[n - 1] = '\0';
    const std::size_t len = ::strnlen(buf, static_cast<std::size_t>(n - 1));
    buf[LengthWithoutTrailingSpaces(buf, len)] = '\0';
}

int padcopy(const char* s, char* dst, int n) {
    if (s == nullptr || dst == nullptr || n <= 0) {
        return 0;
    }
    const std::size_t width = static_cast<std::size_t>(n);
    const std::size_t len = ::strnlen(s, width);
    std::memmove(dst, s, len);
    std::memset(dst + len, ' ', width - len);
    return 1;
}

void stripcopy(char* dst, const char* s, int n) {
    if (dst == nullptr) {
        return;
    }
    if (s == nullptr || n <= 0) {
        dst[0] = '\0';
        return;
    }
    const std::size_t len =
        LengthWithoutTrailingSpaces(s, ::strnlen(s, static_cast<std::size_t>(n)));
    std::memmove(dst, s, len);
    dst[len] = '\0';
}

int fcopy(const char* s, int first, int last, char* dst) {
    if (dst == nullptr) {
        return 0;
    }
    int begin = 0;
    const int len = str_detail::TrimmedField(s, first, last, &begin);
    if (len > 0) {
        std::memmove(dst, s + begin, static_cast<std::size_t>(len));
    }
    dst[len] = '\0';
    return len;
}

void blankline(char* buf, int n) {
    if (buf == nullptr || n < 1) {
        return;
    }
    for (int i = 0; i < n - 1; ++i) {
        if (buf[i] == '\0') {
            buf[i] = ' ';
        }
    }
    buf[n - 1] = '\0';
}

void ShiftChar(char* s, int n, char ch) {
    if (s == nullptr || n == 0 || ch == '\0') {
        return;
    }
    char* found = std::strchr(s, ch);
    if (found == nullptr) {
        return;
    }
    const long long from = found - s;
    const long long to = from + n;
    if (to < 0 || to >= static_cast<long long>(std::strlen(s))) {
        return;
    }
    if (n > 0) {
        std::memmove(s + from, s + from + 1, static_cast<std::size_t>(to - from));
    } else {
        std::memmove(s + to + 1, s + to, static_cast<std::size_t>(from - to));
    }
    s[to] = ch;
}

void comma_to_decpt(char* s) {
    if (s == nullptr) {
        return;
    }
    for (; *s != '\0'; ++s) {
        if (*s == ',') {
            *s = '.';
        }
    }
}

void strip_suffix(const char* end, char* s) {
    if (end == nullptr || s == nullptr || !Suffix(end, s)) {
        return;
    }
    s[std::strlen(s) - std::strlen(end)] = '\0';
}

int prepend(const char* src, char* buf, int cap) {
    if (src == nullptr || buf == nullptr || cap <= 1) {
        return 0;
    }
    const std::size_t capacity = static_cast<std::size_t>(cap);
    const std::size_t src_len = ::strnlen(src, capacity);
    if (src_len >= capacity) {
        return 0;
    }
    if (src_len == 0) {
        return 1;
    }
    std::size_t text_len = ::strnlen(buf, capacity);
    if (text_len == capacity) {
        text_len = 0;  // no text to keep: src replaces the unterminated bytes
    }
    if (text_len == 0) {
        std::memmove(buf, src, src_len + 1);
        return 1;
    }
    if (src_len + text_len >= capacity) {
        return 0;
    }
    std::unique_ptr<char, FreeDeleter> text(static_cast<char*>(std::malloc(text_len + 1)));
    if (!text) {
        return 0;
    }
    std::memcpy(text.get(), buf, text_len + 1);
    std::memmove(buf, src, src_len);
    std::memcpy(buf + src_len, text.get(), text_len + 1);
    return 1;
}

}  // namespace upd
