// Fuzzes the manifest loader on arbitrary bytes, then looks up what was
// loaded. The store must hold exactly the sections and pairs that a plain
// model of the manifest format finds in the input, lookups must return those
// values and refuse at the buffer-size boundary, and a failed load must leave
// the previous store untouched.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "line_model.h"
#include "manifest/auxinfo.h"

namespace {

struct Pair {
    std::string name, value;
};
struct Section {
    std::string name;
    std::vector<Pair> pairs;
};

std::string Strip(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// The manifest format: 256-byte lines read with blank and comment lines
// skipped; a line without '=' starts a section, a line with one is a pair of
// the current section split at the first '='. False when the load must fail.
bool ModelLoad(std::string_view text, std::vector<Section>* out) {
    size_t pos = 0;
    for (;;) {
        upd::fuzz::ModelLine line = upd::fuzz::ModelNextLine(text, &pos, 256, 3);
        if (line.result == -1) {
            return true;
        }
        if (line.result < 0) {
            return false;
        }
        std::string_view visible(line.text.c_str());  // the loader sees a C string
        size_t eq = visible.find('=');
        if (eq == std::string_view::npos) {
            out->push_back({std::string(visible), {}});
        } else if (out->empty()) {
            return false;
        } else {
            out->back().pairs.push_back(
                {Strip(visible.substr(0, eq)), Strip(visible.substr(eq + 1))});
        }
    }
}

// The first section of that name, and in it the first pair of that name.
const Pair* ModelLookup(const std::vector<Section>& store, const std::string& section,
                        const std::string& key) {
    for (const Section& s : store) {
        if (s.name == section) {
            for (const Pair& p : s.pairs) {
                if (p.name == key) {
                    return &p;
                }
            }
            return nullptr;
        }
    }
    return nullptr;
}

void CheckStoreEquals(const std::vector<Section>& want) {
    const upd::AuxSection* s = upd::aux_Section;
    for (const Section& ws : want) {
        FUZZ_CHECK(s != nullptr && s->name != nullptr);
        FUZZ_CHECK(ws.name == s->name);
        const upd::AuxPair* p = s->pairs;
        for (const Pair& wp : ws.pairs) {
            FUZZ_CHECK(p != nullptr && p->name != nullptr && p->value != nullptr);
            FUZZ_CHECK(wp.name == p->name);
            FUZZ_CHECK(wp.value == p->value);
            p = p->next;
        }
        FUZZ_CHECK(p == nullptr);
        s = s->next;
    }
    FUZZ_CHECK(s == nullptr);
}

// One lookup against the model, including the refusal of a value that does
// not fit and the promise to leave dst alone when nothing is copied.
void CheckLookup(const std::vector<Section>& store, const std::string& section,
                 const std::string& key) {
    const Pair* want = ModelLookup(store, section, key);
    const size_t len = want ? want->value.size() : 0;
    for (size_t dstsize : {len + 1, len, size_t{1}, size_t{256}}) {
        if (dstsize == 0) {
            continue;
        }
        std::unique_ptr<char[]> dst(new char[dstsize]);
        memset(dst.get(), '\x7f', dstsize);
        bool found = !want;  // must be overwritten
        int r = upd::GetAuxInfo(section.c_str(), key.c_str(), dst.get(), static_cast<int>(dstsize),
                                &found);
        FUZZ_CHECK(found == (want != nullptr));
        if (want != nullptr && len < dstsize) {
            FUZZ_CHECK(r == 1);
            FUZZ_CHECK(memcmp(dst.get(), want->value.c_str(), len + 1) == 0);
        } else {
            FUZZ_CHECK(r == (want ? 0 : 1));
            for (size_t i = 0; i < dstsize; ++i) {
                FUZZ_CHECK(dst[i] == '\x7f');
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    upd::fuzz::Input input(data, size);
    // The input carries a section name and a key to look up, then the manifest.
    const std::string askSection = input.CText('\n', 300);
    const std::string askKey = input.CText('\n', 300);
    const std::string_view text = input.Rest();

    std::vector<Section> want;
    const bool loads = ModelLoad(text, &want);

    // A failed load must leave the store it found; a successful one replaces it.
    std::vector<Section> before;
    upd::FreeAuxInfo();
    if (!loads) {
        std::string base = "Base\nkey = value\n";
        std::string keepBase;
        FILE* b = upd::fuzz::OpenBytes(base, &keepBase);
        FUZZ_CHECK(upd::ReadAuxInfoStream(b) == 1);
        fclose(b);
        before = {{"Base", {{"key", "value"}}}};
    }

    std::string keep;
    FILE* stream = upd::fuzz::OpenBytes(text, &keep);
    FUZZ_CHECK(stream != nullptr);
    const int r = upd::ReadAuxInfoStream(stream);
    fclose(stream);
    FUZZ_CHECK(r == (loads ? 1 : 0));
    const std::vector<Section>& store = loads ? want : before;
    CheckStoreEquals(store);

    for (const Section& s : store) {
        for (const Pair& p : s.pairs) {
            CheckLookup(store, s.name, p.name);
        }
        CheckLookup(store, s.name, askKey);
    }
    CheckLookup(store, askSection, askKey);

    // Sections by position, and the bounds of the index.
    char name[256];
    bool found = true;
    FUZZ_CHECK(upd::GetSection(-1, name, sizeof name, &found) == 0 && !found);
    for (size_t i = 0; i <= store.size(); ++i) {
        found = i == store.size();
        int g = upd::GetSection(static_cast<int>(i), name, sizeof name, &found);
        if (i == store.size()) {
            FUZZ_CHECK(g == 1 && !found);
        } else {
            FUZZ_CHECK(g == 1 && found && store[i].name == name);
        }
    }

    upd::ShowAuxInfo();
    upd::FreeAuxInfo();
    FUZZ_CHECK(upd::aux_Section == nullptr);
    upd::FreeAuxInfo();
    return 0;
}
