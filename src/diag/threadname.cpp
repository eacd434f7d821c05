// The process-name table that gives diagnostic headers their first field.
#include <unistd.h>

#include <cstring>

#include "diag/dpr.h"
#include "diag/dpr_internal.h"

namespace upd {
namespace dpr_detail {

ThreadTable ThreadInfo{};

namespace {

// Guards the table, so that a name registered while another thread prints
// is published whole. A name, once in the table, never changes, so the
// pointers handed out stay valid without the lock.
std::mutex ThreadInfoMutex;

}  // namespace
}  // namespace dpr_detail

using dpr_detail::ThreadInfo;

int SetThreadName(unsigned long pid, const char* name) {
    if (name == nullptr || std::strlen(name) >= dpr_detail::kThreadNameSize) {
        return 0;
    }
    std::lock_guard lock(dpr_detail::ThreadInfoMutex);
    // The table is keyed by name: a known name moves to the new process.
    for (int i = 0; i < ThreadInfo.count; ++i) {
        if (std::strcmp(ThreadInfo.entries[i].name, name) == 0) {
            ThreadInfo.entries[i].pid = static_cast<std::uint32_t>(pid);
            return 1;
        }
    }
    if (ThreadInfo.count >= dpr_detail::kMaxThreadNames) {
        return 0;
    }
    dpr_detail::ThreadEntry& entry = ThreadInfo.entries[ThreadInfo.count];
    entry.pid = static_cast<std::uint32_t>(pid);
    std::strcpy(entry.name, name);
    ++ThreadInfo.count;
    return 1;
}

int SetThreadName(const char* name) {
    return SetThreadName(static_cast<unsigned long>(::getpid()), name);
}

const char* GetThreadName(unsigned long pid) {
    std::lock_guard lock(dpr_detail::ThreadInfoMutex);
    for (int i = 0; i < ThreadInfo.count; ++i) {
        if (ThreadInfo.entries[i].pid == static_cast<std::uint32_t>(pid)) {
            return ThreadInfo.entries[i].name;
        }
    }
    return nullptr;
}

const char* GetThreadName() {
    return GetThreadName(static_cast<unsigned long>(::getpid()));
}

}  // namespace upd
