// Which files each operation takes, looked up in the manifest store with the
// operation's own keys, and the mapping of the mount point onto a folder.
#include "pack/stick_files.h"

#include "manifest/auxinfo.h"
#include "stick/shell_words.h"

namespace upd::pack {
namespace {

// The value of `key` in `section`, or nullopt when absent (or too long for any
// manifest line, which a loaded store never holds).
std::optional<std::string> Value(const char* section, const char* key) {
    char value[kManifestLineSize];
    bool found = false;
    if (!GetAuxInfo(section, key, value, sizeof value, &found) || !found) {
        return std::nullopt;
    }
    return std::string(value);
}

// The operations that name a file as a directory and a file name, composed
// "dir/name" as the instrument does, or as one whole path.
struct FileRule {
    std::string_view operation;
    const char* dirKey;  // null: fileKey holds the whole path
    const char* fileKey;
    bool md5;
    bool sha256;
};
constexpr FileRule kFileRules[] = {
    {"TransferFile", "SrcDir", "SrcFile", true, true},
    {"ConfigUpdate", "SrcDir", "SrcFile", false, true},
    {"FlashUpdate", nullptr, "DataPath1", false, true},
};

// The commands that the instrument hands to the shell, by operation.
struct CommandRule {
    std::string_view operation;
    const char* key;
};
constexpr CommandRule kCommandRules[] = {
    {"MSP430Update", "CommandJTAG"},
    {"MSP430Update", "Command1"},
    {"MSP430Update", "Command2"},
    {"FlashUpdate", "WriteCommand"},
};

}  // namespace

std::vector<SectionFile> FilesOfSection(const char* section) {
    std::vector<SectionFile> files;
    const std::optional<std::string> operation = Value(section, "Operation");
    if (!operation) {
        return files;
    }
    for (const FileRule& rule : kFileRules) {
        if (rule.operation != *operation) {
            continue;
        }
        const std::optional<std::string> file = Value(section, rule.fileKey);
        const std::optional<std::string> dir =
            rule.dirKey != nullptr ? Value(section, rule.dirKey) : std::string();
        // A section without its keys fails on the instrument before it opens
        // any file; it names none.
        if (file && dir) {
            const std::string path = rule.dirKey != nullptr ? *dir + "/" + *file : *file;
            files.push_back({section, rule.fileKey, path, rule.md5, rule.sha256});
        }
    }
    for (const CommandRule& rule : kCommandRules) {
        if (rule.operation != *operation) {
            continue;
        }
        const std::optional<std::string> command = Value(section, rule.key);
        if (!command) {
            continue;
        }
        for (std::string& path : stick::StickPathsIn(*command, kStickMount)) {
            files.push_back({section, rule.key, std::move(path), false, false, true, false});
        }
        const std::string mount = std::string(kStickMount) + "/";
        for (const stick::ShellWord& word : stick::SplitShellWords(*command).words) {
            if (word.expands && word.text.find(mount) != std::string::npos) {
                files.push_back({section, rule.key, word.text, false, false, true, true});
            }
        }
    }
    return files;
}

std::optional<std::string> StickRelative(std::string_view path) {
    if (!path.starts_with(kStickMount) || path.size() == kStickMount.size() ||
        path[kStickMount.size()] != '/') {
        return std::nullopt;
    }
    std::string relative;
    std::string_view rest = path.substr(kStickMount.size());
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            return std::nullopt;
        }
        relative += relative.empty() ? "" : "/";
        relative += part;
    }
    if (relative.empty()) {
        return std::nullopt;
    }
    return relative;
}

}  // namespace upd::pack
