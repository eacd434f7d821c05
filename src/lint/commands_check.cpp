// The checks of the sections that run commands on the instrument: MSP430Update
// and FlashUpdate. What the commands themselves do is not knowable from the
// stick; which of their failures go unreported is.
#include "digest/ssl.h"
#include "lint/checker.h"
#include "update/codes.h"
#include "update/limits.h"

namespace upd::lint {

namespace {

using State = Paths::State;

// The stick paths (/mnt/...) that a command line names as words of its own.
std::vector<std::string> StickPaths(const std::string& command) {
    std::vector<std::string> paths;
    std::size_t at = 0;
    while ((at = command.find("/mnt/", at)) != std::string::npos) {
        const bool starts =
            at == 0 || std::string(" \t'\"=").find(command[at - 1]) != std::string::npos;
        const std::size_t end = command.find_first_of(" \t'\";|&<>", at);
        if (starts) {
            paths.push_back(command.substr(at, end == std::string::npos ? end : end - at));
        }
        at = end == std::string::npos ? command.size() : end;
    }
    return paths;
}

// Files on the stick that a command names: missing ones, and, in a signed run,
// ones that no digest covers.
void CheckNamedFiles(Checker& c, const std::string& s, const char* key, const Value& command) {
    for (const std::string& path : StickPaths(command.text)) {
        if (c.paths().Look(path) == State::kMissing) {
            c.Warn(s, command.line,
                   std::string(key) + " names " + Quote(path) + ", which is not on the stick");
        } else if (c.Signed()) {
            c.Warn(s, command.line,
                   std::string(key) + " uses " + Quote(path) +
                       " from the stick unverified: no digest of a signed run covers it");
        }
    }
}

}  // namespace

bool CheckMSP430Update(Checker& c, const std::string& s) {
    struct Command {
        const char* key;
        int code;  // for a value too long, and for a missing key
        Value value;
    };
    Command commands[] = {
        {"CommandJTAG", kErrMspJtagTooLong, {}},
        {"Command1", kErrMspCommand1TooLong, {}},
        {"Command2", kErrMspCommand2TooLong, {}},
    };
    for (Command& cmd : commands) {
        cmd.value = c.Read(s, cmd.key, kMspCommandSize);
        if (!cmd.value.fits) {
            c.Error(s, cmd.value.line, cmd.code,
                    std::string(cmd.key) + " is longer than the instrument's " +
                        std::to_string(kMspCommandSize - 1) + " characters");
            return false;
        }
    }
    for (const Command& cmd : commands) {
        if (!cmd.value.found) {
            c.Error(s, cmd.value.line, cmd.code, std::string("no ") + cmd.key);
            return false;
        }
    }
    for (const Command& cmd : commands) {
        CheckNamedFiles(c, s, cmd.key, cmd.value);
    }
    c.Warn(s, commands[1].value.line,
           "when Command1 fails and Command2 fails twice, the instrument goes on without "
           "reporting it");
    return true;
}

bool CheckFlashUpdate(Checker& c, const std::string& s) {
    struct Key {
        const char* name;
        int size;
        int absentCode;  // 0: optional
        Value value;
    };
    Key keys[] = {
        {"Device", kFlashDeviceSize, kErrFlashNoDevice, {}},
        {"Offset", kFlashOffsetSize, kErrFlashNoOffset, {}},
        {"EraseCommand", kFlashCommandSize, kErrFlashNoEraseCommand, {}},
        {"WriteCommand", kFlashCommandSize, kErrFlashNoWriteCommand, {}},
        {"DataPath1", kFlashDataPathSize, kErrFlashNoDataPath, {}},
        {"SHA256Hash", kFlashDigestSize, 0, {}},
    };
    for (Key& k : keys) {
        k.value = c.Read(s, k.name, k.size);
        if (!k.value.fits) {
            c.Error(s, k.value.line, kErrFlashValueTooLong,
                    std::string(k.name) + " is longer than the instrument's " +
                        std::to_string(k.size - 1) + " characters");
            return false;
        }
    }
    for (const Key& k : keys) {
        if (k.absentCode != 0 && !k.value.found) {
            c.Error(s, k.value.line, k.absentCode, std::string("no ") + k.name);
            return false;
        }
    }
    const Value& data = keys[4].value;
    const Value& sha256 = keys[5].value;
    CheckNamedFiles(c, s, "WriteCommand", keys[3].value);
    const State state = c.paths().Look(data.text);
    if (!sha256.found) {
        if (state == State::kMissing) {
            c.Warn(s, data.line,
                   "DataPath1 " + Quote(data.text) +
                       " does not exist; the write command runs all the same");
        } else if (c.Signed() && Paths::OnStick(data.text)) {
            c.Warn(
                s, data.line,
                "a signed run writes " + Quote(data.text) + " unverified: no SHA256Hash covers it");
        }
        c.Warn(s, keys[3].value.line,
               "without SHA256Hash the instrument ignores the write command's exit status");
        return true;
    }
    // With the digest the data file is copied onto the instrument and checked
    // before anything is written.
    if (state == State::kMissing || state == State::kDirectory) {
        c.Error(s, data.line, kErrTransferCopy,
                "DataPath1 " + Quote(data.text) + " cannot be copied: it is not a file");
        return false;
    }
    const std::optional<std::string> bytes = c.paths().Content(data.text);
    char digest[kFlashDigestSize] = {};
    if (bytes && (!SHA256Hash(bytes->c_str(), digest) || sha256.text != digest)) {
        c.Error(s, sha256.line, kErrTransferSha256,
                "SHA256Hash does not match " + Quote(data.text) + " (its digest is " +
                    std::string(digest) + ")");
        return false;
    }
    return true;
}

}  // namespace upd::lint
