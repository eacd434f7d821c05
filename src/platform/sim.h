// The simulated instrument: a private sandbox in which a directory stands for
// the instrument's whole file system, and a Platform that mounts the "stick"
// (a directory) as the instrument's vfat mount shows it, keeps the mounts
// that a run leaves for the next run, plays the user who pulls the stick, can
// make the stick's device path appear late, returns from sleeps and pauses at
// once and writes every call it handles to a trace file.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/sim_stick.h"

namespace upd::platform {

// Enters a new mount namespace (first a new user namespace mapping the caller
// to root, unless the caller is root already), makes every mount private,
// makes the process the reaper of the programs it leaves running,
// binds the host's /usr, /bin, /lib and /lib64 read-only and /dev/null onto
// the same paths under `root`, and changes the root directory to `root` and
// the working directory to "/". Returns true, or false with `failure` naming
// the step that failed; the process must then not go on. The mount points it
// had to create under `root` (as paths inside it: "/usr", "/dev/null") are
// added to `made`; a failure removes them again.
bool EnterSandbox(const std::string& root, std::string* failure,
                  std::vector<std::string>* made = nullptr);

// Once the run's programs have ended (or after `wait_seconds`, when they
// still run, without touching the mount points), detaches the mount points
// `made` inside the sandbox and removes each that is empty. Returns false
// when programs still run.
bool LeaveSandbox(const std::vector<std::string>& made, unsigned wait_seconds);

// Maps the caller's user and group to root inside a new user namespace.
bool EnterUserNamespace(std::string* failure);

// The mount flags that a bind remount of the mount at `path` must repeat:
// inside a user namespace the kernel refuses to drop the flags that the
// source mount was locked with.
unsigned long LockedFlags(const std::string& path);

// Binds the folder `host` (and the mounts below it) on `target`, created if
// missing, and makes the bind read-only.
bool BindReadOnly(const char* host, const std::string& target, std::string* failure);

// Binds the host's /dev/null on `root`/dev/null, both created if missing.
bool BindDevNull(const std::string& root, std::string* failure);

class SimPlatform final : public Platform {
  public:
    // Sleeps the updater may still make after the stick was pulled before the
    // simulation gives up on it.
    static constexpr unsigned kSleepLimit = 1000;
    // Exit status when the updater waits for longer than that.
    static constexpr int kStuckStatus = 3;

    // Pauses the updater may make before the simulation gives up on it.
    static constexpr unsigned kPauseLimit = 10000;

    // `sim_dir` holds the control files (mount-errno, umount-errno,
    // unplug-after, stick-readonly, device-after), the trace "log", the
    // mounts left by earlier runs ("mounts") and the folders "unplugged" and
    // "late". `host_dev` is a folder descriptor of the host's /dev for the
    // stick's FUSE mount (see SimStick); without it the stick is a plain bind
    // mount.
    explicit SimPlatform(std::string sim_dir, int host_dev = -1);
    ~SimPlatform() override;
    SimPlatform(const SimPlatform&) = delete;
    SimPlatform& operator=(const SimPlatform&) = delete;

    // Creates the control folder if missing and opens the trace; mounts again
    // what earlier runs left mounted, and takes the stick's device path away
    // when it is to appear late. Returns false with `failure` set when that
    // is impossible.
    bool Open(std::string* failure);

    int Mount(const char* source, const char* target, const char* fstype, unsigned long flags,
              const void* data) override;
    int Umount(const char* target) override;
    void Sync() override;
    int System(const char* command) override;
    unsigned Sleep(unsigned seconds) override;
    void Pause(unsigned milliseconds) override;
    std::vector<MountedFs> MountsOn(const char* target) override;
    int Detach(const char* target) override;

    // Writes the trace's last line once the updater has returned `status`,
    // after putting back a device path that never appeared.
    void TraceExit(int status);

    // Puts a stick pulled by a run back at `device` (the updater's device
    // path), unless something else is there now.
    void PutStickBack(const std::string& device);
    // After the run: ends the stick's server and puts back the stick that
    // this run pulled.
    void EndRun();
    // Called before update-sim ends because the updater waits too long.
    void OnStuck(std::function<void()> finish) { on_stuck_ = std::move(finish); }

  private:
    // One mount the simulation keeps track of, from one run to the next.
    struct SimMount {
        std::string source;
        std::string target;
    };

    int SimulateMount(const char* source, const char* target, unsigned long flags);
    // The stick's folder `source` on `target`, served as vfat shows it where
    // FUSE can be used (one stick at a time), else bound.
    int MountStick(const char* source, const char* target, unsigned long flags);
    void WarnBindMount(const std::string& why);
    void Unplug();
    void LoadMounts();
    void SaveMounts() const;
    void Mounted(const char* source, const char* target);
    void Unmounted(const char* target);
    void HideLateDevice();
    void ShowLateDevice();
    void Trace(std::string_view line);
    std::string ControlFile(const char* name) const { return sim_dir_ + "/" + name; }

    std::string sim_dir_;
    int trace_fd_ = -1;
    std::string last_device_;
    unsigned sleeps_ = 0;
    unsigned unplug_at_ = 1;
    std::vector<SimMount> mounts_;  // the lowest first
    unsigned pauses_ = 0;
    unsigned device_at_ = 0;  // the pause at which a late device path appears
    bool device_hidden_ = false;
    SimStick stick_;
    bool warned_ = false;
    std::string pulled_device_;
    std::function<void()> on_stuck_;
};

// True when `path` is the root of a mount.
bool IsMountPoint(const char* path);

}  // namespace upd::platform
