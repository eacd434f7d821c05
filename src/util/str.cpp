// The string library's blank and suffix tests.
#include "util/str.h"

#include <cstring>

namespace upd {

int IsWhiteSpace(unsigned char ch) {
    return ch == ' ' || ch == '\t' ? 1 : 0;
}

const char* SkipSpaces(const char* s) {
    if (s == nullptr) {
        return nullptr;
    }
    while (IsWhiteSpace(static_cast<unsigned char>(*s))) {
        ++s;
    }
    return s;
}

int Suffix(const char* end, const char* s) {
    if (end == nullptr || *end == '\0') {
        return 1;
    }
    if (s == nullptr || *s == '\0') {
        return 0;
    }
    const size_t end_len = std::strlen(end);
    const size_t s_len = std::strlen(s);
    if (end_len > s_len) {
        return 0;
    }
    return std::memcmp(s + (s_len - end_len), end, end_len) == 0 ? 1 : 0;
}

}  // namespace upd
