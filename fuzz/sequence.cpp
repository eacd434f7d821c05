// Fuzzes the expansion of the manifest's sequence into the run list, on
// arbitrary manifests: it must end (cycles fail, and so does a list that
// multiplies past the run list's limit), every entry must be what a plain
// model of the expansion gives, and a failed expansion must leave a list that
// can still be released. The expansion and the model both use a small limit
// (kEntries) instead of the product's kMaxRunListEntries: the rules are the
// same at any limit, and an input then costs microseconds, not the building of
// a list of 65,536 names, so the fuzzer explores the rules and still reaches
// the limit's failure often.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "list_model.h"
#include "manifest/auxinfo.h"
#include "update/update.h"

namespace {

constexpr size_t kEntries = 64;

struct Model {
    std::vector<std::string> list;
    bool ok = true;
};

void Expand(const std::string& key, std::set<std::string>* expanding, Model* m) {
    if (!m->ok) {
        return;
    }
    char value[512];
    bool found = false;
    if (!upd::GetAuxInfo("SectionList", key.c_str(), value, sizeof value, &found)) {
        m->ok = false;
        return;
    }
    if (!found) {
        // A run list longer than the limit fails like any other.
        m->ok = m->list.size() < kEntries;
        if (m->ok) {
            m->list.push_back(key);
        }
        return;
    }
    std::vector<std::string> items = upd::fuzz::ModelItems(value, ',');
    if (items.empty() || !expanding->insert(key).second) {
        m->ok = false;
        return;
    }
    for (const std::string& item : items) {
        Expand(item, expanding, m);
    }
    expanding->erase(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string keep;
    FILE* stream =
        upd::fuzz::OpenBytes(std::string_view(reinterpret_cast<const char*>(data), size), &keep);
    FUZZ_CHECK(stream != nullptr);
    upd::FreeAuxInfo();
    const int loaded = upd::ReadAuxInfoStream(stream);
    fclose(stream);
    if (!loaded) {
        return 0;
    }

    Model want;
    std::set<std::string> expanding;
    Expand("Sequence", &expanding, &want);

    upd::Section* list = nullptr;
    const int r = upd::BuildSectionList("SectionList", "Sequence", &list, kEntries);
    FUZZ_CHECK(r == (want.ok ? 1 : 0));
    const upd::Section* node = list;
    for (const std::string& name : want.list) {
        if (!want.ok && node == nullptr) {
            break;  // a failed expansion may stop before the model did
        }
        FUZZ_CHECK(node != nullptr && node->name != nullptr && name == node->name);
        node = node->next;
    }
    if (want.ok) {
        FUZZ_CHECK(node == nullptr);
    }
    upd::FreeSectionList(&list);
    FUZZ_CHECK(list == nullptr);
    upd::FreeAuxInfo();
    return 0;
}
