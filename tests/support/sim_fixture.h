// A simulated instrument for end-to-end tests: lays out the instrument's file
// system in a temporary folder, runs the updater on it through update-sim,
// and reads back what the run left: exit status, output, error file, display
// messages, reboots and the trace of platform calls.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace upd::testing {

struct SimRun {
    int status = -1;     // exit status of update-sim; -1 when it did not exit normally
    std::string out;     // standard output
    std::string err;     // standard error; of update-sim's runs, the updater's own lines
    std::string report;  // update-sim's own lines on standard error ("update-sim: ...")
};

// The USB ports whose usb-storage bindings the updater looks for.
inline constexpr const char* kUsbPorts[] = {"2-1.4.3:1.0", "2-1.4.2:1.0", "2-1.1:1.0", "2-1.2:1.0"};

class SimInstrument {
  public:
    // Instrument paths of the standard layout.
    static constexpr char kStick[] = "/dev/disk/by-label/BRIMWOOD";
    static constexpr char kUsbDrivers[] = "/sys/bus/usb/drivers/usb-storage";
    static constexpr char kErrorFile[] = "/home/Brimwood/log/UpdateErrorLog.txt";
    static constexpr char kDownloadDir[] = "/home/Brimwood/download";
    static constexpr char kMainApp[] = "/home/Brimwood/bin/brimwood";

    // The standard layout: /home/Brimwood/{bin,log,download}, /mnt, /tmp, the
    // stick (a directory at kStick holding firmware/) bound on the first USB
    // port, and stand-ins for the splash program and /sbin/reboot that record
    // what they were asked to do.
    SimInstrument();

    // The host path of ROOT, and of an instrument path ("/home/...").
    const std::string& root() const { return root_; }
    std::string Host(const std::string& inside) const { return root_ + inside; }
    // The host path of a path on the stick ("firmware/AuxInfo.txt"), where
    // it is now: in its slot or, once pulled, among the unplugged ones.
    std::string Stick(const std::string& relative = "") const;

    // Changing the instrument before a run. Paths are instrument paths;
    // parent directories are created as needed.
    void Write(const std::string& inside, const std::string& content, mode_t mode = 0644) const;
    void WriteScript(const std::string& inside, const std::string& body) const;  // mode 0755
    void MakeDir(const std::string& inside) const;
    void Remove(const std::string& inside) const;  // recursively; a missing path is fine
    bool Exists(const std::string& inside) const;
    std::string Read(const std::string& inside) const;
    void BindUsb(const char* port) const;
    void UnbindAllUsb() const;

    // The stick's contents.
    void WriteStick(const std::string& relative, const std::string& content) const;
    void WriteManifest(const std::string& text) const;  // firmware/AuxInfo.txt
    bool Unplugged() const;

    // The simulation's control files.
    void SetMountErrno(int error) const;
    void SetUmountErrno(int error) const;
    void SetUnplugAfter(int sleeps) const;
    void SetStickReadOnly() const;          // write-protected: a read-write mount fails
    void SetDeviceAfter(int pauses) const;  // the device path appears at that pause
    // What earlier runs left mounted on /mnt, the lowest first.
    void SetStaleMounts(const std::vector<std::string>& sources) const;
    bool StaleMountsLeft() const;

    // Runs update-sim ROOT ARGS... and waits for it.
    SimRun Run(const std::vector<std::string>& args = {}) const;
    // Starts update-sim ROOT ARGS... without waiting for it, its output
    // dropped; the caller waits for the process (-1 when it cannot start).
    pid_t Start(const std::vector<std::string>& args = {}) const;
    // The same as an ordinary user (uid and gid 65534): the whole tree is
    // handed to that user first. Without root rights, the same as Run().
    SimRun RunUnprivileged(const std::vector<std::string>& args = {}) const;
    // Whether an ordinary user can create a user namespace here.
    static bool UserNamespacesAvailable();
    // Runs any command with the output captured, and waits for it.
    SimRun Execute(const std::vector<std::string>& command) const;

    // What runs left behind.
    std::optional<std::string> ErrorFile() const;  // its content, or none
    std::vector<std::string> Messages() const;     // splash messages, in order
    // Lines of ROOT/.sim/log, without the simulator's warnings.
    std::vector<std::string> Trace() const;
    // Whether the last run's stick looked names up as vfat does: false when
    // FUSE could not be used here and the stick was a plain bind mount.
    bool StickWasVfat() const;
    // Trace lines starting with `prefix` (e.g. "system ", "mount ").
    std::vector<std::string> TraceOf(const std::string& prefix) const;
    int Reboots() const;  // times the stand-in /sbin/reboot ran

    // The shell command line that shows `message` on the display.
    static std::string SplashCommand(const std::string& message);

  private:
    TempDir dir_;
    std::string root_;
};

// Lines of `text`, without their newlines.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace upd::testing
