// Fuzzes SplitString and CharInList: first + rest is always the text, first
// is the leading delimiters and one word, rest is empty or starts at a
// delimiter; with any delimiters and with those of the line-list reader.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "list_model.h"
#include "manifest/nv.h"

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const char sep = static_cast<char>(input.Byte());
    const std::string delims = input.CText('\n', 4);
    const std::string text = input.RestAsCString();
    (void)sep;
    CheckSplitString(text, delims);
    CheckSplitString(text, " \t(");

    const char ch = text.empty() ? '\0' : text[0];
    FUZZ_CHECK(upd::CharInList(ch, delims.c_str()) ==
               (ch != '\0' && delims.find(ch) != std::string::npos ? 1 : 0));
    FUZZ_CHECK(upd::CharInList(ch, nullptr) == 0);

    // The null text gives two empty strings.
    char* first = nullptr;
    char* rest = nullptr;
    FUZZ_CHECK(upd::SplitString(nullptr, delims.c_str(), &first, &rest) == 1);
    FUZZ_CHECK(first && rest && *first == '\0' && *rest == '\0');
    free(first);
    free(rest);
    return 0;
}
