// The stick's device before it is mounted: the wait for its device path,
// which appears some time after the USB storage binding, and the release of
// the mounts that earlier runs left on a stick that has since been pulled.
#include <cerrno>
#include <cstring>

#include "diag/dpr.h"
#include "files/file.h"
#include "platform/platform.h"
#include "update/update.h"

namespace upd {
namespace {

// The usb-storage driver's bindings to a device on the instrument's four USB
// ports, in the order they are tested.
constexpr const char* kUsbStorageBindings[] = {
    "/sys/bus/usb/drivers/usb-storage/2-1.4.3:1.0",
    "/sys/bus/usb/drivers/usb-storage/2-1.4.2:1.0",
    "/sys/bus/usb/drivers/usb-storage/2-1.1:1.0",
    "/sys/bus/usb/drivers/usb-storage/2-1.2:1.0",
};

// Stale mounts detached at most before the mount goes ahead regardless: a
// table that keeps showing one after its detach must not hold the run.
constexpr int kMaxStaleMounts = 16;

bool UsbStorageBound() {
    for (const char* binding : kUsbStorageBindings) {
        if (exists(binding)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool WaitForDevice(const char* device) {
    platform::Platform& os = platform::Current();
    for (unsigned waited = 0;; waited += kDevicePollMs) {
        if (!UsbStorageBound()) {
            return false;
        }
        if (exists(device)) {
            return true;
        }
        if (waited >= kDeviceWaitMs) {
            return false;
        }
        os.Pause(kDevicePollMs);
    }
}

void ReleaseStaleMounts() {
    platform::Platform& os = platform::Current();
    for (int n = 0; n < kMaxStaleMounts; ++n) {
        const std::vector<platform::MountedFs> mounts = os.MountsOn(kMountPoint);
        if (mounts.empty() || !mounts.back().device_gone) {
            return;
        }
        if (os.Detach(kMountPoint) != 0) {
            dpr(1, stderr, __FILE__, __func__, __LINE__,
                "cannot detach %s from %s, whose device is gone: %s", mounts.back().source.c_str(),
                kMountPoint, std::strerror(errno));
            return;
        }
    }
}

}  // namespace upd
