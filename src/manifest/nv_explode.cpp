// Generation of every combination of the long and short forms of a sequence
// of command words (MEASure VOLTage gives MEASureVOLTage, MEASVOLTage, ...).
#include "manifest/nv.h"

#include <cstdlib>
#include <cstring>

namespace upd {

namespace {

constexpr size_t kShortFormLength = 4;

bool IsVowel(char ch) {
    return ch != '\0' && std::strchr("AEIOUaeiou", ch) != nullptr;
}

// Length of the short form of a word: its first 4 characters, or 3 when the
// fourth is a vowel; 0 for a word of 4 characters or fewer, which has none.
size_t ShortFormLength(const char* word, size_t length) {
    if (length <= kShortFormLength) {
        return 0;
    }
    return IsVowel(word[kShortFormLength - 1]) ? kShortFormLength - 1 : kShortFormLength;
}

// Appends entries at the tail; releases them unless handed over.
class EntryList {
  public:
    EntryList() = default;
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;
    ~EntryList() { nv_ExplodeFree(head_); }

    // A new entry of `length` characters to fill; null when memory runs out.
    char* Append(size_t length) {
        auto* entry = static_cast<elist*>(std::calloc(1, sizeof(elist)));
        if (entry == nullptr) {
            return nullptr;
        }
        entry->text = static_cast<char*>(std::malloc(length + 1));
        if (entry->text == nullptr) {
            std::free(entry);
            return nullptr;
        }
        entry->text[length] = '\0';
        (head_ == nullptr ? head_ : tail_->next) = entry;
        tail_ = entry;
        return entry->text;
    }

    elist* Release() {
        elist* head = head_;
        head_ = tail_ = nullptr;
        return head;
    }

  private:
    elist* head_ = nullptr;
    elist* tail_ = nullptr;
};

// Calls visit(word, n) for each word in order with the length n of its form in
// entry number `entry`: the j-th word that has a short form is shortened
// exactly when bit j of `entry` is set.
template <typename Visit>
void ForEachForm(char** words, size_t entry, Visit visit) {
    size_t bit = 0;
    for (char** w = words; *w != nullptr; ++w) {
        const size_t full = std::strlen(*w);
        const size_t brief = ShortFormLength(*w, full);
        if (brief == 0) {
            visit(*w, full);
            continue;
        }
        visit(*w, (entry >> bit) & 1 ? brief : full);
        ++bit;
    }
}

}  // namespace

// Entry number i takes the short form of the j-th word that has one exactly
// when bit j of i is set: all long forms first, then the first such word
// shortened, and so on, the order in which doubling the list word by word
// (long forms kept in place, the shortened copy attached after) lays them out.
elist* nv_Explode(char** words) {
    if (words == nullptr || words[0] == nullptr) {
        return nullptr;
    }
    size_t short_words = 0;
    size_t long_length = 0;
    for (char** w = words; *w != nullptr; ++w) {
        const size_t length = std::strlen(*w);
        short_words += ShortFormLength(*w, length) != 0 ? 1 : 0;
        if (length >= kExplodeMaxBytes - long_length) {
            return nullptr;  // even one entry would exceed the budget
        }
        long_length += length;
    }
    // Every entry takes at least its terminator, so more short words than
    // the budget has bits can never fit.
    constexpr size_t kBudgetBits = 26;
    static_assert(kExplodeMaxBytes <= size_t{1} << kBudgetBits);
    if (short_words > kBudgetBits) {
        return nullptr;
    }
    const size_t entries = size_t{1} << short_words;
    if (long_length + 1 > kExplodeMaxBytes / entries) {
        return nullptr;
    }
    EntryList list;
    for (size_t i = 0; i < entries; ++i) {
        size_t length = 0;
        ForEachForm(words, i, [&](const char*, size_t n) { length += n; });
        char* text = list.Append(length);
        if (text == nullptr) {
            return nullptr;
        }
        ForEachForm(words, i, [&](const char* word, size_t n) {
            std::memcpy(text, word, n);
            text += n;
        });
    }
    return list.Release();
}

void nv_ExplodeFree(elist* list) {
    while (list != nullptr) {
        elist* next = list->next;
        std::free(list->text);
        std::free(list);
        list = next;
    }
}

}  // namespace upd
