// The whole-run fuzz target's model of a run: a replay of the run list by the
// operations' rules on the tree as laid out, to say what a run reported as
// complete must have left and which shell commands it must have made.
#pragma once

#include <strings.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "digest/ssl.h"
#include "files/file.h"
#include "fuzz_support.h"
#include "manifest/auxinfo.h"
#include "run_tree.h"
#include "time/date.h"
#include "update/codes.h"
#include "update/update.h"

namespace upd::fuzz {

// A manifest value, read with a buffer larger than any the updater uses: the
// updater refuses what its own buffers cannot hold, which no complete run did.
inline bool Value(const char* section, const char* key, std::string* out) {
    static char buf[8192];
    bool found = false;
    FUZZ_CHECK(GetAuxInfo(section, key, buf, sizeof buf, &found));
    *out = found ? buf : "";
    return found;
}

// The path "DIR/FILE" of a section's two keys; false when either is absent.
inline bool PathValue(const char* section, const char* dirKey, const char* fileKey,
                      std::string* out) {
    std::string dir, file;
    if (!Value(section, dirKey, &dir) || !Value(section, fileKey, &file)) {
        return false;
    }
    *out = dir + "/" + file;
    return true;
}

inline std::string Md5Hex(const std::string& bytes) {
    md5_state_s state;
    md5_init(&state);
    md5_append(&state, reinterpret_cast<const std::uint8_t*>(bytes.data()),
               static_cast<int>(bytes.size()));
    std::uint8_t d[16];
    md5_finish(&state, d);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : d) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

inline std::string Sha256Hex(const std::string& bytes) {
    char out[80] = {};
    FUZZ_CHECK(
        SHA256HashBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out));
    return out;
}

// The splash program's command line for a display message.
inline std::string Splash(const std::string& message) {
    return std::string(kSplashProgram) + " " + kSplashImage + " \"" + message + "\" " +
           kSplashPlatform;
}

// The configuration merge's output, as ConfigUpdate writes it: the package's
// version line cut to its key part, then the lines the merge rule takes.
// Empty with *newer false when the package is not of a newer version; false
// when either file has no version.
inline bool MergedConfig(const std::string& package, const std::string& installed, bool* newer,
                         std::string* merged) {
    LineList2Owner p;
    LineList2Owner i;
    FUZZ_CHECK(ReadMemory2(reinterpret_cast<const unsigned char*>(package.data()), package.size(),
                           p.out()));
    FUZZ_CHECK(ReadMemory2(reinterpret_cast<const unsigned char*>(installed.data()),
                           installed.size(), i.out()));
    double pv = 0;
    double iv = 0;
    if (!GetVersion(p.head(), &pv) || !GetVersion(i.head(), &iv)) {
        return false;
    }
    *newer = pv > iv;
    merged->clear();
    if (*newer) {
        *merged = std::string(p.head()->first) + "\n";
        MergeConfigLines(p.head(), i.head(), [merged](const LineList2* line) {
            *merged += std::string(line->first) + line->rest + "\n";
        });
    }
    return true;
}

// One shell command the run made, and the status it was given.
struct Call {
    std::string command;
    int status;
};

// Replays the run list on a snapshot taken before the run. `Follow()` is
// false when a path is outside what the model follows; `MustFail()` when the
// operations' rules say the run cannot complete.
class Replay {
  public:
    // The stick's device path, and where it goes when the stick is pulled.
    static constexpr char kStick[] = "/dev/stick";
    static constexpr char kPulledStick[] = "/dev/stick-pulled";

    Replay(const Tree& tree, uint32_t flags, std::string timeStamp, const std::vector<Call>& calls)
        : tree_(tree), flags_(flags), timeStamp_(std::move(timeStamp)), calls_(calls) {}

    // The run from the first message to the end, for a run that returned 0.
    void Run(const Section* list) {
        Expect(Splash("Updating firmware..."));
        for (const Section* s = list; s != nullptr && ok(); s = s->next) {
            Operation(s->name);
        }
        if (!ok()) {
            return;
        }
        // The stick is pulled at the first sleep.
        if (tree_.IsDir(kStick) || tree_.IsDir(kPulledStick)) {
            return GiveUp();
        }
        if (tree_.IsFile(kStick)) {
            Rename(kStick, kPulledStick);
        }
        Expect(Splash("Please remove USB device."));
        if (reboot_) {
            Expect(Splash("Rebooting..."));
            Expect(kRebootCommand);
        } else {
            if (tree_.IsDir(kMainApplicationBackup)) {
                return GiveUp();
            }
            if (!tree_.Exists(kMainApplication) && tree_.Exists(kMainApplicationBackup)) {
                Rename(kMainApplicationBackup, kMainApplication);
            }
            if (tree_.Exists(kMainApplication)) {
                Expect(std::string(kMainApplication) + " &");
            }
        }
        if (ok() && next_call_ != calls_.size()) {
            Diverge("the run made more shell commands than its sections ask for");
        }
    }

    bool ok() const { return follow_ && !must_fail_; }
    bool Follow() const { return follow_; }
    bool MustFail() const { return must_fail_; }
    const std::string& why() const { return why_; }
    const Tree& tree() const { return tree_; }
    // What the merges replayed wrote.
    const std::set<std::string>& merges() const { return merges_; }

  private:
    void GiveUp() { follow_ = false; }
    void Fail(const std::string& why) {
        if (!must_fail_) {
            why_ = why;
        }
        must_fail_ = true;
    }
    void Diverge(const std::string& why) { Fail(why); }

    // The normalized path of a section's two keys; gives up when the model
    // cannot follow it.
    bool Follow(const char* section, const char* dirKey, const char* fileKey, std::string* out) {
        std::string raw;
        PathValue(section, dirKey, fileKey, &raw);
        const std::optional<std::string> path = Normalized(raw);
        if (!path || InMount(*path)) {
            GiveUp();
            return false;
        }
        *out = *path;
        return true;
    }

    bool MakeDir(const std::string& raw) {
        const std::optional<std::string> normal = Normalized(raw, /*folder=*/true);
        if (!normal || InMount(*normal)) {
            GiveUp();
            return false;
        }
        const std::string& dir = *normal;
        if (tree_.Exists(dir)) {
            return true;
        }
        if (!tree_.ParentIsDir(dir)) {
            Fail("mkdir " + dir + " has no parent folder");
            return false;
        }
        tree_.dirs.insert(dir);
        return true;
    }

    // The shell command the run must make next; its status.
    int Expect(const std::string& command) {
        if (next_call_ >= calls_.size()) {
            Diverge("missing shell command: " + command);
            return -1;
        }
        const Call& call = calls_[next_call_++];
        if (call.command != command) {
            Diverge("shell command \"" + call.command + "\", expected \"" + command + "\"");
        }
        return call.status;
    }

    void Notice(int code) {
        if (!tree_.Exists(kDownloadDir) && tree_.ParentIsDir(kDownloadDir)) {
            tree_.dirs.insert(kDownloadDir);
        }
        const std::string log = Tree::Parent(kErrorFilePath);
        if (tree_.IsDir(log) && !tree_.IsDir(kErrorFilePath)) {
            Write(kErrorFilePath, "1902 " + std::to_string(code) + "\n", kNewFileMode);
        }
        Expect(Splash("Error updating firmware: " + std::to_string(code)));
    }

    void Write(const std::string& path, const std::string& bytes, mode_t mode) {
        tree_.files[path] = {bytes, mode, bytes.size()};
    }

    bool Rename(const std::string& from, const std::string& to) {
        if (!tree_.IsFile(from) || tree_.IsDir(to) || !tree_.ParentIsDir(to)) {
            Fail("cannot rename " + from + " to " + to);
            return false;
        }
        FileState f = tree_.files[from];
        tree_.files.erase(from);
        tree_.files[to] = f;
        return true;
    }

    void Operation(const char* section) {
        std::string op;
        if (!Value(section, "Operation", &op)) {
            return;
        }
        if (op == "TransferFile") {
            Transfer(section);
            if (ok() && (same_ || older_)) {
                Notice(same_ ? kNoticeSame : kNoticeOlder);
            }
        } else if (op == "ConfigUpdate") {
            Config(section);
        } else if (op == "BackupFiles") {
            for (const char* key : {"DestDir", "DestDir1", "DestDir2"}) {
                std::string dir;
                if (Value(section, key, &dir) && !MakeDir(dir)) {
                    return;
                }
            }
        } else if (op == "RemoveFiles") {
            Remove(section);
        } else if (op == "MSP430Update") {
            Msp430(section);
        } else if (op == "FlashUpdate") {
            Flash(section);
        } else if (op == "Reboot") {
            reboot_ = true;
        }
    }

    static bool Switch(const char* section, const char* key, bool absent) {
        std::string v;
        return Value(section, key, &v) ? strcasecmp(v.c_str(), "true") == 0 : absent;
    }

    void Transfer(const char* section) {
        std::string interimDir, destDir, stamp, md5, sha;
        Value(section, "InterimDir", &interimDir);
        Value(section, "DestDir", &destDir);
        const bool hasStamp = Value(section, "TimeStamp", &stamp);
        Value(section, "MD5Hash", &md5);
        Value(section, "SHA256Hash", &sha);
        const bool destNoExist = Switch(section, "DestNoExist", false);
        const bool stampCheck = Switch(section, "TimeStampCheck", true);
        const bool noUpdateSame = Switch(section, "NoUpdateSame", false);

        if (hasStamp && stampCheck) {
            if ((flags_ & (UPD_TIMESTAMP | UPD_FORCE)) == UPD_TIMESTAMP) {
                std::int64_t installed = 0;
                std::int64_t package = 0;
                if (!ConvertTimeStamp(timeStamp_.c_str(), &installed) ||
                    !ConvertTimeStamp(stamp.c_str(), &package)) {
                    return Fail("a time stamp cannot be read");
                }
                same_ = same_ || package == installed;
                older_ = older_ || (package < installed && package != installed);
            }
            if (same_ || older_) {
                return;
            }
        }
        std::string src, interim, dest, backup;
        if (!Follow(section, "SrcDir", "SrcFile", &src) ||
            !Follow(section, "InterimDir", "InterimFile", &interim) ||
            !Follow(section, "DestDir", "DestFile", &dest) ||
            !Follow(section, "BackupDir", "BackupFile", &backup)) {
            return;
        }
        if (noUpdateSame && tree_.IsFile(dest) && Md5Hex(tree_.files[dest].content) == md5) {
            return;
        }
        if (!tree_.IsFile(src)) {
            return Fail("no package file " + src);
        }
        if (!MakeDir(interimDir) || !MakeDir(destDir)) {
            return;
        }
        if (tree_.IsDir(interim) || !tree_.ParentIsDir(interim)) {
            return Fail("no interim copy can be made at " + interim);
        }
        const std::string bytes = tree_.files[src].content;
        if (Md5Hex(bytes) != md5 || Sha256Hex(bytes) != sha) {
            return Fail("the package file's digests differ");
        }
        Write(interim, bytes, 0755);
        if (tree_.IsDir(backup)) {
            return Fail("the old backup is a folder");
        }
        tree_.files.erase(backup);
        if (tree_.IsDir(dest)) {
            return GiveUp();  // moved aside as the backup, with all it holds
        }
        if (!(destNoExist && !tree_.Exists(dest))) {
            if (!tree_.IsFile(dest) || !tree_.ParentIsDir(backup)) {
                return Fail("no backup of " + dest + " can be made");
            }
            tree_.files[backup] = tree_.files[dest];
        }
        if (Rename(interim, dest)) {
            tree_.files[dest].mode = 0755;
        }
    }

    void Config(const char* section) {
        std::string sha, src, dest, backup;
        const bool hasSha = Value(section, "SHA256Hash", &sha);
        if (!Follow(section, "SrcDir", "SrcFile", &src) ||
            !Follow(section, "DestDir", "DestFile", &dest) ||
            !Follow(section, "BackupDir", "BackupFile", &backup)) {
            return;
        }
        if (!tree_.IsFile(src) || !tree_.IsFile(dest)) {
            return Fail("a configuration file is missing or a folder");
        }
        const std::string package = tree_.files[src].content;
        if (hasSha && Sha256Hex(package) != sha) {
            return Fail("the configuration file's digest differs");
        }
        if (tree_.IsDir(backup)) {
            return Fail("the old configuration backup is a folder");
        }
        tree_.files.erase(backup);
        if (!tree_.IsFile(dest) || (!hasSha && !tree_.IsFile(src))) {
            return Fail("a configuration file was its own old backup");
        }
        bool newer = false;
        std::string merged;
        if (!MergedConfig(package, tree_.files[dest].content, &newer, &merged)) {
            return Fail("a configuration file has no version");
        }
        if (!newer) {
            return;
        }
        if (!tree_.ParentIsDir(backup)) {
            return Fail("no configuration backup can be made");
        }
        merges_.insert(merged);
        tree_.files[backup] = tree_.files[dest];
        // The merged file is a new file: its mode is the process's default.
        Write(dest, merged, kNewFileMode);
    }

    void Remove(const char* section) {
        for (int n = 1;; ++n) {
            std::string path;
            if (!Value(section, ("file" + std::to_string(n)).c_str(), &path)) {
                return;
            }
            const std::optional<std::string> normal = Normalized(path);
            if (!normal || InMount(*normal)) {
                return GiveUp();
            }
            if (tree_.IsDir(*normal)) {
                return Fail("a listed path is a folder");
            }
            tree_.files.erase(*normal);
        }
    }

    static bool Succeeded(int status) {
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    void Msp430(const char* section) {
        std::string jtag, first, second;
        Value(section, "CommandJTAG", &jtag);
        Value(section, "Command1", &first);
        Value(section, "Command2", &second);
        if (!Succeeded(Expect(jtag))) {
            return Fail("the JTAG command failed");
        }
        if (!Succeeded(Expect(first)) && !Succeeded(Expect(second))) {
            Expect(second);
        }
    }

    void Flash(const char* section) {
        std::string device, write, data, sha;
        Value(section, "Device", &device);
        Value(section, "WriteCommand", &write);
        Value(section, "DataPath1", &data);
        if (!Value(section, "SHA256Hash", &sha)) {
            Expect(write + " " + data + " " + device);
            return;
        }
        const std::optional<std::string> file = Normalized(data);
        if (!file || InMount(*file)) {
            return GiveUp();
        }
        if (!tree_.IsFile(*file) || !MakeDir(kDownloadDir)) {
            return Fail("the flash data cannot be copied");
        }
        if (Sha256Hex(tree_.files[*file].content) != sha) {
            return Fail("the flash data's digest differs");
        }
        if (Expect(write + " " + kFlashCopyPath + " " + device) != 0) {
            Fail("the flash write command failed");
        }
    }

    // Mode of the files the run creates, under the harness's umask 022.
    static constexpr mode_t kNewFileMode = 0644;

    Tree tree_;
    uint32_t flags_;
    std::string timeStamp_;
    const std::vector<Call>& calls_;
    size_t next_call_ = 0;
    bool follow_ = true;
    bool must_fail_ = false;
    bool same_ = false;
    bool older_ = false;
    bool reboot_ = false;
    std::string why_;
    std::set<std::string> merges_;
};

}  // namespace upd::fuzz
