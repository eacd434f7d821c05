// The signal handler removes the registered files with unlink and the
// registered folders with openat, getdents64 and unlinkat, all safe in a
// handler, from fixed buffers filled while the signals are held back.
#include "pack/interrupt.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace upd::pack {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

char gPaths[RemoveOnSignal::kMaxFiles][RemoveOnSignal::kMaxPath + 1];
volatile sig_atomic_t gCount = 0;
char gFolders[RemoveOnSignal::kMaxFolders][RemoveOnSignal::kMaxPath + 1];
volatile sig_atomic_t gFolderCount = 0;
struct sigaction gPrevious[sizeof kSignals / sizeof kSignals[0]];

// Folders deeper than this below a registered one are left: the handler runs
// on the process's stack, a buffer a level.
constexpr int kMaxDepth = 128;
// Passes over one folder's entries: removing entries while reading a folder
// may hide some from that reading, so the folder is read again while a pass
// removes anything.
constexpr int kMaxPasses = 8;

void RemoveAt(int parent, const char* name, int depth);

// Removes every entry of the open folder `folder`.
void RemoveEntries(int folder, int depth) {
    alignas(struct dirent64) char buffer[2048];
    bool removed = true;
    for (int pass = 0; removed && pass < kMaxPasses; ++pass) {
        removed = false;
        if (::lseek(folder, 0, SEEK_SET) != 0) {
            return;
        }
        for (ssize_t got; (got = ::getdents64(folder, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
                    continue;
                }
                if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
                    RemoveAt(folder, name, depth + 1);
                } else {
                    ::unlinkat(folder, name, 0);
                }
                removed = true;
            }
        }
    }
}

// Removes `name` in the folder `parent`: a folder with everything in it,
// anything else (a symbolic link too) as an entry.
void RemoveAt(int parent, const char* name, int depth) {
    const int folder =
        depth > kMaxDepth ? -1
                          : ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        ::unlinkat(parent, name, 0);
        return;
    }
    RemoveEntries(folder, depth);
    ::close(folder);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

void Handler(int signal) {
    for (sig_atomic_t i = 0; i < gCount; ++i) {
        ::unlink(gPaths[i]);
    }
    for (sig_atomic_t i = 0; i < gFolderCount; ++i) {
        RemoveAt(AT_FDCWD, gFolders[i], 0);
    }
    // The default action ends the process once the handler returns and the
    // signal, pending again, is no longer blocked.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

sigset_t HeldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) {
        sigaddset(&set, s);
    }
    return set;
}

sigset_t gHoldPrevious;
int gHolds = 0;

}  // namespace

RemoveOnSignal::RemoveOnSignal() {
    gCount = 0;
    gFolderCount = 0;
    struct sigaction action {};
    action.sa_handler = Handler;
    action.sa_mask = HeldSignals();
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        ::sigaction(kSignals[i], &action, &gPrevious[i]);
    }
}

RemoveOnSignal::~RemoveOnSignal() {
    Hold hold;
    gCount = 0;
    gFolderCount = 0;
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    }
}

bool RemoveOnSignal::Add(const std::string& path) {
    if (gCount >= kMaxFiles || path.size() > kMaxPath) {
        return false;
    }
    Hold hold;
    std::memcpy(gPaths[gCount], path.c_str(), path.size() + 1);
    gCount = gCount + 1;
    return true;
}

bool RemoveOnSignal::AddFolder(const std::string& path) {
    if (gFolderCount >= kMaxFolders || path.empty() || path.size() > kMaxPath) {
        return false;
    }
    Hold hold;
    std::memcpy(gFolders[gFolderCount], path.c_str(), path.size() + 1);
    gFolderCount = gFolderCount + 1;
    return true;
}

void RemoveOnSignal::Clear() {
    Hold hold;
    gCount = 0;
    gFolderCount = 0;
}

void RemoveOnSignal::Forget(const std::string& path) {
    Hold hold;
    for (sig_atomic_t i = 0; i < gCount; ++i) {
        if (path == gPaths[i]) {
            for (sig_atomic_t j = i + 1; j < gCount; ++j) {
                std::memcpy(gPaths[j - 1], gPaths[j], sizeof gPaths[j]);
            }
            gCount = gCount - 1;
            return;
        }
    }
}

RemoveOnSignal::Hold::Hold() {
    if (gHolds++ == 0) {
        const sigset_t set = HeldSignals();
        ::sigprocmask(SIG_BLOCK, &set, &gHoldPrevious);
    }
}

RemoveOnSignal::Hold::~Hold() {
    if (--gHolds == 0) {
        ::sigprocmask(SIG_SETMASK, &gHoldPrevious, nullptr);
    }
}

}  // namespace upd::pack
