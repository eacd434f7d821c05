// The operating-system seam: every service whose effect reaches beyond the
// process (mounting, listing and detaching mounts, syncing, running shell
// commands, sleeps and pauses) goes through the one Platform installed for
// the process, so that the simulated instrument can stand in for the real one.
#pragma once

#include <string>
#include <vector>

namespace upd::platform {

// One file system mounted on a mount point.
struct MountedFs {
    std::string source;        // what was mounted, named as it was given to mount
    bool device_gone = false;  // the device it lives on no longer exists (a pulled stick)
};

class Platform {
  public:
    virtual ~Platform() = default;

    // Same contract as the C library's calls: 0 on success, -1 with errno set.
    virtual int Mount(const char* source, const char* target, const char* fstype,
                      unsigned long flags, const void* data) = 0;
    virtual int Umount(const char* target) = 0;
    virtual void Sync() = 0;
    // The status that system(3) returns.
    virtual int System(const char* command) = 0;
    // Sleeps whole seconds; returns the seconds left unslept, as sleep(3).
    virtual unsigned Sleep(unsigned seconds) = 0;
    // Waits `milliseconds` while the updater polls for something to appear.
    virtual void Pause(unsigned milliseconds) = 0;
    // The file systems mounted on `target`, the lowest first and the one in
    // view last; empty when nothing is mounted there or the table cannot be read.
    virtual std::vector<MountedFs> MountsOn(const char* target) = 0;
    // Detaches the file system in view at `target` at once, even while it is
    // busy (umount2 with MNT_DETACH): 0, or -1 with errno set.
    virtual int Detach(const char* target) = 0;
};

// The real Linux services.
Platform& LinuxPlatform();

// The platform in use; the Linux one unless another has been installed.
Platform& Current();

// Installs `p` as the platform in use and returns the previous one. Passing
// null reinstalls the Linux platform.
Platform* Install(Platform* p);

}  // namespace upd::platform
