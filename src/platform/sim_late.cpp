// The simulated instrument's pauses and its late device path: the stick's
// link that appears only at a chosen pause of the updater's.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sim.h"

namespace upd::platform {
namespace {

// The stick's device path when no -d names another.
constexpr char kStickDevice[] = "/dev/disk/by-label/BRIMWOOD";

}  // namespace

void SimPlatform::Pause(unsigned milliseconds) {
    if (++pauses_ > kPauseLimit) {
        std::fflush(nullptr);
        std::fprintf(stderr, "update-sim: the updater still polls after %u pauses\n", kPauseLimit);
        // Ended as a run stuck after the unplug is: the account of the run
        // and a tidy ROOT.
        if (on_stuck_) {
            on_stuck_();
        }
        std::_Exit(kStuckStatus);
    }
    Trace("pause " + std::to_string(milliseconds));
    if (pauses_ == device_at_) {
        ShowLateDevice();
    }
}

void SimPlatform::HideLateDevice() {
    if (device_at_ == 0 || ::access(kStickDevice, F_OK) != 0) {
        return;
    }
    const std::string folder = ControlFile("late");
    ::mkdir(folder.c_str(), 0755);
    device_hidden_ = std::rename(kStickDevice, (folder + "/BRIMWOOD").c_str()) == 0;
}

void SimPlatform::ShowLateDevice() {
    if (!device_hidden_) {
        return;
    }
    device_hidden_ = false;
    if (std::rename(ControlFile("late/BRIMWOOD").c_str(), kStickDevice) == 0) {
        Trace(std::string("link ") + kStickDevice);
    }
}

}  // namespace upd::platform
