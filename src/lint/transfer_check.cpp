// The checks of a TransferFile section, in the order the operation makes them:
// values, required keys, the time-stamp gate, the same-content gate, the
// source, the directories, the copy and its digests, the backup and the
// install, each step taken on the checker's view of the instrument.
#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "lint/checker.h"
#include "lint/steps.h"
#include "time/date.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd::lint {

namespace {

using State = Paths::State;

std::string Join(const Value& dir, const Value& file) {
    return dir.text + "/" + file.text;
}

std::string TooLong(const char* key, int size) {
    return std::string(key) + " is longer than the instrument's " + std::to_string(size - 1) +
           " characters";
}

// A switch: absent gives `absent`; false when the value is neither true nor
// false (letter case ignored).
bool Switch(const Value& v, bool absent, bool* value) {
    if (!v.found) {
        *value = absent;
        return true;
    }
    if (strcasecmp(v.text.c_str(), "true") == 0 || strcasecmp(v.text.c_str(), "false") == 0) {
        *value = strcasecmp(v.text.c_str(), "true") == 0;
        return true;
    }
    return false;
}

std::string Lower(std::string text) {
    for (char& ch : text) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return text;
}

// Why a digest text does not match the file's: uppercase, absent, or another file.
std::string DigestMismatch(const char* key, const Value& v, const std::string& actual) {
    if (!v.found) {
        return std::string("no ") + key + ": the instrument matches the copy against nothing";
    }
    if (Lower(v.text) == actual) {
        return std::string(key) + " is in uppercase; the instrument compares lowercase digits";
    }
    return std::string(key) + " does not match the file (its digest is " + actual + ")";
}

// The four paths of the operation: "dir/file" of each pair of keys.
struct SectionPaths {
    std::string src, interim, dest, backup;
};

struct Transfer {
    Value srcDir, srcFile, interimDir, interimFile, destDir, destFile, backupDir, backupFile;
    Value timeStamp, md5, sha256;
    bool destNoExist = false, timeStampCheck = true, noUpdateSame = false;
};

// Reads every value as the operation does; false after reporting 605.
bool ReadValues(Checker& c, const std::string& s, Transfer* t) {
    struct Named {
        const char* key;
        Value* value;
        int size;
    };
    const Named named[] = {
        {"SrcDir", &t->srcDir, kTransferNameSize},
        {"SrcFile", &t->srcFile, kTransferNameSize},
        {"InterimDir", &t->interimDir, kTransferNameSize},
        {"InterimFile", &t->interimFile, kTransferNameSize},
        {"DestDir", &t->destDir, kTransferNameSize},
        {"DestFile", &t->destFile, kTransferNameSize},
        {"BackupDir", &t->backupDir, kTransferNameSize},
        {"BackupFile", &t->backupFile, kTransferNameSize},
        {"TimeStamp", &t->timeStamp, kTransferStampSize},
        {"MD5Hash", &t->md5, kTransferDigestSize},
        {"SHA256Hash", &t->sha256, kTransferDigestSize},
    };
    for (const Named& n : named) {
        *n.value = c.Read(s, n.key, n.size);
        if (!n.value->fits) {
            c.Error(s, n.value->line, kErrTransferBadValue, "value-too-long",
                    TooLong(n.key, n.size));
            return false;
        }
    }
    struct Flag {
        const char* key;
        bool absent;
        bool* value;
    };
    const Flag flags[] = {
        {"DestNoExist", false, &t->destNoExist},
        {"TimeStampCheck", true, &t->timeStampCheck},
        {"NoUpdateSame", false, &t->noUpdateSame},
    };
    for (const Flag& f : flags) {
        const Value v = c.Read(s, f.key, kTransferSwitchSize);
        if (!v.fits || !Switch(v, f.absent, f.value)) {
            c.Error(s, v.line, kErrTransferBadValue, "switch-invalid",
                    !v.fits ? TooLong(f.key, kTransferSwitchSize)
                            : std::string(f.key) + " is " + Quote(v.text) +
                                  "; the instrument takes only true or false");
            return false;
        }
    }
    return true;
}

bool CheckRequired(Checker& c, const std::string& s, const Transfer& t) {
    struct Required {
        const char* key;
        const Value& value;
        int code;
    };
    const Required required[] = {
        {"SrcDir", t.srcDir, kErrTransferNoSrcDir},
        {"SrcFile", t.srcFile, kErrTransferNoSrcFile},
        {"InterimDir", t.interimDir, kErrTransferNoInterimDir},
        {"InterimFile", t.interimFile, kErrTransferNoInterimFile},
        {"DestDir", t.destDir, kErrTransferNoDestDir},
        {"DestFile", t.destFile, kErrTransferNoDestFile},
        {"BackupDir", t.backupDir, kErrTransferNoBackupDir},
        {"BackupFile", t.backupFile, kErrTransferNoBackupFile},
    };
    for (const Required& r : required) {
        if (!r.value.found) {
            c.Error(s, c.lines().SectionLine(s), r.code, "key-missing", std::string("no ") + r.key);
            return false;
        }
    }
    return true;
}

enum class Gate { kInstall, kSkip, kFailed };

// The time-stamp gate: a file not newer than -t is not installed, and from then
// on no gated file is.
Gate TimeStampGate(Checker& c, const std::string& s, const Transfer& t) {
    if (!t.timeStamp.found || !t.timeStampCheck) {
        return Gate::kInstall;
    }
    if (c.ComparesTimeStamps()) {
        const std::string& given = *c.options().timeStamp;
        std::int64_t installed = 0;
        std::int64_t package = 0;
        if (!ConvertTimeStamp(given.c_str(), &installed)) {
            c.Error(s, t.timeStamp.line, kErrTransferTimeStamp, "time-stamp-invalid",
                    "the -t time stamp " + Quote(given) + " cannot be converted");
            return Gate::kFailed;
        }
        if (!ConvertTimeStamp(t.timeStamp.text.c_str(), &package)) {
            c.Error(s, t.timeStamp.line, kErrTransferTimeStamp, "time-stamp-invalid",
                    "TimeStamp " + Quote(t.timeStamp.text) + " cannot be converted");
            return Gate::kFailed;
        }
        if (package <= installed) {
            c.flags |= package == installed ? UPD_SAME : UPD_OLDER;
            c.Warn(s, t.timeStamp.line, "time-stamp-not-newer",
                   "not installed: TimeStamp " + Quote(t.timeStamp.text) +
                       (package == installed ? " is the same as" : " is older than") +
                       " the installed firmware's; no later file with a TimeStamp is installed "
                       "either");
            return Gate::kSkip;
        }
    }
    if (c.flags & (UPD_SAME | UPD_OLDER)) {
        c.Warn(s, t.timeStamp.line, "time-stamp-gated",
               "not installed: an earlier file was not newer than the installed firmware, so no "
               "file with a TimeStamp is installed for the rest of the run");
        return Gate::kSkip;
    }
    return Gate::kInstall;
}

// A directory the operation creates when missing (one level).
bool CheckMakeDirectory(Checker& c, const std::string& s, const Value& dir) {
    const bool missing = c.paths().StateOf(dir.text) == State::kMissing;
    if (EnsureDirectoryStep(c.paths(), dir.text)) {
        if (missing) {
            c.Changes("created the folder " + dir.text);
        }
        return true;
    }
    c.Error(s, dir.line, kErrMakeDirectory, "directory-uncreatable",
            Quote(dir.text) + " cannot be created: its parent directory does not exist");
    return false;
}

// The interim copy and its two digests.
bool CheckCopy(Checker& c, const std::string& s, const Transfer& t, const SectionPaths& p) {
    Paths& paths = c.paths();
    if (paths.SameEntry(p.interim, p.dest) || paths.SameEntry(p.interim, p.backup)) {
        c.Error(s, t.interimFile.line, kErrTransferCopy, "path-collision",
                "the interim copy " + Quote(p.interim) + " would be made on the " +
                    (paths.SameEntry(p.interim, p.dest) ? "installed file" : "backup"));
        return false;
    }
    if (paths.Exists(p.dest) && paths.SameEntry(p.dest, p.backup)) {
        c.Error(s, t.backupFile.line, kErrTransferBackupDest, "path-collision",
                "the backup " + Quote(p.backup) + " is the installed file itself");
        return false;
    }
    const std::string why = WhyCopyFails(paths, p.src, p.interim);
    if (!why.empty() || !CopyStep(paths, p.src, p.interim)) {
        c.Error(s, t.interimFile.line, kErrTransferCopy, "copy-failed",
                "the source cannot be copied to the interim path " + Quote(p.interim) + ": " +
                    (why.empty() ? "it cannot be created" : why));
        return false;
    }
    const std::optional<FileData> copy = paths.Regular(p.interim);
    if (!copy) {
        return true;  // the checker cannot see the file
    }
    const std::string md5 = copy->Md5();
    if (!t.md5.found || t.md5.text != md5) {
        c.Error(s, t.md5.line, kErrTransferMd5, "digest-mismatch",
                DigestMismatch("MD5Hash", t.md5, md5));
        return false;
    }
    const std::string sha256 = copy->Sha256();
    if (!t.sha256.found || t.sha256.text != sha256) {
        c.Error(s, t.sha256.line, kErrTransferSha256, "digest-mismatch",
                DigestMismatch("SHA256Hash", t.sha256, sha256));
        return false;
    }
    c.Writes(copy->size);
    return true;
}

// The mode, the old backup, the new backup and the install.
bool CheckInstall(Checker& c, const std::string& s, const Transfer& t, const SectionPaths& p) {
    Paths& paths = c.paths();
    paths.SetExecutable(p.interim);
    if (paths.Exists(p.backup) && !paths.Unlink(p.backup)) {
        c.Error(s, t.backupFile.line, kErrTransferRemoveBackup, "backup-unremovable",
                "the old backup " + Quote(p.backup) + " cannot be removed: it is a directory");
        return false;
    }
    if (!(t.destNoExist && !paths.Exists(p.dest)) &&
        !KeepBackupStep(paths, p.dest, p.backup, {p.dest, p.backup, p.interim, p.src})) {
        if (!paths.Exists(p.dest)) {
            c.Error(s, t.destFile.line, kErrTransferBackupDest, "installed-missing",
                    "the installed file " + Quote(p.dest) +
                        " does not exist and DestNoExist is not true");
        } else {
            c.Error(s, t.backupDir.line, kErrTransferBackupDest, "backup-failed",
                    "the installed file cannot be kept at " + Quote(p.backup) +
                        ": BackupDir does not exist (a BackupFiles section earlier in the run can "
                        "make it) or cannot hold it");
        }
        return false;
    }
    if (!ReplaceStep(paths, p.interim, p.dest)) {
        const bool apart = paths.OnStick(p.interim) != paths.OnStick(p.dest);
        c.Error(s, apart ? t.interimDir.line : t.destFile.line, kErrTransferInstall,
                "install-failed",
                apart ? "the interim copy and the installed file lie on different file systems"
                      : "the interim copy cannot be renamed to " + Quote(p.dest) +
                            ": its folder does not exist or a directory stands there");
        return false;
    }
    paths.SetExecutable(p.dest);
    return true;
}

}  // namespace

bool CheckTransferFile(Checker& c, const std::string& s) {
    Transfer t;
    if (!ReadValues(c, s, &t) || !CheckRequired(c, s, t)) {
        return false;
    }
    Paths& paths = c.paths();
    const SectionPaths p{Join(t.srcDir, t.srcFile), Join(t.interimDir, t.interimFile),
                         Join(t.destDir, t.destFile), Join(t.backupDir, t.backupFile)};
    if (paths.OnStick(p.src)) {
        c.Takes(p.src);
    }
    c.Puts(p.dest + " (copied first to " + p.interim + "; the file it replaces kept at " +
           p.backup + (t.destNoExist ? "; installed also where none is" : "") +
           (t.noUpdateSame ? "; not when the installed file is the same" : "") +
           (t.timeStamp.found && t.timeStampCheck
                ? "; only when its TimeStamp " + t.timeStamp.text +
                      " is newer than the installed firmware's (-t)"
                : "") +
           ")");
    const Gate gate = TimeStampGate(c, s, t);
    if (gate != Gate::kInstall) {
        if (gate == Gate::kSkip) {
            c.Outcome("gated");
            c.Changes("nothing: gated by the time stamp");
        }
        return gate == Gate::kSkip;
    }
    // Only a regular file can be the same as the package's: anything else is
    // never opened, and the install goes on.
    if (t.noUpdateSame && paths.Exists(p.dest)) {
        const std::optional<FileData> installed = paths.Regular(p.dest);
        const std::string md5 = installed ? installed->Md5() : "";
        if (!md5.empty() && md5 == t.md5.text) {
            c.Outcome("skipped-same");
            c.Changes("nothing: " + p.dest + " already holds this file");
            return true;
        }
    }
    if (!paths.Exists(p.src)) {
        c.Error(s, t.srcFile.line, kErrTransferSrcMissing, "source-missing",
                "the source file " + Quote(p.src) +
                    (paths.OnStick(p.src) ? " is not on the stick" : " does not exist"));
        return false;
    }
    const bool replaces = paths.Exists(p.dest);
    if (!(CheckMakeDirectory(c, s, t.interimDir) && CheckMakeDirectory(c, s, t.destDir) &&
          CheckCopy(c, s, t, p) && CheckInstall(c, s, t, p))) {
        return false;
    }
    if (c.KnowsInstrument()) {
        c.Outcome("installed");
        c.Changes("installed " + p.dest +
                  (replaces ? ", the file it replaced kept at " + p.backup : " (new)"));
    }
    return true;
}

}  // namespace upd::lint
