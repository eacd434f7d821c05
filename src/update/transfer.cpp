// TransferFile: installs one file of the update package through a verified
// interim copy, keeping the installed file as a backup. The installed path
// holds the whole old file or the whole new one at every moment.
#include <sys/stat.h>

#include <strings.h>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "digest/ssl.h"
#include "files/file.h"
#include "manifest/auxinfo.h"
#include "time/date.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/observer.h"
#include "update/update.h"

namespace upd {
namespace {

constexpr int kNameSize = kTransferNameSize;
constexpr int kStampValueSize = kTransferStampSize;
constexpr int kDigestSize = kTransferDigestSize;
constexpr int kSwitchSize = kTransferSwitchSize;
constexpr int kPathSize = 516;
constexpr mode_t kInstalledMode = 0755;

// One key of the section, read into its own fixed buffer.
template <int Size>
struct Value {
    char text[Size] = {};
    bool found = false;

    // false when the section holds the key with a value too long for the buffer
    bool Read(const char* section, const char* key) {
        return GetAuxInfo(section, key, text, Size, &found) != 0;
    }
};

// A "true"/"false" switch: absent gives `absent`; any other text is refused.
bool ReadSwitch(const char* section, const char* key, bool absent, bool* value) {
    Value<kSwitchSize> v;
    if (!v.Read(section, key)) {
        return false;
    }
    if (!v.found) {
        *value = absent;
        return true;
    }
    if (strcasecmp(v.text, "true") == 0) {
        *value = true;
        return true;
    }
    if (strcasecmp(v.text, "false") == 0) {
        *value = false;
        return true;
    }
    return false;
}

// "dir/name" into a path buffer; false when it does not fit (never with
// values read into 256-byte buffers, but a path is never cut short).
bool JoinPath(char (&path)[kPathSize], const char* dir, const char* name) {
    int n = std::snprintf(path, sizeof path, "%s/%s", dir, name);
    return n >= 0 && n < kPathSize;
}

// Creates a missing directory (one level).
bool EnsureDirectory(const char* dir) {
    return exists(dir) || ::mkdir(dir, kInstalledMode) == 0;
}

// Puts the installed file's content at the backup path. The installed file
// stays in place where a link or a copy can be made (under a temporary name
// that is none of the section's paths); where neither can, it is moved
// there, and the installed path stays empty until the new file comes.
bool KeepBackup(const char* destPath, const char* backupPath, const char* interimPath,
                const char* srcPath) {
    return MakeBackup(destPath, backupPath, {interimPath, srcPath}) ||
           Rename(destPath, backupPath) == kRenameDone;
}

int Fail(UpdateInfo* info, int code) {
    info->errorCode = code;
    return 0;
}

}  // namespace

int TransferFile(const char* section, UpdateInfo* info) {
    Value<kNameSize> srcDir, srcFile, interimDir, interimFile, destDir, destFile, backupDir,
        backupFile;
    Value<kStampValueSize> timeStamp;
    Value<kDigestSize> md5, sha256;
    bool destNoExist = false;
    bool timeStampCheck = true;
    bool noUpdateSame = false;

    // Every value is read and length-checked before any presence is tested.
    if (!srcDir.Read(section, "SrcDir") || !srcFile.Read(section, "SrcFile") ||
        !interimDir.Read(section, "InterimDir") || !interimFile.Read(section, "InterimFile") ||
        !destDir.Read(section, "DestDir") || !destFile.Read(section, "DestFile") ||
        !backupDir.Read(section, "BackupDir") || !backupFile.Read(section, "BackupFile") ||
        !timeStamp.Read(section, "TimeStamp") || !md5.Read(section, "MD5Hash") ||
        !sha256.Read(section, "SHA256Hash") ||
        !ReadSwitch(section, "DestNoExist", false, &destNoExist) ||
        !ReadSwitch(section, "TimeStampCheck", true, &timeStampCheck) ||
        !ReadSwitch(section, "NoUpdateSame", false, &noUpdateSame)) {
        return Fail(info, kErrTransferBadValue);
    }

    struct Required {
        const bool& found;
        int code;
    };
    const Required required[] = {
        {srcDir.found, kErrTransferNoSrcDir},
        {srcFile.found, kErrTransferNoSrcFile},
        {interimDir.found, kErrTransferNoInterimDir},
        {interimFile.found, kErrTransferNoInterimFile},
        {destDir.found, kErrTransferNoDestDir},
        {destFile.found, kErrTransferNoDestFile},
        {backupDir.found, kErrTransferNoBackupDir},
        {backupFile.found, kErrTransferNoBackupFile},
    };
    for (const Required& r : required) {
        if (!r.found) {
            return Fail(info, r.code);
        }
    }
    info->errorCode = 0;

    char srcPath[kPathSize], interimPath[kPathSize], destPath[kPathSize], backupPath[kPathSize];
    if (!JoinPath(srcPath, srcDir.text, srcFile.text) ||
        !JoinPath(interimPath, interimDir.text, interimFile.text) ||
        !JoinPath(destPath, destDir.text, destFile.text) ||
        !JoinPath(backupPath, backupDir.text, backupFile.text)) {
        return Fail(info, kErrTransferBadValue);
    }

    // Time-stamp gate: a package that is not newer than the installed firmware
    // is not installed, and once one file was found so, no gated file is.
    if (timeStamp.found && timeStampCheck) {
        if ((info->flags & (UPD_TIMESTAMP | UPD_FORCE)) == UPD_TIMESTAMP) {
            std::int64_t installed = 0;
            std::int64_t package = 0;
            if (!ConvertTimeStamp(info->timeStamp, &installed) ||
                !ConvertTimeStamp(timeStamp.text, &package)) {
                return Fail(info, kErrTransferTimeStamp);
            }
            if (package == installed) {
                info->flags |= UPD_SAME;
            } else if (package < installed) {
                info->flags |= UPD_OLDER;
            }
        }
        if (info->flags & (UPD_SAME | UPD_OLDER)) {
            return 1;
        }
    }

    // Same-content gate: the installed copy already is the package's file.
    if (noUpdateSame && exists(destPath) && MD5Check(destPath, md5.text)) {
        return 1;
    }

    if (!exists(srcPath)) {
        return Fail(info, kErrTransferSrcMissing);
    }
    if (!EnsureDirectory(interimDir.text) || !EnsureDirectory(destDir.text)) {
        return Fail(info, kErrMakeDirectory);
    }

    // The interim copy, the installed file and its backup are three files: a
    // copy made onto the installed file or onto the backup, or an old backup
    // removed that is the installed file, would lose the file the instrument
    // runs (and a run could report an install that never happened).
    if (SameEntry(interimPath, destPath) || SameEntry(interimPath, backupPath)) {
        return Fail(info, kErrTransferCopy);
    }
    if (exists(destPath) && SameEntry(destPath, backupPath)) {
        return Fail(info, kErrTransferBackupDest);
    }

    // The copy is verified where it lies before anything installed is touched.
    if (!CopyFile(srcPath, interimPath)) {
        return Fail(info, kErrTransferCopy);
    }
    if (!MD5Check(interimPath, md5.text)) {
        return Fail(info, kErrTransferMd5);
    }
    char digest[kDigestSize] = {};
    if (!SHA256Hash(interimPath, digest) || std::strcmp(digest, sha256.text) != 0) {
        return Fail(info, kErrTransferSha256);
    }

    // The new file is executable, on the disk too, before it is ever at the
    // installed path.
    if (::chmod(interimPath, kInstalledMode) != 0 || !SyncFile(interimPath)) {
        return Fail(info, kErrTransferChmod);
    }
    if (exists(backupPath)) {
        if (!RemoveFile(backupPath)) {
            return Fail(info, kErrTransferRemoveBackup);
        }
        NoteChanged(Change::kRemoved, backupPath);
    }
    if (!(destNoExist && !exists(destPath))) {
        if (!KeepBackup(destPath, backupPath, interimPath, srcPath)) {
            return Fail(info, kErrTransferBackupDest);
        }
        // The backup is on the disk before the installed file is replaced.
        SyncFolderOrWarn(backupPath);
        NoteChanged(Change::kBackedUp, backupPath);
    }
    // One atomic step from the old file to the new one.
    if (ReplaceFile(interimPath, destPath) != kRenameDone) {
        return Fail(info, kErrTransferInstall);
    }
    NoteChanged(Change::kInstalled, destPath);
    SyncFolderOrWarn(destPath);
    if (::chmod(destPath, kInstalledMode) != 0) {
        return Fail(info, kErrTransferChmod);
    }
    return 1;
}

}  // namespace upd
