// The checks of a ConfigUpdate section, in the order the operation makes them:
// values, required keys, the two files, the package's digest, the old backup,
// the two versions, the merged file, the backup and the install; then what
// the merge would keep and drop. A file that is not a regular file is never
// read: the operation refuses it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "digest/ssl.h"
#include "files/file.h"
#include "lint/checker.h"
#include "lint/steps.h"
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
int RawLineCount(const std::string& bytes) {
    const auto lines = static_cast<int>(std::count(bytes.begin(), bytes.end(), '\n'));
    return lines + (!bytes.empty() && bytes.back() != '\n' ? 1 : 0);
}

// The lines the operation reads from a file's bytes, as reading the file gives them.
bool ReadLines(const std::string& bytes, LineList2Owner* lines) {
    return ReadMemory2(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       lines->out()) != 0;
}

// The merged file as the operation writes it.
std::string Merged(const LineList2Owner& package, const LineList2Owner& installed) {
    std::string merged = std::string(package.head()->first) + "\n";
    MergeConfigLines(package.head(), installed.head(), [&merged](const LineList2* line) {
        merged += std::string(line->first) + line->rest + "\n";
    });
    return merged;
}

// The keywords the merge writes from the package's lines: those the
// installed file does not give where the merge looks for them.
std::string KeysAdded(const LineList2Owner& package, const LineList2Owner& installed) {
    std::set<const LineList2*> fromPackage;
    for (const LineList2* l = package.head(); l != nullptr; l = l->next) {
        fromPackage.insert(l);
    }
    std::string added;
    MergeConfigLines(package.head(), installed.head(), [&](const LineList2* line) {
        if (fromPackage.count(line) != 0) {
            added += (added.empty() ? "" : ", ") + std::string(line->first);
        }
    });
    return added.empty() ? "no keys added" : "keys added: " + added;
}

// Reading a file stops, without error, at its first line too long for the
// line reader: the lines from there on take no part in the merge.
void WarnCutShort(Checker& c, const std::string& s, int line, const std::string& path,
                  const std::string& bytes, const LineList2Owner& lines) {
    if (RawLineCount(bytes) > Count(lines.head())) {
        c.Warn(s, line, "config-line-too-long",
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
        c.Warn(s, line, "merge-drops-lines",
               "the merge drops " + std::to_string(dropped) + " installed line(s) of " +
                   Quote(dest) + ", from " + Quote(std::string(cursor->first) + cursor->rest) +
                   " on: the installed lines are kept only in the package's order");
    }
}

// A version line whose number, read as the decimal the instrument compares,
// is smaller than a maker reading it as "major.minor" would think: V2.10 is
// 2.1, lower than V2.9; V2.1.3 is 2.1, the rest unread.
void WarnDecimalVersion(Checker& c, const std::string& s, int line, const LineList2* first) {
    const std::string word = first->first;
    const std::size_t start = word.find_first_not_of(" \t") + 1;  // past the V
    const std::size_t dot = word.find('.', start);
    const std::string major = word.substr(start, dot - start);
    if (dot == std::string::npos || major.empty() ||
        major.find_first_not_of("0123456789") != std::string::npos) {
        return;
    }
    const std::size_t end = word.find_first_not_of("0123456789", dot + 1);
    const std::string minor = word.substr(dot + 1, end - dot - 1);
    const bool unread = end != std::string::npos && word[end] == '.' && end + 1 < word.size() &&
                        std::isdigit(static_cast<unsigned char>(word[end + 1]));
    std::string decimal = minor;
    while (!decimal.empty() && decimal.back() == '0') {
        decimal.pop_back();
    }
    decimal = major + (decimal.empty() ? "" : "." + decimal);
    std::string why;
    if (unread) {
        why = "what follows its second dot is not read";
    } else if (minor.size() >= 2 && minor[0] != '0' && minor[0] != '9') {
        why = "it is lower than V" + major + "." + static_cast<char>(minor[0] + 1);
    } else {
        return;
    }
    c.Warn(s, line, "version-reads-smaller",
           "the version line " + Quote(word) + " is the decimal number " + decimal +
               " to the instrument, which compares versions as decimal numbers: " + why);
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
            c.Error(s, n.value->line, kErrConfigValueTooLong, "value-too-long",
                    std::string(n.key) + " is longer than the instrument's " +
                        std::to_string(n.size - 1) + " characters");
            return false;
        }
    }
    for (const Named& n : named) {
        if (n.absentCode != 0 && !n.value->found) {
            c.Error(s, c.lines().SectionLine(s), n.absentCode, "key-missing",
                    std::string("no ") + n.key);
            return false;
        }
    }
    return true;
}

// The merged file under a temporary name beside the installed one; its name,
// or "" when none can be created.
std::string CreateTemporary(Paths& paths, const std::string& dest, const FileData& merged,
                            const std::vector<std::string>& own) {
    for (const std::string& temp : TemporaryNames(paths, dest, "update-tmp", own)) {
        paths.Unlink(temp);
        switch (paths.Create(temp, merged)) {
            case Paths::CreateResult::kDone:
                return temp;
            case Paths::CreateResult::kExists:
                continue;
            case Paths::CreateResult::kFailed:
                return "";
        }
    }
    return "";
}

// A file the operation reads: a regular file, its bytes read into memory;
// none when the checker cannot see it; false after reporting `code` for
// anything else.
bool ReadableFile(Checker& c, const std::string& s, int line, int code, const std::string& path,
                  std::optional<FileData>* data) {
    const Paths::Entry e = c.paths().Look(path);
    if (e.state == State::kUnknown) {
        return true;
    }
    if (e.state != State::kFile) {
        c.Error(s, line, code, "file-unreadable",
                Quote(path) +
                    (e.state == State::kDirectory ? " is a directory" : " is no regular file") +
                    ": the instrument cannot read it");
        return false;
    }
    *data = e.file;
    if (!(*data)->bytes) {
        std::ifstream in((*data)->host, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            c.Error(s, line, code, "file-unreadable", Quote(path) + " cannot be read");
            return false;
        }
        (*data)->bytes = std::make_shared<const std::string>(std::move(bytes));
    }
    return true;
}

bool Merge(Checker& c, const std::string& s, const Config& k, const std::string& source,
           const std::optional<FileData>& verified) {
    Paths& paths = c.paths();
    const std::string dest = k.destDir.text + "/" + k.destFile.text;
    const std::string backup = k.backupDir.text + "/" + k.backupFile.text;
    std::optional<FileData> sourceBytes = verified;
    if (!sourceBytes &&
        !ReadableFile(c, s, k.srcFile.line, kErrConfigReadSrc, source, &sourceBytes)) {
        return false;
    }
    if (!sourceBytes) {
        return true;
    }
    LineList2Owner package;
    LineList2Owner installed;
    double packageVersion = 0.0;
    double installedVersion = 0.0;
    if (!ReadLines(*sourceBytes->bytes, &package)) {
        c.Error(s, k.srcFile.line, kErrConfigReadSrc, "file-unreadable",
                Quote(source) + " cannot be read");
        return false;
    }
    WarnCutShort(c, s, k.srcFile.line, source, *sourceBytes->bytes, package);
    if (!GetVersion(package.head(), &packageVersion)) {
        c.Error(s, k.srcFile.line, kErrConfigSrcVersion, "version-line-missing",
                Quote(source) + " does not start with a version line (V and a non-zero number)");
        return false;
    }
    WarnDecimalVersion(c, s, k.srcFile.line, package.head());
    std::optional<FileData> destBytes;
    if (!ReadableFile(c, s, k.destFile.line, kErrConfigReadDest, dest, &destBytes)) {
        return false;
    }
    if (!destBytes) {
        return true;
    }
    if (!ReadLines(*destBytes->bytes, &installed)) {
        c.Error(s, k.destFile.line, kErrConfigReadDest, "file-unreadable",
                Quote(dest) + " cannot be read");
        return false;
    }
    WarnCutShort(c, s, k.destFile.line, dest, *destBytes->bytes, installed);
    if (!GetVersion(installed.head(), &installedVersion)) {
        c.Error(s, k.destFile.line, kErrConfigDestVersion, "version-line-missing",
                "the installed " + Quote(dest) +
                    " does not start with a version line (V and a non-zero number)");
        return false;
    }
    if (packageVersion <= installedVersion) {
        c.Outcome("not-merged");
        c.Changes("nothing merged into " + dest + ": the installed version is not lower");
        c.Warn(s, k.srcFile.line, "config-not-newer",
               "nothing is merged: the package's version " + std::to_string(packageVersion) +
                   " is not greater than the installed " + std::to_string(installedVersion));
        return true;
    }
    auto bytes = std::make_shared<const std::string>(Merged(package, installed));
    const FileData merged{"", bytes, bytes->size(), false};
    const std::vector<std::string> own = {dest, backup, source};
    const std::string temp = CreateTemporary(paths, dest, merged, own);
    if (temp.empty()) {
        c.Error(s, k.destFile.line, kErrConfigOpenDest, "temporary-file-failed",
                "no temporary file can be made beside " + Quote(dest));
        return false;
    }
    c.Writes(merged.size);
    if (!KeepBackupStep(paths, dest, backup, own)) {
        paths.Unlink(temp);
        c.Error(s, k.backupDir.line, kErrConfigBackupDest, "backup-failed",
                "the installed file cannot be kept at " + Quote(backup) +
                    ": BackupDir does not exist or cannot hold it");
        return false;
    }
    if (!ReplaceStep(paths, temp, dest)) {
        paths.Unlink(temp);
        c.Error(s, k.destFile.line, kErrConfigCloseDest, "install-failed",
                "the merged file cannot be renamed to " + Quote(dest));
        return false;
    }
    WarnDropped(c, s, k.destFile.line, dest, package, installed);
    c.Outcome("merged");
    c.Changes("merged into " + dest + " (" + KeysAdded(package, installed) +
              "), the file it replaced kept at " + backup);
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
    if (paths.OnStick(source)) {
        c.Takes(source);
    }
    c.Puts("merged into " + dest + " when its version is greater (the installed file kept at " +
           backup + ")");
    if (!paths.Exists(source)) {
        c.Error(s, k.srcFile.line, kErrConfigSrcMissing, "source-missing",
                "the package's configuration file " + Quote(source) +
                    (paths.OnStick(source) ? " is not on the stick" : " does not exist"));
        return false;
    }
    if (!paths.Exists(dest)) {
        c.Error(s, k.destFile.line, kErrConfigDestMissing, "installed-missing",
                "the installed configuration file " + Quote(dest) + " does not exist");
        return false;
    }
    if (paths.SameEntry(backup, dest) || paths.SameEntry(backup, source)) {
        c.Error(s, k.backupFile.line, kErrConfigBackupDest, "path-collision",
                "the backup " + Quote(backup) + " is the " +
                    (paths.SameEntry(backup, dest) ? "installed" : "package's") +
                    " configuration file itself");
        return false;
    }
    // With the digest the package file is read and checked before anything
    // changes, and merged from what was checked.
    std::optional<FileData> verified;
    if (k.sha256.found) {
        if (!ReadableFile(c, s, k.srcFile.line, kErrConfigReadSrc, source, &verified)) {
            return false;
        }
        if (verified) {
            const std::string digest = verified->Sha256();
            if (k.sha256.text != digest) {
                c.Error(s, k.sha256.line, kErrSha256Differs, "digest-mismatch",
                        "SHA256Hash does not match " + Quote(source) + " (its digest is " + digest +
                            ")");
                return false;
            }
        }
    }
    if (!k.sha256.found && c.Signed() && paths.OnStick(source)) {
        c.Warn(s, k.srcFile.line, "unverified-file",
               "a signed run merges " + Quote(source) + " unverified: no SHA256Hash covers it");
    }
    if (paths.Exists(backup) && !paths.Unlink(backup)) {
        c.Error(s, k.backupFile.line, kErrConfigRemoveBackup, "backup-unremovable",
                "the old backup " + Quote(backup) + " is a directory and cannot be removed");
        return false;
    }
    return Merge(c, s, k, source, verified);
}

}  // namespace upd::lint
