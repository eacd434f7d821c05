// FlashUpdate: writes a data file to a flash device with the section's command.
#include <cstdio>

#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd {
namespace {

constexpr int kCommandLineSize = 1024;

}  // namespace

int FlashUpdate(const char* section, UpdateInfo* info) {
    char device[kFlashDeviceSize] = {};
    char offset[kFlashOffsetSize] = {};
    char eraseCommand[kFlashCommandSize] = {};
    char writeCommand[kFlashCommandSize] = {};
    char dataPath[kFlashDataPathSize] = {};
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
            info->errorCode = kErrFlashValueTooLong;
            return 0;
        }
    }
    for (const Key& k : keys) {
        if (!k.found) {
            info->errorCode = k.absentCode;
            return 0;
        }
    }
    // Offset and EraseCommand must be named but take no part in the command.
    char command[kCommandLineSize] = {};
    std::snprintf(command, sizeof command, "%s %s %s", writeCommand, dataPath, device);
    platform::Current().System(command);
    info->errorCode = 0;
    return 1;
}

}  // namespace upd
