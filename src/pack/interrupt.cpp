// The signal handler removes the registered files with unlink, which is safe
// in a handler, from fixed buffers filled while the signals are held back.
#include "pack/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace upd::pack {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

char gPaths[RemoveOnSignal::kMaxFiles][RemoveOnSignal::kMaxPath + 1];
volatile sig_atomic_t gCount = 0;
struct sigaction gPrevious[sizeof kSignals / sizeof kSignals[0]];

void Handler(int signal) {
    for (sig_atomic_t i = 0; i < gCount; ++i) {
        ::unlink(gPaths[i]);
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

void RemoveOnSignal::Clear() {
    Hold hold;
    gCount = 0;
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
