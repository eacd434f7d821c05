// BackupFiles: makes sure that the directories a package's backups go to exist.
#include <sys/stat.h>

#include "files/file.h"
#include "manifest/auxinfo.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd {
namespace {

constexpr int kDirSize = 516;
// Values are refused from this length on, though the buffers are larger.
constexpr int kDirLimit = kBackupDirLimit;
constexpr mode_t kDirMode = 0755;

}  // namespace

int BackupFiles(const char* section, UpdateInfo* info) {
    struct Key {
        const char* name;
        int tooLongCode;
        bool created;  // a directory to create, or a source only read
        char value[kDirSize];
        bool found;
    };
    Key keys[] = {
        {"DestDir", kErrTransferNoSrcDir, true, {}, false},
        {"SrcDir1", kErrTransferNoSrcDir, false, {}, false},
        {"DestDir1", kErrTransferNoDestDir, true, {}, false},
        {"SrcDir2", kErrTransferNoSrcDir, false, {}, false},
        {"DestDir2", kErrTransferNoDestDir, true, {}, false},
    };
    for (Key& k : keys) {
        if (!GetAuxInfo(section, k.name, k.value, kDirLimit, &k.found)) {
            info->errorCode = k.tooLongCode;
            return 0;
        }
    }
    // In this order, so that DestDir1 and DestDir2 may lie inside DestDir. A
    // directory the section does not name is skipped.
    for (const Key& k : keys) {
        if (k.created && k.found && !exists(k.value) && ::mkdir(k.value, kDirMode) != 0) {
            info->errorCode = kErrMakeDirectory;
            return 0;
        }
    }
    return 1;
}

}  // namespace upd
