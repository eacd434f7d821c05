// Fuzzes list splitting: mklist (with an offsets array of exactly the size it
// may use), mklist1, SplitString, CharInList and MakeIntArray, each compared
// with a plain model of the item rules.
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "manifest/nv.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Strip(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// Items of `text` split at `sep`: every part before a separator is an item
// (possibly empty), the part after the last one only when it is not blank.
std::vector<std::string> ModelItems(const std::string& text, char sep) {
    std::vector<std::string> items;
    if (sep == '\0' || IsBlank(sep)) {
        return items;
    }
    size_t start = 0;
    for (;;) {
        size_t cut = text.find(sep, start);
        if (cut == std::string::npos) {
            std::string last = Strip(std::string_view(text).substr(start));
            if (!last.empty()) {
                items.push_back(last);
            }
            return items;
        }
        items.push_back(Strip(std::string_view(text).substr(start, cut - start)));
        start = cut + 1;
    }
}

void CheckMklist(const std::string& text, char sep, const std::vector<std::string>& want) {
    std::string copy = text;
    size_t seps = 0;
    for (char c : text) {
        seps += c == sep;
    }
    std::unique_ptr<int[]> offsets(new int[seps + 1]);
    int n = upd::mklist(copy.data(), offsets.get(), sep);
    if (sep == '\0' || IsBlank(sep)) {
        FUZZ_CHECK(n == -1);
        return;
    }
    FUZZ_CHECK(n == static_cast<int>(want.size()));
    for (int i = 0; i < n; ++i) {
        FUZZ_CHECK(offsets[i] >= 0 && static_cast<size_t>(offsets[i]) <= text.size());
        FUZZ_CHECK(want[i] == copy.c_str() + offsets[i]);
    }
}

void CheckMklist1(const std::string& text, char sep, const std::vector<std::string>& want) {
    char** list = upd::mklist1(text.c_str(), sep);
    if (want.empty()) {
        FUZZ_CHECK(list == nullptr);
        return;
    }
    FUZZ_CHECK(list != nullptr);
    size_t i = 0;
    for (; list[i] != nullptr; ++i) {
        FUZZ_CHECK(i < want.size());
        FUZZ_CHECK(want[i] == list[i]);
        // No item holds the separator or starts or ends with a blank.
        FUZZ_CHECK(strchr(list[i], sep) == nullptr);
        size_t len = strlen(list[i]);
        FUZZ_CHECK(len == 0 || (!IsBlank(list[i][0]) && !IsBlank(list[i][len - 1])));
    }
    FUZZ_CHECK(i == want.size());
    upd::free_mklist1(list);
}

void CheckSplitString(const std::string& text, const std::string& delims) {
    char* first = nullptr;
    char* rest = nullptr;
    FUZZ_CHECK(upd::SplitString(text.c_str(), delims.c_str(), &first, &rest) == 1);
    FUZZ_CHECK(first != nullptr && rest != nullptr);
    // first + rest is the text; first is the leading delimiters and one word;
    // rest is empty or starts at a delimiter.
    FUZZ_CHECK(std::string(first) + rest == text);
    const char* word = first + strspn(first, delims.c_str());
    FUZZ_CHECK(strpbrk(word, delims.c_str()) == nullptr);
    FUZZ_CHECK(rest[0] == '\0' || strchr(delims.c_str(), rest[0]) != nullptr);
    free(first);
    free(rest);
}

// MakeIntArray's items: optional sign, then at most 10 decimal digits that
// must fit an int; no digits at all reads as 0.
bool ModelInt(const std::string& item, int* out) {
    size_t i = 0;
    bool negative = false;
    if (i < item.size() && (item[i] == '-' || item[i] == '+')) {
        negative = item[i] == '-';
        ++i;
    }
    if (item.size() - i > 10) {
        return false;
    }
    long long v = 0;
    for (; i < item.size(); ++i) {
        if (item[i] < '0' || item[i] > '9') {
            return false;
        }
        v = v * 10 + (item[i] - '0');
    }
    if (negative) {
        v = -v;
    }
    if (v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

void CheckMakeIntArray(const std::string& text, char sep, const std::vector<std::string>& items) {
    int sentinel = 0;
    int* values = &sentinel;
    int n = upd::MakeIntArray(text.c_str(), sep, &values);
    if (items.empty()) {
        FUZZ_CHECK(n == 0 && values == &sentinel);
        return;
    }
    std::vector<int> want;
    for (const std::string& item : items) {
        int v;
        if (!ModelInt(item, &v)) {
            FUZZ_CHECK(n == 0 && values == nullptr);
            return;
        }
        want.push_back(v);
    }
    FUZZ_CHECK(n == static_cast<int>(want.size()) && values != nullptr);
    for (int i = 0; i < n; ++i) {
        FUZZ_CHECK(values[i] == want[i]);
    }
    free(values);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const char sep = static_cast<char>(input.Byte());
    const std::string delims = input.CText('\n', 4);
    const std::string text = input.RestAsCString();

    const std::vector<std::string> items = ModelItems(text, sep);
    CheckMklist(text, sep, items);
    CheckMklist1(text, sep, items);
    CheckMakeIntArray(text, sep, items);
    CheckSplitString(text, delims);
    CheckSplitString(text, " \t(");

    const char ch = text.empty() ? sep : text[0];
    FUZZ_CHECK(upd::CharInList(ch, delims.c_str()) ==
               (ch != '\0' && delims.find(ch) != std::string::npos ? 1 : 0));
    FUZZ_CHECK(upd::CharInList(ch, nullptr) == 0);

    // The null text: no items, and SplitString gives two empty strings.
    FUZZ_CHECK(upd::mklist1(nullptr, sep) == nullptr);
    char* first = nullptr;
    char* rest = nullptr;
    FUZZ_CHECK(upd::SplitString(nullptr, delims.c_str(), &first, &rest) == 1);
    FUZZ_CHECK(first && rest && *first == '\0' && *rest == '\0');
    free(first);
    free(rest);
    return 0;
}
