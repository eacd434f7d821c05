// The checks of the sections that make and remove paths: BackupFiles and
// RemoveFiles.
#include <cstdio>

#include "lint/checker.h"
#include "lint/steps.h"
#include "update/codes.h"
#include "update/limits.h"

namespace upd::lint {

bool CheckBackupFiles(Checker& c, const std::string& s) {
    struct Key {
        const char* name;
        int tooLongCode;
        bool created;  // a directory to create, or a source only read
        Value value;
    };
    Key keys[] = {
        {"DestDir", kErrTransferNoSrcDir, true, {}},   {"SrcDir1", kErrTransferNoSrcDir, false, {}},
        {"DestDir1", kErrTransferNoDestDir, true, {}}, {"SrcDir2", kErrTransferNoSrcDir, false, {}},
        {"DestDir2", kErrTransferNoDestDir, true, {}},
    };
    for (Key& k : keys) {
        k.value = c.Read(s, k.name, kBackupDirLimit);
        if (!k.value.fits) {
            c.Error(s, k.value.line, k.tooLongCode, "value-too-long",
                    std::string(k.name) + " is longer than the instrument's " +
                        std::to_string(kBackupDirLimit - 1) + " characters");
            return false;
        }
    }
    // In order, so that DestDir1 and DestDir2 may lie inside DestDir.
    for (const Key& k : keys) {
        if (k.created && k.value.found) {
            c.Puts("the folder " + k.value.text + " (made when missing)");
        }
    }
    for (const Key& k : keys) {
        const bool missing =
            k.created && k.value.found && c.paths().StateOf(k.value.text) == Paths::State::kMissing;
        if (missing && EnsureDirectoryStep(c.paths(), k.value.text)) {
            c.Changes("created the folder " + k.value.text);
        }
        if (k.created && k.value.found && !EnsureDirectoryStep(c.paths(), k.value.text)) {
            c.Error(
                s, k.value.line, kErrMakeDirectory, "directory-uncreatable",
                Quote(k.value.text) + " cannot be created: its parent directory does not exist");
            return false;
        }
    }
    return true;
}

bool CheckRemoveFiles(Checker& c, const std::string& s) {
    Value failed;  // the first listed directory, which cannot be removed
    std::string failedKey;
    int n = 1;
    for (;; ++n) {
        const std::string key = "file" + std::to_string(n);
        const Value v = c.Read(s, key.c_str(), kRemovePathSize);
        if (!v.fits) {
            c.Error(s, v.line, kErrRemoveValueTooLong, "value-too-long",
                    key + " is longer than the instrument's " +
                        std::to_string(kRemovePathSize - 1) + " characters");
            return false;
        }
        if (!v.found) {
            break;
        }
        // A path that does not exist is passed over; one that cannot be
        // removed (a directory) is reported after the whole list.
        c.Puts("removes " + v.text);
        const bool exists = c.paths().Exists(v.text);
        if (exists && !c.paths().Unlink(v.text)) {
            if (!failed.found) {
                failed = v;
                failedKey = key;
            }
        } else {
            c.Changes(exists ? "removed " + v.text : v.text + " is not there: nothing removed");
        }
    }
    // Keys numbered past the first gap are never read.
    if (const SectionLines* section = c.lines().Find(s)) {
        for (const KeyLine& k : section->keys) {
            if (FileNumber(k.name) > n) {
                c.Warn(s, k.line, "remove-numbering-gap",
                       k.name + " is never read: the list ends at the first missing number (file" +
                           std::to_string(n) + ")");
            }
        }
    }
    if (failed.found) {
        c.Error(s, failed.line, kErrRemoveFailed, "remove-failed",
                failedKey + " " + Quote(failed.text) +
                    " cannot be removed: it is a directory (the instrument reports so after the "
                    "whole list)");
        return false;
    }
    return true;
}

}  // namespace upd::lint
