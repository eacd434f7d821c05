// The diagnostic flag word and delay, their configuration, the source filter
// loaded from "./.dpr", and the SIGQUIT handler.
#include <csignal>
#include <cstdlib>
#include <new>

#include "diag/dpr.h"
#include "diag/dpr_internal.h"
#include "files/file.h"
#include "util/str.h"

namespace upd {

std::atomic<std::uint32_t> dpr_stat{0};
std::atomic<std::uint16_t> dpr_delay{10};

namespace dpr_detail {

FilterEntry* filter = nullptr;

void FreeFilter(FilterEntry* entry) {
    while (entry != nullptr) {
        FilterEntry* next = entry->next;
        std::free(entry->text);
        delete entry;
        entry = next;
    }
}

}  // namespace dpr_detail

namespace {

constexpr char kFilterFile[] = "./.dpr";

using dpr_detail::filter;
using dpr_detail::FilterEntry;
using dpr_detail::FreeFilter;

// A line naming a source file is a file-name entry, any other line (blank and
// comment lines included) a function-name entry.
std::uint16_t EntryKind(const char* text) {
    return (Suffix(".cpp", text) || Suffix(".c", text) || Suffix(".h", text)) ? 1 : 2;
}

void ReloadFilter() {
    FreeFilter(filter);
    filter = nullptr;
    if (!exists(kFilterFile)) {
        return;
    }
    LineList* lines = nullptr;
    if (!ReadFile(kFilterFile, &lines)) {
        dpr_stat &= ~DPR_FILTER;
        return;
    }
    FilterEntry* head = nullptr;
    FilterEntry** tail = &head;
    for (LineList* line = lines; line != nullptr; line = line->next) {
        auto* entry = new (std::nothrow) FilterEntry{};
        if (entry == nullptr) {
            FreeFilter(head);
            FreeFile(&lines);
            dpr_stat &= ~DPR_FILTER;
            return;
        }
        entry->kind = EntryKind(line->text);
        // The entry takes the line's text over, so releasing the list leaves it.
        entry->text = line->text;
        line->text = nullptr;
        *tail = entry;
        tail = &entry->next;
    }
    FreeFile(&lines);
    filter = head;
}

}  // namespace

void dpr_config(int op, unsigned int flags) {
    if (op == 0) {
        dpr_stat &= ~flags;
    } else if (op == 1) {
        dpr_stat |= flags;
        if (flags & DPR_FILTER) {
            ReloadFilter();
        }
    }
}

void dpr_sleep(unsigned short ms) {
    dpr_delay = ms;
}

void SignalHandler(int sig) {
    if (sig != 0 && sig != SIGQUIT) {
        return;
    }
    if (std::signal(SIGQUIT, SIG_IGN) == SIG_IGN) {
        return;  // ignored before: stays ignored
    }
    std::signal(SIGQUIT, SignalHandler);
}

}  // namespace upd
