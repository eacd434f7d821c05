// The simulated instrument's stick as its vfat mount presents it: a FUSE file
// system served by a child process from the stick's folder. Names are looked
// up by the FAT rules (stick::NameIndex: letter case and trailing dots do not
// matter), every file and folder shows mode 0755 and owner root with the
// folder's sizes and times, every write fails with EROFS (the updater never
// writes to the stick), and once the stick is pulled every request fails
// with EIO, as reads of a pulled stick do.
#pragma once

#include <sys/types.h>

#include <sys/stat.h>

#include <atomic>
#include <string>

namespace upd::platform {

class SimStick {
  public:
    // `host_dev` is a folder descriptor of the host's /dev, opened before the
    // sandbox changed the root directory (the sandbox has no /dev/fuse);
    // -1 when there is none. The descriptor stays the caller's.
    explicit SimStick(int host_dev) : host_dev_(host_dev) {}
    ~SimStick();
    SimStick(const SimStick&) = delete;
    SimStick& operator=(const SimStick&) = delete;

    // Mounts the folder `folder` on the folder `target` with the mount flags
    // `flags` (MS_RDONLY and MS_NOEXEC are kept; nosuid and nodev are always
    // added) and starts the server of its requests. Returns 0, or -1 with
    // `failure` saying why FUSE cannot be used here (nothing is mounted then).
    int Mount(const std::string& folder, const std::string& target, unsigned long flags,
              std::string* failure);

    // From now on every request fails with EIO.
    void Pull();

    bool serving() const { return server_ > 0; }
    // Whether `target` shows the served file system now (of `folder`).
    bool ShownAt(const std::string& target) const;
    bool Shows(const std::string& folder, const std::string& target) const {
        return folder == folder_ && ShownAt(target);
    }

    // Ends the server, if one runs, and waits for it. A mount still there
    // then fails every access with ENOTCONN.
    void Stop();

  private:
    int host_dev_;
    pid_t server_ = -1;
    std::string folder_;                  // the folder served
    dev_t device_ = 0;                    // the served file system's device number
    std::atomic<int>* pulled_ = nullptr;  // shared with the server
};

}  // namespace upd::platform
