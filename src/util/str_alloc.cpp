// The string library's allocating functions; every result is a malloc'ed
// string that the caller releases with free.
#include <cstdlib>
#include <cstring>

#include "util/str.h"

namespace upd {

namespace {

// A malloc'ed copy of the first len bytes of s, terminated; null when the
// allocation fails.
char* CopyOf(const char* s, std::size_t len) {
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (copy != nullptr) {
        std::memcpy(copy, s, len);
        copy[len] = '\0';
    }
    return copy;
}

}  // namespace

int s_alloc(const char* s, char** out) {
    if (out == nullptr) {
        return 0;
    }
    *out = nullptr;
    if (s == nullptr) {
        return 1;
    }
    *out = CopyOf(s, std::strlen(s));
    return *out != nullptr ? 1 : 0;
}

char* StripTrailingInt(const char* s) {
    if (s == nullptr) {
        return nullptr;
    }
    std::size_t len = std::strlen(s);
    while (len > 0 && s[len - 1] >= '0' && s[len - 1] <= '9') {
        --len;
    }
    return CopyOf(s, len);
}

char* replace(const char* pattern, const char* repl, const char* s) {
    if (pattern == nullptr || repl == nullptr || s == nullptr) {
        return nullptr;
    }
    const char* found = std::strstr(s, pattern);
    const std::size_t s_len = std::strlen(s);
    if (found == nullptr) {
        return CopyOf(s, s_len);
    }
    const std::size_t head = static_cast<std::size_t>(found - s);
    const std::size_t pattern_len = std::strlen(pattern);
    const std::size_t repl_len = std::strlen(repl);
    const std::size_t tail = s_len - head - pattern_len;
    char* out = static_cast<char*>(std::malloc(head + repl_len + tail + 1));
    if (out == nullptr) {
        return nullptr;
    }
    std::memcpy(out, s, head);
    std::memcpy(out + head, repl, repl_len);
    std::memcpy(out + head + repl_len, found + pattern_len, tail);
    out[head + repl_len + tail] = '\0';
    return out;
}

}  // namespace upd
