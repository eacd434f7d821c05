// The second half of the updater's run: loads and checks the manifest, builds
// the run list, carries out each listed section by its Operation, and ends the
// run with a reboot or a restart of the main application.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "digest/ssl.h"
#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd {
namespace {

// A heap buffer from ReadBytesFromFile, released with free.
struct FreeBytes {
    void operator()(unsigned char* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<unsigned char, FreeBytes>;

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// Parses manifest bytes held in memory into the store.
bool ParseManifest(unsigned char* bytes, unsigned int length) {
    // A zero-length buffer still makes a valid, empty stream.
    static char empty[1];
    FILE* stream = length > 0 ? ::fmemopen(bytes, length, "r") : ::fmemopen(empty, 0, "r");
    if (stream == nullptr) {
        return false;
    }
    int loaded = ReadAuxInfoStream(stream);
    std::fclose(stream);
    return loaded != 0;
}

// Verifies the signature of the manifest bytes with the instrument's key.
bool SignatureValid(const unsigned char* manifest, unsigned int manifestLength) {
    EVP_PKEY* raw = EVP_PKEY_new();
    if (raw == nullptr) {
        return false;
    }
    // The loader may replace the object it is given; whatever it holds
    // afterwards is freed here.
    const bool loaded = ReadPublicKey(kPublicKeyPath, &raw) != 0;
    std::unique_ptr<EVP_PKEY, FreeKey> key(raw);
    if (!loaded) {
        return false;
    }
    unsigned char* signature = nullptr;
    unsigned int signatureLength = 0;
    if (!ReadBytesFromFile(kSignaturePath, &signature, &signatureLength)) {
        return false;
    }
    Bytes ownedSignature(signature);
    return VerifyIt(manifest, manifestLength, signature, signatureLength, key.get()) == 1;
}

// Loads the manifest into the store; with -s the bytes read once are both the
// ones parsed and the ones verified, so a stick whose content changes between
// two reads cannot run an unsigned manifest. Returns 0 to go on, or the code
// of the failure (the stick is then already unmounted).
int LoadManifest(UpdateInfo* info) {
    Bytes manifest;
    unsigned int manifestLength = 0;
    if (info->flags & UPD_SSL) {
        unsigned char* bytes = nullptr;
        if (!ReadBytesFromFile(kManifestPath, &bytes, &manifestLength)) {
            UnMount(info);
            return kErrManifestUnreadable;
        }
        manifest.reset(bytes);
        if (!ParseManifest(manifest.get(), manifestLength)) {
            UnMount(info);
            return kErrManifestUnreadable;
        }
    } else if (!ReadAuxInfo(kManifestPath)) {
        UnMount(info);
        return kErrManifestUnreadable;
    }
    AuxInfo = true;
    if (info->flags & UPD_MESG) {
        ShowAuxInfo();
    }
    if ((info->flags & UPD_SSL) && !SignatureValid(manifest.get(), manifestLength)) {
        UnMount(info);
        return kErrSignature;
    }
    return 0;
}

// What the loop does after a section: go on, or end the run with status 1.
enum class Next { kGoOn, kStop };

// After a failed operation the driver reports the code it stored.
Next Carry(int result, UpdateInfo* info) {
    if (result) {
        return Next::kGoOn;
    }
    Error(info->errorCode, false, info);
    return Next::kStop;
}

// A transfer that the time-stamp gate has skipped, now or in an earlier
// section, is followed by a notice; the run goes on.
Next Transfer(const char* section, UpdateInfo* info) {
    if (Carry(TransferFile(section, info), info) == Next::kStop) {
        return Next::kStop;
    }
    if (info->flags & UPD_SAME) {
        Error(kNoticeSame, false, info);
    } else if (info->flags & UPD_OLDER) {
        Error(kNoticeOlder, false, info);
    }
    return Next::kGoOn;
}

using Operation = int (*)(const char* section, UpdateInfo* info);

struct Dispatch {
    std::string_view name;
    Operation operation;
};

// Every operation but Reboot, which only asks for the reboot at the end, and
// TransferFile, which is followed by its notices.
constexpr Dispatch kOperations[] = {
    {"ConfigUpdate", ConfigUpdate}, {"BackupFiles", BackupFiles}, {"MSP430Update", MSP430Update},
    {"FlashUpdate", FlashUpdate},   {"RemoveFiles", RemoveFiles},
};

// Carries out one listed section by its Operation. A section without one,
// or with a name that is no operation, is passed over.
Next RunSection(const char* section, UpdateInfo* info, bool* rebootRequested) {
    char operation[kOperationSize] = {};
    bool found = false;
    if (!GetAuxInfo(section, "Operation", operation, sizeof operation, &found)) {
        Error(kErrOperationTooLong, true, info);
        return Next::kStop;
    }
    if (!found) {
        return Next::kGoOn;
    }
    const std::string_view name(operation);
    if (name == "TransferFile") {
        return Transfer(section, info);
    }
    if (name == "Reboot") {
        *rebootRequested = true;
        return Next::kGoOn;
    }
    for (const Dispatch& d : kOperations) {
        if (name == d.name) {
            return Carry(d.operation(section, info), info);
        }
    }
    return Next::kGoOn;
}

}  // namespace

int RunSequence(UpdateInfo* info) {
    ShowMessage("Updating firmware...");
    if (int code = LoadManifest(info)) {
        return Error(code, true, info);
    }
    if (!BuildSectionList("SectionList", "Sequence", &info->sections)) {
        return Error(kErrRunListFailed, true, info);
    }

    bool rebootRequested = false;
    for (const Section* s = info->sections; s != nullptr; s = s->next) {
        if (RunSection(s->name, info, &rebootRequested) == Next::kStop) {
            // The process ends with the report; the run list goes with it.
            FreeSectionList(&info->sections);
            return 1;
        }
    }

    // The end of the run: everything released, the stick unmounted and
    // pulled, then the instrument restarts one way or the other.
    platform::Current().Sync();
    FreeAuxInfo();
    AuxInfo = false;
    FreeSectionList(&info->sections);
    UnMount(info);
    WaitForUsbUnplug(info);
    if (rebootRequested) {
        return RebootSequence();
    }
    RestartMain();
    return 0;
}

}  // namespace upd
