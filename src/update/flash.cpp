// FlashUpdate: writes a data file to a flash device with the section's command.
// A section that names the data file's SHA-256 has it copied onto the
// instrument and verified there first, and the command writes that copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "digest/ssl.h"
#include "files/file.h"
#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd {
namespace {

constexpr int kCommandLineSize = 1024;
constexpr int kDigestSize = kFlashDigestSize;
constexpr mode_t kDirectoryMode = 0755;
// The copy is read by the write command, which runs as the updater does.
constexpr mode_t kCopyMode = 0600;

// The verified copy of the data file on the instrument, at kFlashCopyPath,
// removed with the object. Sections run one after the other, so one name
// serves them all; a copy that an interrupted run left there is removed
// before the next one is made (and at the start of every run), and is never
// taken for the data of a later section.
class VerifiedCopy {
  public:
    VerifiedCopy() = default;
    ~VerifiedCopy() {
        if (made_) {
            ::unlink(kFlashCopyPath);
        }
    }
    VerifiedCopy(const VerifiedCopy&) = delete;
    VerifiedCopy& operator=(const VerifiedCopy&) = delete;

    // Copies `source` to a new file at kFlashCopyPath (its folder created if
    // missing) and syncs the copy to disk; false when any step fails.
    bool Make(const char* source) {
        if (!exists(kDownloadDir) && ::mkdir(kDownloadDir, kDirectoryMode) != 0) {
            return false;
        }
        ::unlink(kFlashCopyPath);
        const int fd =
            ::open(kFlashCopyPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCopyMode);
        if (fd < 0) {
            return false;
        }
        made_ = true;
        // The copy is written through a descriptor of its own; this one
        // makes sure the bytes are on disk before they are checked and used.
        const bool ok = CopyFile(source, kFlashCopyPath) && ::fsync(fd) == 0;
        return ::close(fd) == 0 && ok;
    }

    // Whether the copy has the SHA-256 `expected`, as lowercase text.
    bool HasSha256(const char* expected) const {
        char digest[kDigestSize] = {};
        return SHA256Hash(kFlashCopyPath, digest) && std::strcmp(digest, expected) == 0;
    }

  private:
    bool made_ = false;
};

int Fail(UpdateInfo* info, int code) {
    info->errorCode = code;
    return 0;
}

// Runs "WriteCommand DataPath Device" and returns the shell's status.
int Write(const char* writeCommand, const char* dataPath, const char* device) {
    char command[kCommandLineSize] = {};
    std::snprintf(command, sizeof command, "%s %s %s", writeCommand, dataPath, device);
    return platform::Current().System(command);
}

}  // namespace

void RemoveStaleFlashCopy() {
    ::unlink(kFlashCopyPath);
}

int FlashUpdate(const char* section, UpdateInfo* info) {
    char device[kFlashDeviceSize] = {};
    char offset[kFlashOffsetSize] = {};
    char eraseCommand[kFlashCommandSize] = {};
    char writeCommand[kFlashCommandSize] = {};
    char dataPath[kFlashDataPathSize] = {};
    char sha256[kDigestSize] = {};
    bool hasSha256 = false;
    struct Key {
        const char* name;
        char* value;
        int size;
        int absentCode;
        bool found;
    };
    // Looked up in this order; absent keys are then reported in the same order.
    Key keys[] = {
        {"Device", device, sizeof device, kErrFlashNoDevice, false},
        {"Offset", offset, sizeof offset, kErrFlashNoOffset, false},
        {"EraseCommand", eraseCommand, sizeof eraseCommand, kErrFlashNoEraseCommand, false},
        {"WriteCommand", writeCommand, sizeof writeCommand, kErrFlashNoWriteCommand, false},
        {"DataPath1", dataPath, sizeof dataPath, kErrFlashNoDataPath, false},
    };
    for (Key& k : keys) {
        if (!GetAuxInfo(section, k.name, k.value, k.size, &k.found)) {
            return Fail(info, kErrFlashValueTooLong);
        }
    }
    // Optional: the data file's SHA-256, which is then verified.
    if (!GetAuxInfo(section, "SHA256Hash", sha256, sizeof sha256, &hasSha256)) {
        return Fail(info, kErrFlashValueTooLong);
    }
    for (const Key& k : keys) {
        if (!k.found) {
            return Fail(info, k.absentCode);
        }
    }
    // Offset and EraseCommand must be named but take no part in the command.
    if (!hasSha256) {
        // Without a digest the status is ignored: packages may rely on that.
        Write(writeCommand, dataPath, device);
        info->errorCode = 0;
        return 1;
    }

    // The command is given the verified copy, so the stick cannot hand it
    // other bytes than those checked; the copy goes once it has run.
    VerifiedCopy copy;
    if (!copy.Make(dataPath)) {
        return Fail(info, kErrCopyToInstrument);
    }
    if (!copy.HasSha256(sha256)) {
        return Fail(info, kErrSha256Differs);
    }
    if (Write(writeCommand, kFlashCopyPath, device) != 0) {
        return Fail(info, kErrFlashWriteFailed);
    }
    info->errorCode = 0;
    return 1;
}

}  // namespace upd
