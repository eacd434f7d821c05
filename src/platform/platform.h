// The operating-system seam: every service whose effect reaches beyond the
// process (mounting, syncing, running shell commands, whole-second sleeps)
// goes through the one Platform installed for the process, so that the
// simulated instrument can stand in for the real one.
#pragma once

namespace upd::platform {

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
};

// The real Linux services.
Platform& LinuxPlatform();

// The platform in use; the Linux one unless another has been installed.
Platform& Current();

// Installs `p` as the platform in use and returns the previous one. Passing
// null reinstalls the Linux platform.
Platform* Install(Platform* p);

}  // namespace upd::platform
