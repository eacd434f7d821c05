// Fuzzes MakeIntArray against a plain model: the items of mklist1, each an
// optional sign and at most 10 digits that fit an int (no digits reads as 0);
// any other item fails the whole call with a null output.
#include <climits>
#include <cstdlib>

#include "fuzz_support.h"
#include "list_model.h"
#include "manifest/nv.h"

namespace {

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
    (void)delims;
    CheckMakeIntArray(text, sep, upd::fuzz::ModelItems(text, sep));
    return 0;
}
