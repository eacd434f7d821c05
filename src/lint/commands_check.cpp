// The checks of the sections that run commands on the instrument: MSP430Update
// and FlashUpdate. A command's exit status is not knowable from the stick,
// except where its program cannot run at all; which failures go unreported
// is, and so are the stick files a command names.
#include "digest/ssl.h"
#include "lint/checker.h"
#include "lint/steps.h"
#include "stick/shell_words.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd::lint {

namespace {

using State = Paths::State;

constexpr char kMountPoint[] = "/mnt";

// Whether the tree shows the top folder of `path` with something in it: a
// tree that lacks it (say, one laid out for update-sim, whose /usr, /bin and
// /lib are the workstation's) says nothing about the programs there.
bool TreeShows(const Paths& paths, const std::string& path) {
    const std::size_t start = path.find_first_not_of('/');
    if (start == std::string::npos) {
        return false;
    }
    const std::string top = "/" + path.substr(start, path.find('/', start) - start);
    return top == kMountPoint ||
           (paths.StateOf(top) == State::kDirectory && !paths.EmptyFolder(top));
}

// Why a program named by path cannot run on the instrument, "" when it can
// or the checker cannot tell.
std::string ProgramProblem(const Paths& paths, const std::string& program) {
    const Paths::Entry e = paths.Look(program);
    if (e.onStick) {
        return e.state == State::kMissing
                   ? "is not on the stick"
                   : "lies on the stick, which the instrument mounts without the right to run "
                     "programs";
    }
    switch (e.state) {
        case State::kMissing:
            return TreeShows(paths, program) ? "does not exist on the instrument" : "";
        case State::kDirectory:
            return "is a directory";
        case State::kSpecial:
            return "is no regular file";
        case State::kFile:
            return e.file->executable ? "" : "is not executable";
        case State::kUnknown:
            break;
    }
    return "";
}

// What the shell makes of a command line, as far as the stick and the tree tell.
struct Outlook {
    bool fails = false;                 // it cannot exit 0
    std::string why;                    // why it fails
    std::vector<std::string> problems;  // programs it names that cannot run
};

Outlook Foresee(const Paths& paths, const std::string& command) {
    Outlook outlook;
    const stick::ShellWords split = stick::SplitShellWords(command);
    if (!split.complete) {
        outlook.fails = true;
        outlook.why = "a quote is never closed, and the shell refuses the command";
        return outlook;
    }
    for (const stick::ShellWord& word : split.words) {
        if (word.program && !word.expands && word.text.find('/') != std::string::npos) {
            const std::string problem = ProgramProblem(paths, word.text);
            if (!problem.empty()) {
                outlook.problems.push_back("its program " + Quote(word.text) + " " + problem);
            }
        }
    }
    // One simple command: its status is its program's, and a program that
    // cannot run makes the shell exit with 126 or 127.
    if (split.simple && !outlook.problems.empty()) {
        outlook.fails = true;
        outlook.why = outlook.problems.front();
    }
    return outlook;
}

// A command whose status decides the run: a certain failure is the run's
// error `code`; otherwise the prediction assumes that it exits 0.
bool CheckDecidingCommand(Checker& c, const std::string& s, const char* key, const Value& v,
                          const std::string& command, int code) {
    const Outlook outlook = Foresee(c.paths(), command);
    if (outlook.fails) {
        c.Error(s, v.line, code, "command-cannot-run",
                std::string(key) + " cannot exit 0: " + outlook.why);
        return false;
    }
    for (const std::string& problem : outlook.problems) {
        c.Warn(s, v.line, "command-program-unusable", std::string(key) + ": " + problem);
    }
    c.Assume(Unknowable::kCommandStatus, s, v.line, code,
             std::string(key) + " of [" + s + "] exits 0 (else the run stops with " +
                 std::to_string(code) + ")");
    return true;
}

// A command whose status the instrument ignores: what cannot run is a warning.
void CheckIgnoredCommand(Checker& c, const std::string& s, const char* key, const Value& v,
                         const std::string& command, const std::string& then) {
    const Outlook outlook = Foresee(c.paths(), command);
    if (outlook.fails) {
        c.Warn(s, v.line, "ignored-command-fails",
               std::string(key) + " cannot exit 0: " + outlook.why + "; " + then);
        return;
    }
    for (const std::string& problem : outlook.problems) {
        c.Warn(s, v.line, "command-program-unusable", std::string(key) + ": " + problem);
    }
}

// Files on the stick that a command names: missing ones, and, in a signed run,
// ones that no digest covers.
void CheckNamedFiles(Checker& c, const std::string& s, const char* key, const Value& command) {
    for (const std::string& path : stick::StickPathsIn(command.text, kMountPoint)) {
        c.Takes(path);
        if (c.paths().StateOf(path) == State::kMissing) {
            c.Warn(s, command.line, "stick-file-missing",
                   std::string(key) + " names " + Quote(path) + ", which is not on the stick");
        } else if (c.Signed()) {
            c.Warn(s, command.line, "unverified-file",
                   std::string(key) + " uses " + Quote(path) +
                       " from the stick unverified: no digest of a signed run covers it");
        }
    }
}

// The verified copy of a FlashUpdate's data file: made afresh at its own
// name in the download folder (the folder made when missing), the data copied
// into it and its digest checked.
bool CheckFlashCopy(Checker& c, const std::string& s, const Value& data, const Value& sha256) {
    Paths& paths = c.paths();
    const auto fail = [&](int code, int line, std::string_view name, const std::string& why) {
        c.Error(s, line, code, name, why);
        return false;
    };
    if (!paths.Exists(kDownloadDir) && !paths.MakeDirectory(kDownloadDir)) {
        return fail(kErrCopyToInstrument, data.line, "copy-failed",
                    std::string(kDownloadDir) +
                        " cannot be made: the data file cannot be copied "
                        "onto the instrument");
    }
    paths.Unlink(kFlashCopyPath);
    if (paths.Create(kFlashCopyPath, FileData{"", std::make_shared<const std::string>(), 0,
                                              false}) != Paths::CreateResult::kDone) {
        return fail(kErrCopyToInstrument, data.line, "copy-failed",
                    "no copy of the data file can be made at " + Quote(kFlashCopyPath));
    }
    const std::string why = !paths.Exists(data.text)
                                ? "it does not exist"
                                : WhyCopyFails(paths, data.text, kFlashCopyPath);
    if (!why.empty() || !CopyStep(paths, data.text, kFlashCopyPath)) {
        return fail(kErrCopyToInstrument, data.line, "copy-failed",
                    "DataPath1 " + Quote(data.text) + " cannot be copied onto the instrument: " +
                        (why.empty() ? "the copy cannot be written" : why));
    }
    const std::optional<FileData> copy = paths.Regular(kFlashCopyPath);
    if (!copy) {
        return true;  // the checker cannot see the file
    }
    const std::string digest = copy->Sha256();
    if (sha256.text != digest) {
        return fail(
            kErrSha256Differs, sha256.line, "digest-mismatch",
            "SHA256Hash does not match " + Quote(data.text) + " (its digest is " + digest + ")");
    }
    c.Writes(copy->size);
    return true;
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
            c.Error(s, cmd.value.line, cmd.code, "value-too-long",
                    std::string(cmd.key) + " is longer than the instrument's " +
                        std::to_string(kMspCommandSize - 1) + " characters");
            return false;
        }
    }
    for (const Command& cmd : commands) {
        if (!cmd.value.found) {
            c.Error(s, cmd.value.line, cmd.code, "key-missing", std::string("no ") + cmd.key);
            return false;
        }
    }
    for (const Command& cmd : commands) {
        CheckNamedFiles(c, s, cmd.key, cmd.value);
    }
    c.Runs("CommandJTAG", commands[0].value.text);
    c.Runs("Command1", commands[1].value.text);
    c.Runs("Command2", commands[2].value.text + " (only when Command1 fails, up to twice)");
    const Value& jtag = commands[0].value;
    if (!CheckDecidingCommand(c, s, "CommandJTAG", jtag, jtag.text, kErrMspJtagFailed)) {
        return false;
    }
    CheckIgnoredCommand(c, s, "Command1", commands[1].value, commands[1].value.text,
                        "the instrument then runs Command2");
    CheckIgnoredCommand(c, s, "Command2", commands[2].value, commands[2].value.text,
                        "the instrument goes on without reporting it");
    c.Warn(s, commands[1].value.line, "msp-failure-unreported",
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
            c.Error(s, k.value.line, kErrFlashValueTooLong, "value-too-long",
                    std::string(k.name) + " is longer than the instrument's " +
                        std::to_string(k.size - 1) + " characters");
            return false;
        }
    }
    for (const Key& k : keys) {
        if (k.absentCode != 0 && !k.value.found) {
            c.Error(s, k.value.line, k.absentCode, "key-missing", std::string("no ") + k.name);
            return false;
        }
    }
    const Value& device = keys[0].value;
    const Value& write = keys[3].value;
    const Value& data = keys[4].value;
    const Value& sha256 = keys[5].value;
    Paths& paths = c.paths();
    if (paths.OnStick(data.text)) {
        c.Takes(data.text);
    }
    c.Puts("the device " + device.text + " (Offset and EraseCommand are required, never used)");
    c.Runs("WriteCommand",
           write.text + " " + (sha256.found ? kFlashCopyPath : data.text) + " " + device.text +
               (sha256.found ? " (a checked copy of " + data.text + "; its failure stops the run)"
                             : " (its exit status is ignored)"));
    CheckNamedFiles(c, s, "WriteCommand", write);
    if (!sha256.found) {
        const State state = paths.StateOf(data.text);
        if (state == State::kMissing) {
            c.Warn(s, data.line, "flash-data-missing",
                   "DataPath1 " + Quote(data.text) +
                       " does not exist; the write command runs all the same");
        } else if (c.Signed() && paths.OnStick(data.text)) {
            c.Warn(
                s, data.line, "unverified-file",
                "a signed run writes " + Quote(data.text) + " unverified: no SHA256Hash covers it");
        }
        CheckIgnoredCommand(c, s, "WriteCommand", write,
                            write.text + " " + data.text + " " + device.text,
                            "the instrument goes on without reporting it");
        c.Warn(s, write.line, "flash-status-ignored",
               "without SHA256Hash the instrument ignores the write command's exit status");
        return true;
    }
    // With the digest the data file is copied onto the instrument and checked
    // before anything is written; the command is given the copy, which goes
    // once the section is done.
    const bool checked = CheckFlashCopy(c, s, data, sha256);
    const bool written =
        checked && CheckDecidingCommand(c, s, "WriteCommand", write,
                                        write.text + " " + kFlashCopyPath + " " + device.text,
                                        kErrFlashWriteFailed);
    paths.Unlink(kFlashCopyPath);
    return written;
}

}  // namespace upd::lint
