// The shared state of a stick check: reading values as the operations do, and
// gathering findings in the order the instrument would meet them.
#include "lint/checker.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "digest/fingerprint.h"
#include "update/update.h"

#include "manifest/auxinfo.h"

namespace upd::lint {

Checker::Checker(const Options& options)
    : options_(options), paths_(options.stick, options.instrumentRoot) {}

Value Checker::Read(std::string_view section, const char* key, int size) const {
    const std::string name(section);
    std::string buffer(static_cast<std::size_t>(size), '\0');
    Value v;
    v.fits = GetAuxInfo(name.c_str(), key, buffer.data(), size, &v.found) != 0;
    if (v.found && v.fits) {
        v.text = buffer.c_str();
    }
    v.line = lines_.KeyLine(section, key);
    return v;
}

void Checker::Error(std::string_view section, int line, int code, std::string_view name,
                    std::string message) {
    if (stopCode_ == 0) {
        stopCode_ = code;
    } else {
        message += " (the run would already have stopped with " + std::to_string(stopCode_) + ")";
    }
    if (code != 0 && !account_.run.empty()) {
        Step& step = account_.run.back();
        if (step.outcome != "after-stop" && step.outcome != "fails") {
            step.outcome = "fails";
            step.code = code;
        }
    } else if (code == 0 && !account_.run.empty()) {
        Outcome("passed-over");
    }
    findings_.push_back(Finding{Severity::kError, std::string(section), line, std::move(message),
                                code, std::string(name)});
}

void Checker::Warn(std::string_view section, int line, std::string_view name, std::string message,
                   int code) {
    findings_.push_back(Finding{Severity::kWarning, std::string(section), line, std::move(message),
                                code, std::string(name)});
}

void Checker::StickError(std::string message) {
    findings_.push_back(
        Finding{Severity::kError, "", 0, std::move(message), 0, "stick-entry-unfit"});
}

void Checker::Assume(Unknowable what, std::string_view section, int line, int code,
                     std::string message) {
    if (stopCode_ == 0) {
        assumptions_.push_back(
            Assumption{what, std::string(section), line, code, std::move(message)});
    }
}

void Checker::BeginStep(std::string_view section, int line, std::string_view operation) {
    Step step{std::string(section), line, std::string(operation)};
    if (Stopped()) {
        step.outcome = "after-stop";
        step.code = stopCode_;
    }
    account_.run.push_back(std::move(step));
}

void Checker::Takes(const std::string& path) {
    if (account_.run.empty()) {
        return;
    }
    const Paths::Entry e = paths_.Look(path);
    Taken taken{path};
    if (e.file) {
        taken.size = e.file->size;
        taken.md5 = e.file->Md5();
        taken.sha256 = e.file->Sha256();
        used_.push_back(e.file->host);
    } else if (e.host) {
        used_.push_back(*e.host);
    }
    std::vector<Taken>& takes = account_.run.back().takes;
    if (std::none_of(takes.begin(), takes.end(), [&](const Taken& t) { return t.path == path; })) {
        takes.push_back(std::move(taken));
    }
}

void Checker::Puts(std::string what) {
    if (!account_.run.empty()) {
        account_.run.back().puts.push_back(std::move(what));
    }
}

void Checker::Runs(std::string_view key, std::string command) {
    if (!account_.run.empty()) {
        account_.run.back().commands.push_back(std::string(key) + ": " + command);
    }
}

void Checker::Changes(std::string what) {
    if (!account_.run.empty() && KnowsInstrument()) {
        account_.run.back().changes.push_back(std::move(what));
    }
}

void Checker::Outcome(std::string_view outcome) {
    if (account_.run.empty()) {
        return;
    }
    Step& step = account_.run.back();
    if (step.outcome != "after-stop" && step.outcome != "fails") {
        step.outcome = outcome;
    }
}

// The stick's entries that the run never takes: every file below its root
// but the manifest, its signature and what the sections use (a folder a
// command names covers what it holds).
std::vector<std::string> Checker::Unused() const {
    namespace fs = std::filesystem;
    std::vector<std::string> used = used_;
    for (const char* own : {kManifestPath, kSignaturePath}) {
        if (const std::optional<FileData> file = paths_.Regular(own)) {
            used.push_back(file->host);
        }
    }
    for (std::string& path : used) {
        path = fs::path(path).lexically_normal().string();
    }
    std::vector<std::string> unused;
    std::error_code ec;
    const fs::path root = fs::path(options_.stick).lexically_normal();
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec)) {
            continue;
        }
        const std::string path = it->path().lexically_normal().string();
        const bool taken = std::any_of(used.begin(), used.end(), [&](const std::string& u) {
            return path == u || (path.size() > u.size() && path.compare(0, u.size(), u) == 0 &&
                                 path[u.size()] == '/');
        });
        if (!taken) {
            unused.push_back(it->path().lexically_relative(root).string());
        }
    }
    std::sort(unused.begin(), unused.end());
    return unused;
}

Report Checker::TakeReport() {
    account_.signedRun = Signed();
    account_.key = options_.publicKey;
    account_.fingerprint = Signed() ? PublicKeyFingerprint(options_.publicKey) : "";
    account_.instrument = KnowsInstrument();
    for (Step& step : account_.run) {
        if (step.outcome.empty()) {
            step.outcome = "runs";
        }
    }
    account_.unused = Unused();
    if (written_ > 0) {
        assumptions_.push_back(Assumption{Unknowable::kDiskSpace, "", 0, 0,
                                          "the instrument has room for the " +
                                              std::to_string(written_) +
                                              " bytes the run writes (copies, merged files)"});
    }
    return Report{std::move(findings_), std::move(assumptions_), std::move(account_)};
}

const std::vector<std::string_view>& KeysRead(std::string_view operation) {
    static const std::vector<std::string_view> kNone;
    static const std::vector<std::pair<std::string_view, std::vector<std::string_view>>> kKeys = {
        {"TransferFile",
         {"Operation", "SrcDir", "SrcFile", "InterimDir", "InterimFile", "DestDir", "DestFile",
          "BackupDir", "BackupFile", "TimeStamp", "MD5Hash", "SHA256Hash", "DestNoExist",
          "TimeStampCheck", "NoUpdateSame"}},
        {"ConfigUpdate",
         {"Operation", "SrcDir", "SrcFile", "DestDir", "DestFile", "BackupDir", "BackupFile",
          "SHA256Hash"}},
        {"BackupFiles", {"Operation", "DestDir", "SrcDir1", "DestDir1", "SrcDir2", "DestDir2"}},
        {"MSP430Update", {"Operation", "CommandJTAG", "Command1", "Command2"}},
        {"FlashUpdate",
         {"Operation", "Device", "Offset", "EraseCommand", "WriteCommand", "DataPath1",
          "SHA256Hash"}},
        {"RemoveFiles", {"Operation"}},
        {"Reboot", {"Operation"}},
    };
    for (const auto& [name, keys] : kKeys) {
        if (name == operation) {
            return keys;
        }
    }
    return kNone;
}

int FileNumber(std::string_view key) {
    if (key.size() < 5 || key.size() > 9 || key.substr(0, 4) != "file" || key[4] == '0' ||
        key.find_first_not_of("0123456789", 4) != std::string_view::npos) {
        return 0;
    }
    return std::stoi(std::string(key.substr(4)));
}

std::string Quote(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

bool DiffersOnlyInCase(std::string_view text, std::string_view expected) {
    return text != expected && text.size() == expected.size() &&
           strncasecmp(text.data(), expected.data(), text.size()) == 0;
}

}  // namespace upd::lint
