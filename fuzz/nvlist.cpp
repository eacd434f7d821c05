// Fuzzes the name-value list parsers. nvlist: one piece per '=' holding that
// '='. nvlist1 and nvlist2: every record points at its own text (name and
// value found at their positions, trimmed, without ';' or '='), records come
// in text order, and no character other than blanks, ';' and '=' is lost.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "manifest/nv.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void CheckNvlist(const std::string& text) {
    char** items = nullptr;
    FUZZ_CHECK(upd::nvlist(text.c_str(), &items) == 1);
    FUZZ_CHECK(items != nullptr);
    size_t n = 0;
    for (size_t e = text.find('='); e != std::string::npos; e = text.find('=', e + 1), ++n) {
        FUZZ_CHECK(items[n] != nullptr);
        // The n-th piece is the text around the n-th '=', copied as written.
        const std::string piece = items[n];
        bool covers = false;
        for (size_t p = e + 1 < piece.size() ? 0 : e + 1 - piece.size(); p <= e && !covers; ++p) {
            covers = text.compare(p, piece.size(), piece) == 0;
        }
        FUZZ_CHECK(covers);
    }
    FUZZ_CHECK(items[n] == nullptr);
    upd::free_nvlist(items);
}

// A field of a record is text of its own at its position: non-empty, no
// outer blanks, no ';' or '='.
void CheckField(const std::string& text, const char* field, int16_t pos,
                std::vector<bool>* covered) {
    FUZZ_CHECK((field != nullptr) == (pos >= 0));
    if (field == nullptr) {
        return;
    }
    const size_t len = strlen(field);
    FUZZ_CHECK(len > 0 && static_cast<size_t>(pos) + len <= text.size());
    FUZZ_CHECK(text.compare(pos, len, field) == 0);
    FUZZ_CHECK(!IsBlank(field[0]) && !IsBlank(field[len - 1]));
    FUZZ_CHECK(strpbrk(field, ";=") == nullptr);
    for (size_t i = pos; i < pos + len; ++i) {
        FUZZ_CHECK(!(*covered)[i]);  // no two fields share a character
        (*covered)[i] = true;
    }
}

void CheckRecords(const std::string& text, bool second) {
    upd::nv* list = reinterpret_cast<upd::nv*>(&list);  // must be overwritten
    const int count =
        second ? upd::nvlist2(text.c_str(), &list) : upd::nvlist1(text.c_str(), &list);
    FUZZ_CHECK((count == 0) == (list == nullptr));
    std::vector<bool> covered(text.size(), false);
    int n = 0;
    int last = -1;
    for (const upd::nv* r = list; r != nullptr; r = r->next, ++n) {
        FUZZ_CHECK(r->name != nullptr || r->value != nullptr);
        CheckField(text, r->name, r->name_pos, &covered);
        CheckField(text, r->value, r->value_pos, &covered);
        FUZZ_CHECK(r->flags == r->flags2 && (r->flags & ~upd::kNvEndedBySemicolon) == 0);
        FUZZ_CHECK(((r->flags & upd::kNvEndedBySemicolon) != 0) == (r->semi_pos >= 0));
        if (r->semi_pos >= 0) {
            FUZZ_CHECK(static_cast<size_t>(r->semi_pos) < text.size() && text[r->semi_pos] == ';');
        }
        if (r->value != nullptr) {
            // A value follows its item's '='.
            FUZZ_CHECK(r->eq_pos >= 0 && r->eq_pos < r->value_pos && text[r->eq_pos] == '=');
        }
        if (r->name != nullptr && r->eq_pos >= 0) {
            FUZZ_CHECK(r->name_pos < r->eq_pos);
            if (second) {
                FUZZ_CHECK(strpbrk(r->name, " \t") == nullptr);  // one word before '='
            }
        }
        // Records in text order.
        const int start = r->name != nullptr ? r->name_pos : r->eq_pos;
        FUZZ_CHECK(start > last);
        last = start;
    }
    FUZZ_CHECK(n == count);
    for (size_t i = 0; i < text.size(); ++i) {
        FUZZ_CHECK(covered[i] || IsBlank(text[i]) || text[i] == ';' || text[i] == '=');
    }
    upd::free_nvlist1(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    const std::string text = input.RestAsCString();
    CheckNvlist(text);
    CheckRecords(text, false);
    CheckRecords(text, true);
    return 0;
}
