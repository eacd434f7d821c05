// MSP430Update: programs the instrument's MSP430 microcontroller by running
// the section's external commands.
#include <sys/wait.h>

#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd {
namespace {

constexpr int kCommandSize = kMspCommandSize;

// A command succeeded only when its shell ran and exited normally with status
// 0; a command killed by a signal did not program anything.
bool Run(const char* command) {
    int status = platform::Current().System(command);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int MSP430Update(const char* section, UpdateInfo* info) {
    struct Command {
        const char* key;
        int code;  // for a value too long, and for a missing key
        char text[kCommandSize];
        bool found;
    };
    Command commands[] = {
        {"CommandJTAG", kErrMspJtagTooLong, {}, false},
        {"Command1", kErrMspCommand1TooLong, {}, false},
        {"Command2", kErrMspCommand2TooLong, {}, false},
    };
    for (Command& c : commands) {
        if (!GetAuxInfo(section, c.key, c.text, kCommandSize, &c.found)) {
            info->errorCode = c.code;
            return 0;
        }
    }
    // A missing command is never taken as done: nothing runs unless all three
    // are there.
    for (const Command& c : commands) {
        if (!c.found) {
            info->errorCode = c.code;
            return 0;
        }
    }
    const Command& jtag = commands[0];
    const Command& first = commands[1];
    const Command& second = commands[2];

    if (!Run(jtag.text)) {
        info->errorCode = kErrMspJtagFailed;
        return 0;
    }
    // Command1 programs; Command2 is its fallback, tried twice at most. Their
    // failure does not end the run.
    if (!Run(first.text) && !Run(second.text)) {
        Run(second.text);
    }
    return 1;
}

}  // namespace upd
