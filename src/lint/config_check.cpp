// The checks of a ConfigUpdate section, in the order the operation makes them:
// values, required keys, the two files, the package's digest, the old backup,
// the two versions, the backup move; then what the merge would keep and drop.
#include <cstring>
#include <memory>

#include "digest/ssl.h"
#include "files/file.h"
#include "lint/checker.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"
#include "util/str.h"

namespace upd::lint {

namespace {

using State = Paths::State;

// The lines a configuration file gives the operation.
int Count(const LineList2* lines) {
    int n = 0;
    for (; lines != nullptr; lines = lines->next) {
        ++n;
    }
    return n;
}

// The lines in the file itself, counted as the line reader ends them.
int RawLineCount(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "r"), std::fclose);
    int lines = 0;
    int last = '\n';
    for (int ch; f && (ch = std::getc(f.get())) != EOF; last = ch) {
        lines += ch == '\n' ? 1 : 0;
    }
    return lines + (last != '\n' ? 1 : 0);
}

// Reading a file stops, without error, at its first line too long for the
// line reader: the lines from there on take no part in the merge.
void WarnCutShort(Checker& c, const std::string& s, int line, const std::string& path,
                  const std::string& hostPath, const LineList2Owner& lines) {
    if (RawLineCount(hostPath) > Count(lines.head())) {
        c.Warn(s, line,
               "line " + std::to_string(Count(lines.head()) + 1) + " of " + Quote(path) +
                   " is longer than " + std::to_string(kLineListLineSize - 1) +
                   " characters: the instrument reads the file only up to the line before it");
    }
}

// The merge keeps an installed line only when the package line being written
// has its keyword while the forward-only cursor stands on it; every installed
// line the cursor never passes is dropped.
void WarnDropped(Checker& c, const std::string& s, int line, const std::string& dest,
                 const LineList2Owner& package, const LineList2Owner& installed) {
    const LineList2* cursor =
        MergeConfigLines(package.head(), installed.head(), [](const LineList2*) {});
    int dropped = 0;
    for (const LineList2* l = cursor; l != nullptr; l = l->next) {
        ++dropped;
    }
    if (dropped > 0) {
        c.Warn(s, line,
               "the merge drops " + std::to_string(dropped) + " installed line(s) of " +
                   Quote(dest) + ", from " + Quote(std::string(cursor->first) + cursor->rest) +
                   " on: the installed lines are kept only in the package's order");
    }
}

struct Config {
    Value srcDir, srcFile, destDir, destFile, backupDir, backupFile, sha256;
};

bool ReadValues(Checker& c, const std::string& s, Config* k) {
    struct Named {
        const char* key;
        Value* value;
        int size;
        int absentCode;  // 0: optional
    };
    const Named named[] = {
        {"SrcDir", &k->srcDir, kConfigNameSize, kErrConfigNoSrcDir},
        {"SrcFile", &k->srcFile, kConfigNameSize, kErrConfigNoSrcFile},
        {"DestDir", &k->destDir, kConfigNameSize, kErrConfigNoDestDir},
        {"DestFile", &k->destFile, kConfigNameSize, kErrConfigNoDestFile},
        {"BackupDir", &k->backupDir, kConfigNameSize, kErrConfigNoBackupDir},
        {"BackupFile", &k->backupFile, kConfigNameSize, kErrConfigNoBackupFile},
        {"SHA256Hash", &k->sha256, kConfigDigestSize, 0},
    };
    for (const Named& n : named) {
        *n.value = c.Read(s, n.key, n.size);
        if (!n.value->fits) {
            c.Error(s, n.value->line, kErrConfigValueTooLong,
                    std::string(n.key) + " is longer than the instrument's " +
                        std::to_string(n.size - 1) + " characters");
            return false;
        }
    }
    for (const Named& n : named) {
        if (n.absentCode != 0 && !n.value->found) {
            c.Error(s, c.lines().SectionLine(s), n.absentCode, std::string("no ") + n.key);
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckConfigUpdate(Checker& c, const std::string& s) {
    Config k;
    if (!ReadValues(c, s, &k)) {
        return false;
    }
    Paths& paths = c.paths();
    const std::string source = k.srcDir.text + "/" + k.srcFile.text;
    const std::string dest = k.destDir.text + "/" + k.destFile.text;
    const std::string backup = k.backupDir.text + "/" + k.backupFile.text;
    if (paths.Look(source) == State::kMissing) {
        c.Error(s, k.srcFile.line, kErrConfigSrcMissing,
                "the package's configuration file " + Quote(source) +
                    (Paths::OnStick(source) ? " is not on the stick" : " does not exist"));
        return false;
    }
    if (paths.Look(dest) == State::kMissing) {
        c.Error(s, k.destFile.line, kErrConfigDestMissing,
                "the installed configuration file " + Quote(dest) + " does not exist");
        return false;
    }
    if (Paths::Same(backup, dest) || Paths::Same(backup, source)) {
        c.Error(s, k.backupFile.line, kErrConfigBackupDest,
                "the backup " + Quote(backup) + " is the " +
                    (Paths::Same(backup, dest) ? "installed" : "package's") +
                    " configuration file itself");
        return false;
    }
    const std::optional<std::string> sourceBytes = paths.Content(source);
    if (k.sha256.found && sourceBytes) {
        char digest[kConfigDigestSize] = {};
        if (!SHA256Hash(sourceBytes->c_str(), digest)) {
            c.Error(s, k.srcFile.line, kErrConfigReadSrc, Quote(source) + " cannot be read");
            return false;
        }
        if (k.sha256.text != digest) {
            c.Error(s, k.sha256.line, kErrTransferSha256,
                    "SHA256Hash does not match " + Quote(source) + " (its digest is " +
                        std::string(digest) + ")");
            return false;
        }
    }
    if (!k.sha256.found && c.Signed() && Paths::OnStick(source)) {
        c.Warn(s, k.srcFile.line,
               "a signed run merges " + Quote(source) + " unverified: no SHA256Hash covers it");
    }
    if (paths.Look(backup) == State::kDirectory) {
        c.Error(s, k.backupFile.line, kErrConfigRemoveBackup,
                "the old backup " + Quote(backup) + " is a directory and cannot be removed");
        return false;
    }

    LineList2Owner package;
    LineList2Owner installed;
    double packageVersion = 0.0;
    double installedVersion = 0.0;
    if (!sourceBytes) {
        return true;
    }
    if (!ReadFile2(sourceBytes->c_str(), package.out())) {
        c.Error(s, k.srcFile.line, kErrConfigReadSrc, Quote(source) + " cannot be read");
        return false;
    }
    WarnCutShort(c, s, k.srcFile.line, source, *sourceBytes, package);
    if (!GetVersion(package.head(), &packageVersion)) {
        c.Error(s, k.srcFile.line, kErrConfigSrcVersion,
                Quote(source) + " does not start with a version line (V and a non-zero number)");
        return false;
    }
    const std::optional<std::string> destBytes = paths.Content(dest);
    if (!destBytes) {
        return true;
    }
    if (!ReadFile2(destBytes->c_str(), installed.out())) {
        c.Error(s, k.destFile.line, kErrConfigReadDest, Quote(dest) + " cannot be read");
        return false;
    }
    WarnCutShort(c, s, k.destFile.line, dest, *destBytes, installed);
    if (!GetVersion(installed.head(), &installedVersion)) {
        c.Error(s, k.destFile.line, kErrConfigDestVersion,
                "the installed " + Quote(dest) +
                    " does not start with a version line (V and a non-zero number)");
        return false;
    }
    if (packageVersion <= installedVersion) {
        c.Warn(s, k.srcFile.line,
               "nothing is merged: the package's version " + std::to_string(packageVersion) +
                   " is not greater than the installed " + std::to_string(installedVersion));
        return true;
    }
    const State backupDir = paths.Look(k.backupDir.text);
    if (backupDir == State::kMissing || backupDir == State::kFile) {
        c.Error(s, k.backupDir.line, kErrConfigBackupDest,
                "BackupDir " + Quote(k.backupDir.text) +
                    " does not exist: the installed file cannot be backed up");
        return false;
    }
    WarnDropped(c, s, k.destFile.line, dest, package, installed);
    paths.Move(dest, backup);
    paths.PutFile(dest, sourceBytes);
    return true;
}

}  // namespace upd::lint
