// The update driver: the run context, the run list, the reporting and
// completion services, and the program's entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "update/codes.h"

namespace upd {

// Sizes of the run context's text fields (each holds one character less).
constexpr std::size_t kDeviceSize = 64;
constexpr std::size_t kTimeStampSize = 32;

// Option bits of UpdateInfo::flags.
constexpr uint32_t UPD_FORCE = 0x001;      // -f: skip the time-stamp comparison
constexpr uint32_t UPD_MESG = 0x002;       // -mm
constexpr uint32_t UPD_MSG = 0x004;        // -m
constexpr uint32_t UPD_SSL = 0x008;        // -s: verify the manifest's signature
constexpr uint32_t UPD_DEVICE = 0x010;     // device given with -d
constexpr uint32_t UPD_TIMESTAMP = 0x020;  // timeStamp given with -t
constexpr uint32_t UPD_HELP = 0x040;       // -h
// Result bits, set by TransferFile and never cleared during a run.
constexpr uint32_t UPD_OLDER = 0x100;  // a file was older than the installed firmware
constexpr uint32_t UPD_SAME = 0x200;   // a file was as old as the installed firmware

// One node of the run list: a heap copy of a section name. Nodes and names
// are allocated with std::malloc (names with strdup) and released only by
// FreeSectionList().
struct Section {
    char* name;
    Section* next;
};

// The run context: one per run, owned by UpdateMain, passed to every step.
struct UpdateInfo {
    char device[kDeviceSize];        // block device to mount, also polled for removal
    char timeStamp[kTimeStampSize];  // installed firmware's build time stamp, from -t
    int32_t errorCode;               // code of the last failure, 0 for none
    Section* sections;               // head of the run list
    uint32_t flags;                  // UPD_* bits
};

// True from the mount of the stick until a successful UnMount().
extern bool Mounted;
// True from the load of the manifest until the store is freed.
extern bool AuxInfo;

// Fixed paths and texts of the instrument.
inline constexpr char kMountPoint[] = "/mnt";
inline constexpr char kDefaultDevice[] = "/dev/disk/by-label/BRIMWOOD";
inline constexpr char kErrorFilePath[] = "/home/Brimwood/log/UpdateErrorLog.txt";
inline constexpr char kDownloadDir[] = "/home/Brimwood/download";
inline constexpr char kSplashProgram[] = "/home/Brimwood/bin/qsplash";
inline constexpr char kSplashImage[] = "/home/Brimwood/bin/BrimwoodSplash.png";
inline constexpr char kSplashPlatform[] =
    "-platform linuxfb:nographicsmodeswitch:size=480x272:mmsize=95x54";
inline constexpr char kMainApplication[] = "/home/Brimwood/bin/brimwood";
inline constexpr char kMainApplicationBackup[] = "/home/Brimwood/bin/brimwood.bak";
inline constexpr char kRebootCommand[] = "/sbin/reboot";
// The usb-storage driver's bindings to a device on the instrument's four USB
// ports, in the order they are tested.
inline constexpr const char* kUsbStorageBindings[] = {
    "/sys/bus/usb/drivers/usb-storage/2-1.4.3:1.0",
    "/sys/bus/usb/drivers/usb-storage/2-1.4.2:1.0",
    "/sys/bus/usb/drivers/usb-storage/2-1.1:1.0",
    "/sys/bus/usb/drivers/usb-storage/2-1.2:1.0",
};
// The file whose lock lets one updater run at a time. It lies on the
// instrument's own data partition, which every run needs anyway, since /run
// and /var/lock may be missing on an instrument.
inline constexpr char kLockPath[] = "/home/Brimwood/.update.lock";
// The verified copy that a FlashUpdate with SHA256Hash writes: one fixed name,
// so that the next run finds and removes what an interrupted one left.
inline constexpr char kFlashCopyPath[] = "/home/Brimwood/download/.flash.update-tmp";
// The manifest on the mounted stick, its raw signature, and the public key
// that checks the signature.
inline constexpr char kManifestPath[] = "/mnt/firmware/AuxInfo.txt";
inline constexpr char kSignaturePath[] = "/mnt/firmware/AuxInfo.txt.sha256";
inline constexpr char kPublicKeyPath[] = "/home/Brimwood/bin/NorvoCal.pub";

// Display messages are composed in buffers of this size.
constexpr std::size_t kMessageSize = 120;
// Shell command lines of the splash program and the main application.
constexpr std::size_t kShellLineSize = 512;

// Writes `code` to the error file and shows it on the display (nothing of
// either for code 0; the download directory is made sure of on every call).
// With `restart`, tears the run down: frees the manifest store and the run
// list, unmounts the stick and restarts the main application. Returns 1, the
// exit status of a failed run.
int Error(int code, bool restart, UpdateInfo* info);

// Shows `message` on the display through the splash program; returns the
// status that the shell returned.
int ShowMessage(const char* message);

// Unmounts the stick: 1 when unmounted (Mounted becomes false), else 0 with
// errorCode set to kErrUnmountFailed.
int UnMount(UpdateInfo* info);

// Asks the user to remove the stick and returns once the device path is gone,
// testing once a second.
void WaitForUsbUnplug(UpdateInfo* info);

// Starts the main application in the background, first restoring its program
// file from the backup copy when it is missing.
void RestartMain();

// Frees every node of the list and sets *list to null; null is accepted.
void FreeSectionList(Section** list);

// Ends a run that asked for a reboot: "Rebooting...", a second, the reboot
// command, another second. Returns 0, the exit status of a completed run.
int RebootSequence();

// The updater's whole run: the program's main(). Returns the exit status.
int UpdateMain(int argc, char** argv);

// The device that a run with these arguments (argv[0] the program) mounts:
// the one given with -d, or the default; empty when the run stops before it
// mounts anything for its arguments (-h, an argument too long).
std::string DeviceToMount(int argc, char** argv);

// The start of a run.

// The lock that lets one updater run at a time: an exclusive flock on
// kLockPath, which the kernel releases when the process ends, however it
// ends, so a killed run never blocks the next one. The descriptor is closed
// on exec: no command the run starts holds the lock.
class RunLock {
  public:
    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    // Takes the lock without waiting: false when another process holds it.
    // When the lock file cannot be opened or locked otherwise, the run goes
    // on without it (true), as updaters always did, and says so on standard
    // error.
    bool Take();

  private:
    int fd_ = -1;
};

// Polls the stick's device path while a USB storage device is bound and the
// path is not there yet (the kernel and the hot-plug rules make the path some
// time after the binding): every kDevicePollMs, kDeviceWaitMs at most. True
// once the path exists; false at once without a binding, and when the path
// has not come in time or the binding went.
constexpr unsigned kDevicePollMs = 250;
constexpr unsigned kDeviceWaitMs = 8000;
bool WaitForDevice(const char* device);

// Detaches, one after the other, the file systems in view on the mount point
// whose device is gone (what failed runs left mounted on a pulled stick),
// so that mounts never pile up there. A mount of a device that is there (the
// stick asked for, or another) is left as it is.
void ReleaseStaleMounts();

// Removes the verified flash copy that an interrupted run left behind.
void RemoveStaleFlashCopy();

// fsyncs the folder that holds `path`, after an entry in it was made or
// renamed. A failure leaves the run going and is written to the diagnostics
// (standard error): the entry may not survive a power cut.
void SyncFolderOrWarn(const char* path);

// Digest check of installed files.

// 1 when the MD5 digest of the file at `path`, as 32 lowercase hexadecimal
// digits, equals `expected_hex` exactly; 0 when it differs or cannot be computed.
int MD5Check(const char* path, const char* expected_hex);

// The sequence runner and the operations it carries out.

// The run from the mounted stick to its end: shows "Updating firmware...",
// loads the manifest (verifying its signature with UPD_SSL), builds the run
// list and carries out every listed section, then unmounts, waits for the
// stick to be pulled and reboots or restarts the main application. Returns the
// exit status: 0 for a completed run, 1 after a reported failure.
int RunSequence(UpdateInfo* info);

// Most names a run list may hold. Lists that name other lists more than once
// multiply: a few manifest lines could otherwise ask for more entries than the
// instrument has memory.
constexpr std::size_t kMaxRunListEntries = 65536;

// Expands the list value of `key` in section `listSection`, items that are
// themselves keys of that section replaced by their lists to any depth, and
// appends the resulting section names to *list in order; a key that is not in
// the section is itself appended as a name. 1 on success; 0 for a list value
// too long, an empty list, a list that reaches a key it is already expanding,
// a run list of more than kMaxRunListEntries names, or no memory (names
// appended before the failure stay in the list).
int BuildSectionList(const char* listSection, const char* key, Section** list);

// BuildSectionList with the run list's limit given: fails once *list would
// hold more than `maxEntries` names, counting those already in it.
// BuildSectionList passes kMaxRunListEntries; a smaller limit lets a caller
// (the fuzz target) reach the limit's failure without building a long list.
int BuildSectionList(const char* listSection, const char* key, Section** list,
                     std::size_t maxEntries);

// The operations. Each reads its keys from the manifest section `section` and
// returns 1 when done (or rightly skipped), else 0 with its code in
// info->errorCode.

// Installs one file through a verified interim copy, keeping a backup; may set
// UPD_SAME or UPD_OLDER in info->flags when its time stamp is not newer.
int TransferFile(const char* section, UpdateInfo* info);

// Merges the package's configuration file of a newer version with the
// installed one, keeping the installed values; the old file becomes the backup.
// With SHA256Hash, the package file is read once and verified before anything
// changes, and the merge uses the bytes verified.
int ConfigUpdate(const char* section, UpdateInfo* info);

// Creates the section's missing backup directories DestDir, DestDir1, DestDir2.
int BackupFiles(const char* section, UpdateInfo* info);

// Runs the MSP430 programming commands: CommandJTAG must succeed, then
// Command1, or Command2 as its fallback.
int MSP430Update(const char* section, UpdateInfo* info);

// Runs "WriteCommand DataPath1 Device"; its status is ignored. With
// SHA256Hash, DataPath1 is copied to kFlashCopyPath and verified first, the
// command is given the copy and must exit 0, and the copy is removed
// afterwards.
int FlashUpdate(const char* section, UpdateInfo* info);

// Removes the files named by file1, file2, ... up to the first missing number.
int RemoveFiles(const char* section, UpdateInfo* info);

struct LineList2;

// The version on the first line of a configuration file ('V' or 'v' and a
// non-zero number at the start of its key part): 1 with *version written,
// else 0.
int GetVersion(const LineList2* list, double* version);

// The merge's one rule, shared by ConfigUpdate and the stick checker. For each
// package line after the version line, in order, `take` receives the line the
// merged file holds in its place: the installed line at the cursor when it has
// the same keyword (the cursor then moves on), else the package line. Returns
// the first installed line the cursor never passed: it and every installed
// line after it are dropped (null when none is).
const LineList2* MergeConfigLines(const LineList2* package, const LineList2* installed,
                                  const std::function<void(const LineList2*)>& take);

}  // namespace upd
