// Fuzzes nv_Explode: the words are the input's lines (at most 8, so at most
// 256 entries), and the result must be exactly every combination of their long
// and short forms, in order, all long forms first.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "manifest/nv.h"

namespace {

std::string ShortForm(const std::string& w) {
    if (w.size() <= 4) {
        return {};
    }
    return strchr("AEIOUaeiou", w[3]) != nullptr && w[3] != '\0' ? w.substr(0, 3) : w.substr(0, 4);
}

void CheckExplode(const std::vector<std::string>& words) {
    std::vector<char*> array;
    for (const std::string& w : words) {
        array.push_back(const_cast<char*>(w.c_str()));
    }
    array.push_back(nullptr);
    std::vector<std::string> want;
    if (!words.empty()) {
        want.push_back("");
    }
    for (const std::string& w : words) {
        const std::string brief = ShortForm(w);
        std::vector<std::string> next;
        for (const std::string& e : want) {
            next.push_back(e + w);
        }
        if (!brief.empty()) {
            for (const std::string& e : want) {
                next.push_back(e + brief);
            }
        }
        want.swap(next);
    }
    upd::elist* list = upd::nv_Explode(array.data());
    const upd::elist* e = list;
    for (const std::string& w : want) {
        FUZZ_CHECK(e != nullptr && e->text != nullptr && w == e->text);
        e = e->next;
    }
    FUZZ_CHECK(e == nullptr);
    upd::nv_ExplodeFree(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const std::string text = input.RestAsCString();
    std::vector<std::string> words;
    size_t start = 0;
    while (!text.empty() && words.size() < 8 && start <= text.size()) {
        size_t cut = std::min(text.find('\n', start), text.size());
        words.push_back(text.substr(start, cut - start));
        start = cut + 1;
    }
    CheckExplode(words);
    return 0;
}
