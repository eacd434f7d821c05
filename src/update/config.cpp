// ConfigUpdate: brings an installed configuration file up to the package's
// newer version while keeping the values the instrument already holds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files/file.h"
#include "manifest/auxinfo.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"
#include "util/str.h"

namespace upd {
namespace {

constexpr int kNameSize = kConfigNameSize;
constexpr int kPathSize = 516;
// Mode of a newly created file; the process's umask applies as for fopen.
constexpr mode_t kNewFileMode = 0666;

// Owns a line list for the length of one call.
class Lines {
  public:
    Lines() = default;
    ~Lines() { FreeFile2(&head_); }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;

    LineList2** out() { return &head_; }
    const LineList2* head() const { return head_; }

  private:
    LineList2* head_ = nullptr;
};

// The keyword of a line: its key part without leading blanks.
const char* Keyword(const LineList2* line) {
    return SkipSpaces(line->first);
}

// The merged file: the package's version line cut to its key part, then each
// package line, taken from the installed file instead where the installed
// line at the cursor has the same keyword. The cursor only moves forward, on a
// match; installed lines it never passes are dropped.
void WriteMerged(FILE* out, const LineList2* package, const LineList2* installed) {
    std::fprintf(out, "%s\n", package->first);
    const LineList2* cursor = installed->next;
    for (const LineList2* line = package->next; line != nullptr; line = line->next) {
        if (cursor != nullptr && std::strcmp(Keyword(cursor), Keyword(line)) == 0) {
            std::fprintf(out, "%s%s\n", cursor->first, cursor->rest);
            cursor = cursor->next;
        } else {
            std::fprintf(out, "%s%s\n", line->first, line->rest);
        }
    }
}

// The merged file is written beside the installed path under a name of its own
// and only renamed onto that path once it is complete and on disk, so the
// installed path never holds a partly written configuration.
std::string TemporaryPath(const char* destDir, const char* destFile) {
    return std::string(destDir) + "/." + destFile + ".update-tmp";
}

// Creates the temporary file for writing; a stale one of an interrupted run is
// removed first. Null when it cannot be created.
FILE* CreateTemporary(const std::string& path) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd < 0) {
        return nullptr;
    }
    FILE* f = ::fdopen(fd, "w");
    if (f == nullptr) {
        ::close(fd);
    }
    return f;
}

// Flushes the file to disk and closes it; false when any write, the flush, the
// sync or the close failed. The stream is closed either way.
bool FinishTemporary(FILE* f) {
    bool ok = std::ferror(f) == 0 && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    return std::fclose(f) == 0 && ok;
}

// Makes the rename of a file in `dir` durable; failures only cost durability.
void SyncDirectory(const char* dir) {
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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
    // An old backup goes before the versions are known, even when nothing is
    // merged afterwards.
    if (exists(backupPath) && !RemoveFile(backupPath)) {
        return Fail(info, kErrConfigRemoveBackup);
    }

    Lines package;
    Lines installed;
    double packageVersion = 0.0;
    double installedVersion = 0.0;
    if (!ReadFile2(srcPath, package.out())) {
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

    if (Rename(destPath, backupPath) != kRenameDone) {
        return Fail(info, kErrConfigBackupDest);
    }
    const std::string tempPath = TemporaryPath(destDir.value, destFile.value);
    FILE* out = CreateTemporary(tempPath);
    if (out == nullptr) {
        return Fail(info, kErrConfigOpenDest);
    }
    WriteMerged(out, package.head(), installed.head());
    if (!FinishTemporary(out) || Rename(tempPath.c_str(), destPath) != kRenameDone) {
        ::unlink(tempPath.c_str());
        return Fail(info, kErrConfigCloseDest);
    }
    SyncDirectory(destDir.value);
    return 1;
}

}  // namespace upd
