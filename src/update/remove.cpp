// RemoveFiles: removes the files that a section lists as file1, file2, ...
#include <cstdio>

#include "files/file.h"
#include "manifest/auxinfo.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/observer.h"
#include "update/update.h"

namespace upd {
namespace {

constexpr int kPathSize = kRemovePathSize;

}  // namespace

int RemoveFiles(const char* section, UpdateInfo* info) {
    bool failed = false;
    // The list runs from file1 up to the first missing number.
    for (int n = 1;; ++n) {
        char key[32];
        std::snprintf(key, sizeof key, "file%d", n);
        char path[kPathSize] = {};
        bool found = false;
        if (!GetAuxInfo(section, key, path, kPathSize, &found)) {
            info->errorCode = kErrRemoveValueTooLong;
            return 0;
        }
        if (!found) {
            break;
        }
        // A file that is not there is skipped; one that cannot be removed is
        // reported once the whole list has been worked through.
        if (!exists(path)) {
            continue;
        }
        if (RemoveFile(path)) {
            NoteChanged(Change::kRemoved, path);
        } else {
            failed = true;
            info->errorCode = kErrRemoveFailed;
        }
    }
    return failed ? 0 : 1;
}

}  // namespace upd
