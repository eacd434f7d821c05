// A plain model of how a separated text splits into items, for the fuzz
// targets of the list-splitting functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upd::fuzz {

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

inline std::string Strip(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// Items of `text` split at `sep`: every part before a separator is an item
// (possibly empty), the part after the last one only when it is not blank.
inline std::vector<std::string> ModelItems(const std::string& text, char sep) {
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

}  // namespace upd::fuzz
