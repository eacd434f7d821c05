// BuildSectionList: expands the manifest's sequence into the ordered run list
// of section names.
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "manifest/auxinfo.h"
#include "manifest/nv.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd {
namespace {

// Owns one split list value.
class Items {
  public:
    explicit Items(char** items) : items_(items) {}
    ~Items() { free_mklist1(items_); }
    Items(Items&& other) noexcept : items_(other.items_), next_(other.next_) {
        other.items_ = nullptr;
    }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    Items& operator=(Items&&) = delete;

    // The next item not yet expanded, or null at the end of the list.
    const char* Next() { return items_[next_] != nullptr ? items_[next_++] : nullptr; }

  private:
    char** items_;
    std::size_t next_ = 0;
};

// One list being expanded: its key, and the position within its items.
struct Frame {
    std::string key;
    Items items;
};

// Appends a node for `name` at *tail and moves *tail to the node's link.
bool Append(const char* name, Section*** tail) {
    auto* node = static_cast<Section*>(std::malloc(sizeof(Section)));
    if (node == nullptr) {
        return false;
    }
    node->name = ::strdup(name);
    if (node->name == nullptr) {
        std::free(node);
        return false;
    }
    node->next = nullptr;
    **tail = node;
    *tail = &node->next;
    return true;
}

}  // namespace

int BuildSectionList(const char* listSection, const char* key, Section** list) {
    return BuildSectionList(listSection, key, list, kMaxRunListEntries);
}

int BuildSectionList(const char* listSection, const char* key, Section** list,
                     std::size_t maxEntries) {
    // New nodes go after the last one already in the list.
    Section** tail = list;
    std::size_t entries = 0;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
        ++entries;
    }

    // Depth first and in order: an item that is itself a key of listSection
    // is replaced by that key's list; any other item is a section name. The
    // lists being expanded are kept on an explicit stack, so a deep manifest
    // cannot exhaust the program's stack, and a key met again while its own
    // list is still being expanded is a cycle, which fails.
    std::vector<Frame> stack;
    std::unordered_set<std::string> expanding;
    const char* item = key;
    while (true) {
        if (item != nullptr) {
            char value[kListValueSize];
            bool found = false;
            if (!GetAuxInfo(listSection, item, value, sizeof value, &found)) {
                return 0;
            }
            if (found) {
                if (!expanding.insert(item).second) {
                    return 0;
                }
                char** items = mklist1(value, ',');
                if (items == nullptr) {
                    return 0;
                }
                stack.push_back(Frame{item, Items(items)});
            } else if (++entries > maxEntries || !Append(item, &tail)) {
                return 0;
            }
        }
        if (stack.empty()) {
            return 1;
        }
        item = stack.back().items.Next();
        if (item == nullptr) {
            expanding.erase(stack.back().key);
            stack.pop_back();
        }
    }
}

}  // namespace upd
