// ConfigUpdate: brings an installed configuration file up to the package's
// newer version while keeping the values the instrument already holds.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "digest/ssl.h"
#include "files/file.h"
#include "manifest/auxinfo.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/observer.h"
#include "update/update.h"
#include "util/str.h"

namespace upd {
namespace {

constexpr int kNameSize = kConfigNameSize;
constexpr int kPathSize = 516;
constexpr int kDigestSize = kConfigDigestSize;

// The package file's bytes, read once when the section names their SHA-256,
// so that the lines merged are the bytes that were checked, whatever the
// stick answers to a later read.
class PackageBytes {
  public:
    // Reads the whole file; false when it cannot be read.
    bool Read(const char* path) {
        unsigned char* data = nullptr;
        if (!ReadBytesFromFile(path, &data, &length_)) {
            return false;
        }
        data_.reset(data);
        return true;
    }

    // Whether the bytes read have the SHA-256 `expected`, as lowercase text.
    bool HaveSha256(const char* expected) const {
        char digest[kDigestSize] = {};
        return SHA256HashBytes(data_.get(), length_, digest) && std::strcmp(digest, expected) == 0;
    }

    // The package's lines: from the bytes read, or from the file at `path`
    // when the section names no digest and nothing was read.
    bool ReadLines(const char* path, LineList2** list) const {
        return data_ ? ReadMemory2(data_.get(), length_, list) != 0 : ReadFile2(path, list) != 0;
    }

  private:
    struct FreeBytes {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, FreeBytes> data_;
    unsigned int length_ = 0;
};

// The keyword of a line: its key part without leading blanks.
const char* Keyword(const LineList2* line) {
    return SkipSpaces(line->first);
}

// The merged file: the package's version line cut to its key part, then the
// lines the merge takes, each from the installed file or from the package.
void WriteMerged(FILE* out, const LineList2* package, const LineList2* installed) {
    std::fprintf(out, "%s\n", package->first);
    MergeConfigLines(package, installed, [out](const LineList2* line) {
        std::fprintf(out, "%s%s\n", line->first, line->rest);
    });
}

// Tag of the temporary name the merged file is written under.
constexpr std::string_view kMergeTag = "update-tmp";
// Temporary names tried when something that cannot be removed (a directory)
// sits on the first ones.
constexpr int kTemporaryAttempts = 8;

// Creates the file the merge is written to, beside the installed path `dest`
// in its own directory, so that it can be renamed over it once complete; its
// name is none of the section's paths. A stale one of an interrupted run is
// removed first. Null when it cannot be created; `tempPath` then names
// nothing to remove.
FILE* CreateTemporary(const char* dest, const char* backup, const char* src,
                      std::string* tempPath) {
    const char* const sectionPaths[] = {dest, backup, src};
    for (const std::string& candidate :
         TemporaryCandidates(dest, kMergeTag, sectionPaths, kTemporaryAttempts)) {
        *tempPath = candidate;
        ::unlink(tempPath->c_str());
        int fd = ::open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kNewFileMode);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            break;
        }
        FILE* f = ::fdopen(fd, "w");
        if (f == nullptr) {
            ::close(fd);
            ::unlink(tempPath->c_str());
            break;
        }
        return f;
    }
    tempPath->clear();
    return nullptr;
}

// Flushes the file to disk and closes it; false when any write, the flush, the
// sync or the close failed. The stream is closed either way.
bool FinishTemporary(FILE* f) {
    bool ok = std::ferror(f) == 0 && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    return std::fclose(f) == 0 && ok;
}

// Puts the installed file's content at the backup path. The installed file
// stays in place where a link or a copy can be made (under a temporary name
// that is none of the section's paths); where neither can, it is moved
// there, and the installed path stays empty until the merged file comes.
bool KeepBackup(const char* destPath, const char* backupPath, const char* srcPath) {
    return MakeBackup(destPath, backupPath, {srcPath}) ||
           Rename(destPath, backupPath) == kRenameDone;
}

int Fail(UpdateInfo* info, int code) {
    info->errorCode = code;
    return 0;
}

}  // namespace

int GetVersion(const LineList2* list, double* version) {
    if (list == nullptr || list->first == nullptr) {
        return 0;
    }
    const char* key = SkipSpaces(list->first);
    if (*key != 'V' && *key != 'v') {
        return 0;
    }
    double v = std::atof(key + 1);
    if (v == 0.0) {
        return 0;
    }
    *version = v;
    return 1;
}

const LineList2* MergeConfigLines(const LineList2* package, const LineList2* installed,
                                  const std::function<void(const LineList2*)>& take) {
    // The cursor only moves forward, on a match.
    const LineList2* cursor = installed != nullptr ? installed->next : nullptr;
    for (const LineList2* line = package != nullptr ? package->next : nullptr; line != nullptr;
         line = line->next) {
        if (cursor != nullptr && std::strcmp(Keyword(cursor), Keyword(line)) == 0) {
            take(cursor);
            cursor = cursor->next;
        } else {
            take(line);
        }
    }
    return cursor;
}

int ConfigUpdate(const char* section, UpdateInfo* info) {
    struct Key {
        const char* name;
        int absentCode;
        char value[kNameSize];
        bool found;
    };
    Key keys[] = {
        {"SrcDir", kErrConfigNoSrcDir, {}, false},
        {"SrcFile", kErrConfigNoSrcFile, {}, false},
        {"DestDir", kErrConfigNoDestDir, {}, false},
        {"DestFile", kErrConfigNoDestFile, {}, false},
        {"BackupDir", kErrConfigNoBackupDir, {}, false},
        {"BackupFile", kErrConfigNoBackupFile, {}, false},
    };
    for (Key& k : keys) {
        if (!GetAuxInfo(section, k.name, k.value, kNameSize, &k.found)) {
            return Fail(info, kErrConfigValueTooLong);
        }
    }
    // Optional: the SHA-256 of the package file, which is then verified.
    char sha256[kDigestSize] = {};
    bool hasSha256 = false;
    if (!GetAuxInfo(section, "SHA256Hash", sha256, kDigestSize, &hasSha256)) {
        return Fail(info, kErrConfigValueTooLong);
    }
    for (const Key& k : keys) {
        if (!k.found) {
            return Fail(info, k.absentCode);
        }
    }
    info->errorCode = 0;
    const Key& srcDir = keys[0];
    const Key& srcFile = keys[1];
    const Key& destDir = keys[2];
    const Key& destFile = keys[3];
    const Key& backupDir = keys[4];
    const Key& backupFile = keys[5];

    char srcPath[kPathSize], destPath[kPathSize], backupPath[kPathSize];
    if (std::snprintf(srcPath, kPathSize, "%s/%s", srcDir.value, srcFile.value) >= kPathSize ||
        std::snprintf(destPath, kPathSize, "%s/%s", destDir.value, destFile.value) >= kPathSize ||
        std::snprintf(backupPath, kPathSize, "%s/%s", backupDir.value, backupFile.value) >=
            kPathSize) {
        return Fail(info, kErrConfigValueTooLong);
    }

    if (!exists(srcPath)) {
        return Fail(info, kErrConfigSrcMissing);
    }
    if (!exists(destPath)) {
        return Fail(info, kErrConfigDestMissing);
    }
    // Removing the old backup must not remove the installed file or the
    // package's own.
    if (SameEntry(backupPath, destPath) || SameEntry(backupPath, srcPath)) {
        return Fail(info, kErrConfigBackupDest);
    }
    // A package file that is to be verified is read and checked before
    // anything on the instrument changes.
    PackageBytes verified;
    if (hasSha256) {
        if (!verified.Read(srcPath)) {
            return Fail(info, kErrConfigReadSrc);
        }
        if (!verified.HaveSha256(sha256)) {
            return Fail(info, kErrSha256Differs);
        }
    }
    // An old backup goes before the versions are known, even when nothing is
    // merged afterwards.
    if (exists(backupPath)) {
        if (!RemoveFile(backupPath)) {
            return Fail(info, kErrConfigRemoveBackup);
        }
        NoteChanged(Change::kRemoved, backupPath);
    }

    LineList2Owner package;
    LineList2Owner installed;
    double packageVersion = 0.0;
    double installedVersion = 0.0;
    if (!verified.ReadLines(srcPath, package.out())) {
        return Fail(info, kErrConfigReadSrc);
    }
    if (!GetVersion(package.head(), &packageVersion)) {
        return Fail(info, kErrConfigSrcVersion);
    }
    if (!ReadFile2(destPath, installed.out())) {
        return Fail(info, kErrConfigReadDest);
    }
    if (!GetVersion(installed.head(), &installedVersion)) {
        return Fail(info, kErrConfigDestVersion);
    }
    if (packageVersion <= installedVersion) {
        return 1;
    }

    // The merged file is whole and on the disk before the installed one is
    // touched; the rename over it is one atomic step from old to new.
    std::string tempPath;
    FILE* out = CreateTemporary(destPath, backupPath, srcPath, &tempPath);
    if (out == nullptr) {
        return Fail(info, kErrConfigOpenDest);
    }
    WriteMerged(out, package.head(), installed.head());
    if (!FinishTemporary(out)) {
        ::unlink(tempPath.c_str());
        return Fail(info, kErrConfigCloseDest);
    }
    if (!KeepBackup(destPath, backupPath, srcPath)) {
        ::unlink(tempPath.c_str());
        return Fail(info, kErrConfigBackupDest);
    }
    // The backup is on the disk before the installed file is replaced.
    SyncFolderOrWarn(backupPath);
    NoteChanged(Change::kBackedUp, backupPath);
    if (ReplaceFile(tempPath.c_str(), destPath) != kRenameDone) {
        ::unlink(tempPath.c_str());
        return Fail(info, kErrConfigCloseDest);
    }
    NoteChanged(Change::kMerged, destPath);
    SyncFolderOrWarn(destPath);
    return 1;
}

}  // namespace upd
