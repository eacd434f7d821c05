// Release of the run list.
#include <cstdlib>

#include "update/update.h"

namespace upd {

void FreeSectionList(Section** list) {
    if (list == nullptr) {
        return;
    }
    Section* node = *list;
    while (node != nullptr) {
        Section* next = node->next;
        std::free(node->name);
        std::free(node);
        node = next;
    }
    *list = nullptr;
}

}  // namespace upd
