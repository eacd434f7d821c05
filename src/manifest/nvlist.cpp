// Name-value list parsers: the name=value pieces of a text, and one-line lists
// of items such as a = 1 ; b = two words parsed into positioned records.
#include "manifest/nv.h"

#include <cstdlib>
#include <cstring>

#include "util/str.h"

namespace upd {

namespace {

bool IsBlankChar(char ch) {
    return IsWhiteSpace(static_cast<unsigned char>(ch)) != 0;
}

// The characters [start, end) of the text; empty when end <= start.
struct Span {
    int start = 0;
    int end = 0;
    bool empty() const { return end <= start; }
};

// An nvlist array owned until handed over.
class PieceArray {
  public:
    explicit PieceArray(size_t count)
        : items_(static_cast<char**>(std::calloc(count + 1, sizeof(char*)))) {}
    PieceArray(const PieceArray&) = delete;
    PieceArray& operator=(const PieceArray&) = delete;
    ~PieceArray() { free_nvlist(items_); }
    bool ok() const { return items_ != nullptr; }
    char*& operator[](size_t i) { return items_[i]; }
    char** release() {
        char** items = items_;
        items_ = nullptr;
        return items;
    }

  private:
    char** items_;
};

// Builds a record list in text order; releases it unless handed over.
class NvListBuilder {
  public:
    explicit NvListBuilder(const char* text) : text_(text) {}
    NvListBuilder(const NvListBuilder&) = delete;
    NvListBuilder& operator=(const NvListBuilder&) = delete;
    ~NvListBuilder() { free_nvlist1(head_); }

    // Appends an item unless it has neither name nor value; false when
    // memory runs out.
    bool Add(Span name, Span value, int eq_pos, int semi_pos) {
        if (name.empty() && value.empty()) {
            return true;
        }
        auto* item = static_cast<nv*>(std::calloc(1, sizeof(nv)));
        if (item == nullptr) {
            return false;
        }
        (head_ == nullptr ? head_ : tail_->next) = item;
        tail_ = item;
        ++count_;
        item->name_pos = item->value_pos = item->eq_pos = item->semi_pos = -1;
        if (!name.empty()) {
            item->name = Copy(name);
            item->name_pos = static_cast<int16_t>(name.start);
        }
        if (!value.empty()) {
            item->value = Copy(value);
            item->value_pos = static_cast<int16_t>(value.start);
        }
        item->eq_pos = static_cast<int16_t>(eq_pos);
        if (semi_pos >= 0) {
            item->semi_pos = static_cast<int16_t>(semi_pos);
            item->flags = item->flags2 = kNvEndedBySemicolon;
        }
        return (name.empty() || item->name != nullptr) && (value.empty() || item->value != nullptr);
    }

    int count() const { return count_; }

    nv* Release() {
        nv* head = head_;
        head_ = tail_ = nullptr;
        return head;
    }

  private:
    char* Copy(Span s) const {
        return strndup(text_ + s.start, static_cast<size_t>(s.end - s.start));
    }

    const char* text_;
    nv* head_ = nullptr;
    nv* tail_ = nullptr;
    int count_ = 0;
};

// Parses one name-value list; split_names makes every word but the last
// before an item's '=' an item of its own.
class NvParser {
  public:
    NvParser(const char* text, int length, bool split_names)
        : t_(text), n_(length), split_names_(split_names), out_(text) {}

    // The number of items, or -1 when memory ran out.
    int Parse() {
        int pos = 0;
        while (pos < n_) {
            while (pos < n_ && (IsBlankChar(t_[pos]) || t_[pos] == ';')) {
                ++pos;
            }
            if (pos == n_) {
                break;
            }
            pos = ParseItemsFrom(pos);
            if (pos < 0) {
                return -1;
            }
        }
        return out_.count();
    }

    nv* Release() { return out_.Release(); }

  private:
    // Parses the item starting at `start` and the items that follow it without
    // a separating semicolon. Returns where the next item search starts, or -1
    // when memory ran out.
    int ParseItemsFrom(int start) {
        for (;;) {
            const int k = FindEqOrSemi(start);
            if (k == n_ || t_[k] == ';') {
                const int semi = k < n_ ? k : -1;
                if (!out_.Add({start, TrimBack(start, k)}, {}, -1, semi)) {
                    return -1;
                }
                return k < n_ ? k + 1 : n_;
            }
            if (!AddNamesBefore(start, k)) {
                return -1;
            }
            const Span name = LastName(start, k);
            const int value_start = SkipBlanks(k + 1);
            const int m = FindEqOrSemi(k + 1);
            if (m == n_ || t_[m] == ';') {
                const int semi = m < n_ ? m : -1;
                if (!out_.Add(name, {value_start, TrimBack(value_start, m)}, k, semi)) {
                    return -1;
                }
                return m < n_ ? m + 1 : n_;
            }
            // A second '=' follows: the last word before it names the next
            // item, unless it is the only word after this item's '='.
            const int word_end = TrimBack(k + 1, m);
            int word_start = word_end;
            while (word_start > k + 1 && !IsBlankChar(t_[word_start - 1])) {
                --word_start;
            }
            Span value;
            if (value_start >= m) {
                start = m;
            } else if (word_start == value_start) {
                value = {value_start, word_end};
                start = m;
            } else {
                value = {value_start, TrimBack(value_start, word_start)};
                start = word_start;
            }
            if (!out_.Add(name, value, k, -1)) {
                return -1;
            }
        }
    }

    // With split names, every word of [start, eq) but the last becomes an
    // item with a name only.
    bool AddNamesBefore(int start, int eq) {
        if (!split_names_) {
            return true;
        }
        const int last = LastName(start, eq).start;
        int p = start;
        while (p < last) {
            const int word_start = p;
            while (p < last && !IsBlankChar(t_[p])) {
                ++p;
            }
            if (!out_.Add({word_start, p}, {}, -1, -1)) {
                return false;
            }
            p = SkipBlanks(p);
        }
        return true;
    }

    // The name of an item whose '=' is at `eq`: the whole text before it, or
    // its last word with split names.
    Span LastName(int start, int eq) const {
        const int end = TrimBack(start, eq);
        if (!split_names_) {
            return {start, end};
        }
        int word_start = end;
        while (word_start > start && !IsBlankChar(t_[word_start - 1])) {
            --word_start;
        }
        return {word_start, end};
    }

    int FindEqOrSemi(int from) const {
        while (from < n_ && t_[from] != '=' && t_[from] != ';') {
            ++from;
        }
        return from;
    }

    int SkipBlanks(int from) const {
        while (from < n_ && IsBlankChar(t_[from])) {
            ++from;
        }
        return from;
    }

    int TrimBack(int lo, int hi) const {
        while (hi > lo && IsBlankChar(t_[hi - 1])) {
            --hi;
        }
        return hi;
    }

    const char* t_;
    int n_;
    bool split_names_;
    NvListBuilder out_;
};

int ParseNvList(const char* text, nv** list, bool split_names) {
    if (list == nullptr) {
        return 0;
    }
    const size_t length = text != nullptr ? strnlen(text, kNvMaxText + 1) : 0;
    if (length > kNvMaxText) {
        *list = nullptr;
        return 0;
    }
    NvParser parser(text != nullptr ? text : "", static_cast<int>(length), split_names);
    const int count = parser.Parse();
    if (count < 0) {
        return 0;
    }
    *list = parser.Release();
    return count;
}

}  // namespace

int nvlist(const char* text, char*** items) {
    if (items == nullptr) {
        return 0;
    }
    if (text == nullptr) {
        text = "";
    }
    size_t count = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        count += *p == '=' ? 1 : 0;
    }
    PieceArray pieces(count);
    if (!pieces.ok()) {
        return 0;
    }
    size_t index = 0;
    for (const char* eq = std::strchr(text, '='); eq != nullptr; eq = std::strchr(eq + 1, '=')) {
        const char* name_end = eq;
        while (name_end > text && name_end[-1] == ' ') {
            --name_end;
        }
        const char* name_start = name_end;
        while (name_start > text && name_start[-1] != ' ' && name_start[-1] != '=') {
            --name_start;
        }
        const char* value_start = eq + 1;
        while (*value_start == ' ') {
            ++value_start;
        }
        const char* value_end = value_start;
        while (*value_end != '\0' && *value_end != ' ' && *value_end != '=') {
            ++value_end;
        }
        // Without a name the piece starts at the '=', without a value it ends there.
        const char* begin = name_start < name_end ? name_start : eq;
        const char* end = value_start < value_end ? value_end : eq + 1;
        pieces[index] = strndup(begin, static_cast<size_t>(end - begin));
        if (pieces[index] == nullptr) {
            return 0;
        }
        ++index;
    }
    *items = pieces.release();
    return 1;
}

void free_nvlist(char** items) {
    if (items == nullptr) {
        return;
    }
    for (char** item = items; *item != nullptr; ++item) {
        std::free(*item);
    }
    std::free(items);
}

int nvlist1(const char* text, nv** list) {
    return ParseNvList(text, list, false);
}

int nvlist2(const char* text, nv** list) {
    return ParseNvList(text, list, true);
}

void free_nvlist1(nv* list) {
    while (list != nullptr) {
        nv* next = list->next;
        std::free(list->name);
        std::free(list->value);
        std::free(list);
        list = next;
    }
}

}  // namespace upd
