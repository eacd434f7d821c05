// Fuzzes mklist (with an offsets array of exactly the size it may use) and
// mklist1 against a plain model of the item rules: items in order, stripped of
// outer blanks, empty ones kept except after the last separator, none for a
// blank text or a blank or NUL separator.
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "list_model.h"
#include "manifest/nv.h"

namespace {

using upd::fuzz::IsBlank;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const char sep = static_cast<char>(input.Byte());
    const std::string delims = input.CText('\n', 4);
    const std::string text = input.RestAsCString();
    (void)delims;
    const std::vector<std::string> items = upd::fuzz::ModelItems(text, sep);
    CheckMklist(text, sep, items);
    CheckMklist1(text, sep, items);
    FUZZ_CHECK(upd::mklist1(nullptr, sep) == nullptr);
    return 0;
}
