// The shared state of a stick check: reading values as the operations do, and
// gathering findings in the order the instrument would meet them.
#include "lint/checker.h"

#include <strings.h>

#include <utility>

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

Report Checker::TakeReport() {
    if (written_ > 0) {
        assumptions_.push_back(Assumption{Unknowable::kDiskSpace, "", 0, 0,
                                          "the instrument has room for the " +
                                              std::to_string(written_) +
                                              " bytes the run writes (copies, merged files)"});
    }
    return Report{std::move(findings_), std::move(assumptions_)};
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
