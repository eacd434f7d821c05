// List splitting: separated values into trimmed items, lines cut after their
// first word, and separated decimal numbers into integers.
#include "manifest/nv.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/str.h"

namespace upd {

namespace {

bool IsBlankChar(char ch) {
    return IsWhiteSpace(static_cast<unsigned char>(ch)) != 0;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// An array from mklist1 owned until handed over.
struct ItemListDeleter {
    void operator()(char** list) const { free_mklist1(list); }
};
using ItemList = std::unique_ptr<char*, ItemListDeleter>;

// Parses one item of MakeIntArray: optional sign, then at most 10 decimal
// digits (none gives 0). False when the item is not such a number or its
// value does not fit an int.
bool ParseIntItem(const char* item, int* out) {
    constexpr int kMaxDigits = 10;
    const char* p = item;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    long long magnitude = 0;
    int digits = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || ++digits > kMaxDigits) {
            return false;
        }
        magnitude = magnitude * 10 + (*p - '0');
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value < INT_MIN || value > INT_MAX) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

}  // namespace

int mklist(char* text, int* offsets, char sep) {
    if (sep == '\0' || IsBlankChar(sep)) {
        return -1;
    }
    if (text == nullptr) {
        return 0;
    }
    int count = 0;
    char* p = text;
    for (;;) {
        while (IsBlankChar(*p)) {
            ++p;
        }
        if (*p == '\0') {
            return count;
        }
        char* const start = p;
        offsets[count++] = static_cast<int>(start - text);
        while (*p != '\0' && *p != sep) {
            ++p;
        }
        const bool at_end = *p == '\0';
        char* end = p;
        while (end > start && IsBlankChar(end[-1])) {
            --end;
        }
        *end = '\0';
        if (at_end) {
            return count;
        }
        ++p;
    }
}

char** mklist1(const char* text, char sep) {
    if (text == nullptr || *text == '\0' || sep == '\0' || IsBlankChar(sep)) {
        return nullptr;
    }
    HeapPtr<char> copy(strdup(text));
    if (!copy) {
        return nullptr;
    }
    size_t separators = 0;
    for (const char* p = copy.get(); *p != '\0'; ++p) {
        separators += *p == sep ? 1 : 0;
    }
    HeapPtr<int> offsets(static_cast<int*>(std::malloc((separators + 1) * sizeof(int))));
    if (!offsets) {
        return nullptr;
    }
    const int count = mklist(copy.get(), offsets.get(), sep);
    if (count <= 0) {
        return nullptr;
    }
    ItemList items(static_cast<char**>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char*))));
    if (!items) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        items.get()[i] = strdup(copy.get() + offsets.get()[i]);
        if (items.get()[i] == nullptr) {
            return nullptr;
        }
    }
    return items.release();
}

void free_mklist1(char** list) {
    if (list == nullptr) {
        return;
    }
    for (char** item = list; *item != nullptr; ++item) {
        std::free(*item);
    }
    std::free(list);
}

int SplitString(const char* text, const char* delims, char** first, char** rest) {
    if (first == nullptr || rest == nullptr) {
        return 0;
    }
    if (text == nullptr) {
        text = "";
    }
    const char* cut = text;
    while (*cut != '\0' && CharInList(*cut, delims)) {
        ++cut;
    }
    while (*cut != '\0' && !CharInList(*cut, delims)) {
        ++cut;
    }
    HeapPtr<char> head(strndup(text, static_cast<size_t>(cut - text)));
    HeapPtr<char> tail(strdup(cut));
    if (!head || !tail) {
        return 0;
    }
    *first = head.release();
    *rest = tail.release();
    return 1;
}

int CharInList(char ch, const char* list) {
    if (ch == '\0' || list == nullptr) {
        return 0;
    }
    return std::strchr(list, ch) != nullptr ? 1 : 0;
}

int MakeIntArray(const char* text, char sep, int** values) {
    if (text == nullptr || *text == '\0' || values == nullptr) {
        return 0;
    }
    ItemList items(mklist1(text, sep));
    if (!items) {
        return 0;
    }
    size_t count = 0;
    while (items.get()[count] != nullptr) {
        ++count;
    }
    HeapPtr<int> numbers(static_cast<int*>(std::malloc(count * sizeof(int))));
    for (size_t i = 0; numbers && i < count; ++i) {
        if (!ParseIntItem(items.get()[i], &numbers.get()[i])) {
            numbers.reset();
        }
    }
    if (!numbers) {
        *values = nullptr;
        return 0;
    }
    *values = numbers.release();
    return static_cast<int>(count);
}

}  // namespace upd
