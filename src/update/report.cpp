// The driver's reporting and completion services: the error file and the
// display message of a failure, the teardown of a failed run, unmounting the
// stick, waiting for its removal, restarting the main application, the
// reboot at the end of a run, and the report of a folder that cannot be
// synced.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/dpr.h"
#include "files/file.h"
#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "update/observer.h"
#include "update/update.h"

namespace upd {

bool Mounted = false;
bool AuxInfo = false;

namespace {

// First field of the error file's line.
constexpr int kErrorFileTag = 1902;

// Releases what a failed run holds and gives the instrument back to its main
// application. The manifest store flag is left as it is; the process ends
// right after.
void TearDown(UpdateInfo* info) {
    if (AuxInfo) {
        FreeAuxInfo();
    }
    FreeSectionList(&info->sections);
    if (Mounted) {
        UnMount(info);
    }
    RestartMain();
}

void WriteErrorFile(int code) {
    FILE* fp = CreateRegularStream(kErrorFilePath);
    if (fp == nullptr) {
        return;
    }
    std::fprintf(fp, "%d %d\n", kErrorFileTag, code);
    std::fclose(fp);
}

}  // namespace

int Error(int code, bool restart, UpdateInfo* info) {
    if (!exists(kDownloadDir)) {
        ::mkdir(kDownloadDir, 0755);
    }
    if (code != 0) {
        WriteErrorFile(code);
        NoteReported(code);
        char message[kMessageSize] = {};
        std::snprintf(message, sizeof message, "Error updating firmware: %d", code);
        ShowMessage(message);
    }
    if (restart) {
        TearDown(info);
    }
    return 1;
}

int ShowMessage(const char* message) {
    char command[kShellLineSize] = {};
    int n = std::snprintf(command, sizeof command, "%s %s \"%s\" %s", kSplashProgram, kSplashImage,
                          message, kSplashPlatform);
    // A message too long for the command line is not shown rather than shown
    // cut off (every message of the updater fits).
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) {
        return -1;
    }
    NoteShown(message);
    return platform::Current().System(command);
}

int UnMount(UpdateInfo* info) {
    if (platform::Current().Umount(kMountPoint) != 0) {
        info->errorCode = kErrUnmountFailed;
        return 0;
    }
    Mounted = false;
    return 1;
}

void WaitForUsbUnplug(UpdateInfo* info) {
    char message[kMessageSize] = {};
    std::snprintf(message, sizeof message, "%s", "Please remove USB device.");
    ShowMessage(message);
    do {
        platform::Current().Sleep(1);
    } while (exists(info->device));
}

void SyncFolderOrWarn(const char* path) {
    if (!SyncDirectoryOf(path)) {
        dpr(1, stderr, __FILE__, __func__, __LINE__,
            "fsync of the folder of %s failed (%s): a power cut may still undo its change", path,
            std::strerror(errno));
    }
}

void RestartMain() {
    if (!exists(kMainApplication) && exists(kMainApplicationBackup)) {
        Rename(kMainApplicationBackup, kMainApplication);
    }
    if (!exists(kMainApplication)) {
        return;
    }
    char command[kShellLineSize] = {};
    std::snprintf(command, sizeof command, "%s &", kMainApplication);
    platform::Current().System(command);
}

int RebootSequence() {
    char message[kMessageSize] = {};
    std::snprintf(message, sizeof message, "%s", "Rebooting...");
    ShowMessage(message);
    platform::Current().Sleep(1);
    platform::Current().System(kRebootCommand);
    platform::Current().Sleep(1);
    return 0;
}

}  // namespace upd
