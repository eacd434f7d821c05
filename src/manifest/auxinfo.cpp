// The manifest store: loading AuxInfo.txt into the process-wide section list,
// lookups by section and key, and release.
#include "manifest/auxinfo.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <unordered_map>

#include "files/file.h"
#include "manifest/line.h"
#include "util/str.h"

namespace upd {

AuxSection* aux_Section = nullptr;

namespace {

constexpr int kLineSize = kManifestLineSize;

void FreePairs(AuxPair* pair) {
    while (pair != nullptr) {
        AuxPair* next = pair->next;
        std::free(pair->name);
        std::free(pair->value);
        std::free(pair);
        pair = next;
    }
}

void FreeSections(AuxSection* section) {
    while (section != nullptr) {
        AuxSection* next = section->next;
        FreePairs(section->pairs);
        std::free(section->name);
        std::free(section);
        section = next;
    }
}

// Owns a section list while it is being built, so that a load that fails part
// way leaves nothing allocated.
class SectionListBuilder {
  public:
    SectionListBuilder() = default;
    SectionListBuilder(const SectionListBuilder&) = delete;
    SectionListBuilder& operator=(const SectionListBuilder&) = delete;
    ~SectionListBuilder() { FreeSections(head_); }

    bool AddSection(const char* name) {
        auto* section = static_cast<AuxSection*>(std::calloc(1, sizeof(AuxSection)));
        if (section == nullptr) {
            return false;
        }
        section->name = strdup(name);
        if (section->name == nullptr) {
            std::free(section);
            return false;
        }
        (head_ == nullptr ? head_ : tail_->next) = section;
        tail_ = section;
        last_pair_ = nullptr;
        return true;
    }

    // Appends to the current section; false when there is none yet.
    bool AddPair(const char* name, const char* value) {
        if (tail_ == nullptr) {
            return false;
        }
        auto* pair = static_cast<AuxPair*>(std::calloc(1, sizeof(AuxPair)));
        if (pair == nullptr) {
            return false;
        }
        pair->name = strdup(name);
        pair->value = strdup(value);
        if (pair->name == nullptr || pair->value == nullptr) {
            FreePairs(pair);
            return false;
        }
        (last_pair_ == nullptr ? tail_->pairs : last_pair_->next) = pair;
        last_pair_ = pair;
        return true;
    }

    AuxSection* Release() {
        AuxSection* head = head_;
        head_ = tail_ = nullptr;
        last_pair_ = nullptr;
        return head;
    }

  private:
    AuxSection* head_ = nullptr;
    AuxSection* tail_ = nullptr;
    AuxPair* last_pair_ = nullptr;
};

// Parses the whole stream into a new section list in *out; 0 on any failure
// with nothing allocated.
int LoadSections(FILE* stream, AuxSection** out) {
    char line[kLineSize];
    char name[kLineSize];
    char value[kLineSize];
    SectionListBuilder builder;
    for (;;) {
        int skipped = 0;
        const int len =
            nextline(stream, line, kLineSize, kSkipBlankLines | kSkipCommentLines, &skipped);
        if (len == -1) {
            *out = builder.Release();
            return 1;
        }
        if (len < 0) {
            return 0;
        }
        if (std::strchr(line, '=') == nullptr) {
            if (!builder.AddSection(line)) {
                return 0;
            }
            continue;
        }
        if (!nvline(line, name, kLineSize, value, kLineSize) || !builder.AddPair(name, value)) {
            return 0;
        }
    }
}

const AuxPair* FindPair(const AuxSection* section, const char* key);

// Lookups by name without walking the store: the first section of each name
// and, within each such section that holds many pairs (the list section of a
// large package), the first pair of each name, so that a run of many sections
// costs the same per section as a run of few. A few pairs are walked: that is
// as fast as a hash lookup and keeps the index small beside the store. The
// store and its order stay the truth: the index is rebuilt from it on the
// first lookup after a load or a release, and also after the lists were
// extended by hand at their head or their tail (the two ends a lookup can
// check at no cost).
class StoreIndex {
  public:
    // Finds the first pair named `key` in the first section named `section`;
    // *pair is null when either is missing. False when the index cannot be
    // built (no memory): the caller then walks the store.
    bool Find(const char* section, const char* key, const AuxPair** pair) {
        if (!Current()) {
            Build();
        }
        auto it = sections_.find(std::string_view(section));
        if (usable_ && it != sections_.end() && !PairsCurrent(it->second)) {
            Build();
            it = sections_.find(std::string_view(section));
        }
        if (!usable_) {
            return false;
        }
        *pair = nullptr;
        if (it == sections_.end()) {
            return true;
        }
        if (!it->second.pairsIndexed) {
            *pair = FindPair(it->second.section, key);
            return true;
        }
        const auto found = pairs_.find(PairKey{it->second.section, std::string_view(key)});
        if (found != pairs_.end()) {
            *pair = found->second;
        }
        return true;
    }

    void Clear() {
        sections_.clear();
        pairs_.clear();
        built_ = usable_ = false;
        head_ = tail_ = nullptr;
    }

  private:
    // Sections with more pairs than this have their pairs indexed too.
    static constexpr std::size_t kWalkedPairs = 16;

    struct Entry {
        const AuxSection* section;
        const AuxPair* first;  // the section's pairs when indexed
        const AuxPair* last;
        bool pairsIndexed;
    };
    struct PairKey {
        const AuxSection* section;
        std::string_view name;
        bool operator==(const PairKey&) const = default;
    };
    struct PairKeyHash {
        std::size_t operator()(const PairKey& k) const {
            return std::hash<std::string_view>{}(k.name) * 31 + std::hash<const void*>{}(k.section);
        }
    };

    bool Current() const {
        return built_ && head_ == aux_Section && (tail_ == nullptr || tail_->next == nullptr);
    }

    static std::size_t CountPairs(const AuxSection* section) {
        std::size_t n = 0;
        for (const AuxPair* p = section->pairs; p != nullptr; p = p->next) {
            ++n;
        }
        return n;
    }

    static bool PairsCurrent(const Entry& entry) {
        return entry.section->pairs == entry.first &&
               (entry.last == nullptr || entry.last->next == nullptr);
    }

    void Build() {
        Clear();
        built_ = true;
        head_ = aux_Section;
        try {
            std::size_t sectionCount = 0;
            std::size_t pairCount = 0;
            for (const AuxSection* s = aux_Section; s != nullptr; s = s->next) {
                ++sectionCount;
                const std::size_t pairs = CountPairs(s);
                pairCount += pairs > kWalkedPairs ? pairs : 0;
            }
            sections_.reserve(sectionCount);
            pairs_.reserve(pairCount);
            for (const AuxSection* s = aux_Section; s != nullptr; s = s->next) {
                tail_ = s;
                // Only the first section of a name is ever looked into.
                if (s->name == nullptr) {
                    continue;
                }
                const bool indexed = CountPairs(s) > kWalkedPairs;
                const auto [entry, added] = sections_.try_emplace(
                    std::string_view(s->name), Entry{s, s->pairs, nullptr, indexed});
                if (!added) {
                    continue;
                }
                for (const AuxPair* p = s->pairs; p != nullptr; p = p->next) {
                    entry->second.last = p;
                    if (indexed && p->name != nullptr) {
                        pairs_.try_emplace(PairKey{s, std::string_view(p->name)}, p);
                    }
                }
            }
            usable_ = true;
        } catch (const std::bad_alloc&) {
            sections_.clear();
            pairs_.clear();
            usable_ = false;
        }
    }

    std::unordered_map<std::string_view, Entry> sections_;
    std::unordered_map<PairKey, const AuxPair*, PairKeyHash> pairs_;
    bool built_ = false;   // built for the store at head_
    bool usable_ = false;  // built completely
    const AuxSection* head_ = nullptr;
    const AuxSection* tail_ = nullptr;  // last section when built
};

StoreIndex& Index() {
    static StoreIndex index;
    return index;
}

// Replaces the store with a freshly loaded list. A store left from an earlier
// load is released rather than leaked.
void InstallStore(AuxSection* sections) {
    Index().Clear();
    FreeSections(aux_Section);
    aux_Section = sections;
}

const AuxSection* FindSection(const char* name) {
    for (const AuxSection* s = aux_Section; s != nullptr; s = s->next) {
        if (s->name != nullptr && std::strcmp(s->name, name) == 0) {
            return s;
        }
    }
    return nullptr;
}

const AuxPair* FindPair(const AuxSection* section, const char* key) {
    for (const AuxPair* p = section->pairs; p != nullptr; p = p->next) {
        if (p->name != nullptr && std::strcmp(p->name, key) == 0) {
            return p;
        }
    }
    return nullptr;
}

// Copies `text` with its NUL into dst when it fits; 0 with dst untouched otherwise.
int CopyIfFits(const char* text, char* dst, int dstsize) {
    if (dst == nullptr || dstsize <= 0) {
        return 0;
    }
    const size_t len = std::strlen(text);
    if (len >= static_cast<size_t>(dstsize)) {
        return 0;
    }
    std::memcpy(dst, text, len + 1);
    return 1;
}

// Copies the `len` characters at `text` into dst as a string. When they do not
// fit, dst gets the first dstsize - 1 of them and the result is 0.
int CopyPart(const char* text, size_t len, char* dst, int dstsize) {
    const size_t room = static_cast<size_t>(dstsize) - 1;
    const bool fits = len <= room;
    const size_t n = fits ? len : room;
    std::memcpy(dst, text, n);
    dst[n] = '\0';
    return fits ? 1 : 0;
}

bool IsBlankChar(char ch) {
    return IsWhiteSpace(static_cast<unsigned char>(ch)) != 0;
}

const char* TrimEnd(const char* start, const char* end) {
    while (end > start && IsBlankChar(end[-1])) {
        --end;
    }
    return end;
}

}  // namespace

int ReadAuxInfo(const char* path) {
    if (path == nullptr) {
        return 0;
    }
    FILE* stream = OpenRegularStream(path);
    if (stream == nullptr) {
        return 0;
    }
    AuxSection* sections = nullptr;
    const int loaded = LoadSections(stream, &sections);
    if (std::fclose(stream) != 0 || !loaded) {
        FreeSections(sections);
        return 0;
    }
    InstallStore(sections);
    return 1;
}

int ReadAuxInfoStream(FILE* stream) {
    if (stream == nullptr) {
        return 0;
    }
    AuxSection* sections = nullptr;
    if (!LoadSections(stream, &sections)) {
        return 0;
    }
    InstallStore(sections);
    return 1;
}

int GetAuxInfo(const char* section, const char* key, char* dst, int dstsize, bool* found) {
    bool ignored = false;
    if (found == nullptr) {
        found = &ignored;
    }
    *found = false;
    if (section == nullptr || key == nullptr) {
        return 1;
    }
    const AuxPair* pair = nullptr;
    if (!Index().Find(section, key, &pair)) {
        const AuxSection* s = FindSection(section);
        pair = s != nullptr ? FindPair(s, key) : nullptr;
    }
    if (pair == nullptr) {
        return 1;
    }
    *found = true;
    return CopyIfFits(pair->value != nullptr ? pair->value : "", dst, dstsize);
}

int GetSection(int index, char* dst, int dstsize, bool* found) {
    bool ignored = false;
    if (found == nullptr) {
        found = &ignored;
    }
    *found = false;
    if (index < 0) {
        return 0;
    }
    const AuxSection* s = aux_Section;
    for (int i = 0; i < index && s != nullptr; ++i) {
        s = s->next;
    }
    if (s == nullptr) {
        return 1;
    }
    if (s->name == nullptr || !CopyIfFits(s->name, dst, dstsize)) {
        return 0;
    }
    *found = true;
    return 1;
}

void ShowAuxInfo() {
    // The walk a listing would make; the updater prints nothing from here.
    for (const AuxSection* s = aux_Section; s != nullptr; s = s->next) {
        for (const AuxPair* p = s->pairs; p != nullptr; p = p->next) {
        }
    }
}

void FreeAuxInfo() {
    Index().Clear();
    FreeSections(aux_Section);
    aux_Section = nullptr;
}

int nvline(const char* line, char* name, int namesize, char* value, int valuesize) {
    const bool name_room = name != nullptr && namesize >= 1;
    const bool value_room = value != nullptr && valuesize >= 1;
    if (name_room) {
        name[0] = '\0';
    }
    if (value_room) {
        value[0] = '\0';
    }
    if (line == nullptr) {
        return 1;
    }
    if (!name_room || !value_room) {
        return 0;
    }
    const char* eq = std::strchr(line, '=');
    const char* name_start = SkipSpaces(line);
    const char* name_end = TrimEnd(name_start, eq != nullptr ? eq : line + std::strlen(line));
    if (!CopyPart(name_start, static_cast<size_t>(name_end - name_start), name, namesize)) {
        return 0;
    }
    if (eq == nullptr) {
        return 1;
    }
    const char* value_start = SkipSpaces(eq + 1);
    const char* value_end = TrimEnd(value_start, value_start + std::strlen(value_start));
    return CopyPart(value_start, static_cast<size_t>(value_end - value_start), value, valuesize);
}

}  // namespace upd
