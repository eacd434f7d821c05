// The updater's composite file steps on the stick checker's view of the
// instrument.
#include "lint/steps.h"

#include "files/file.h"

namespace upd::lint {

namespace {

using State = Paths::State;

// Attempts at a free temporary name before a step gives up.
constexpr std::size_t kTemporaryAttempts = 8;
constexpr std::string_view kBackupTag = "backup-tmp";

// isord(): a regular file (a socket passes too, and then fails to open).
bool Ordinary(const Paths& paths, const std::string& path) {
    const State state = paths.StateOf(path);
    return state == State::kFile || state == State::kUnknown;
}

}  // namespace

std::string WhyCopyFails(const Paths& paths, const std::string& src, const std::string& dst) {
    if (SamePath(src.c_str(), dst.c_str()) || paths.SameFile(src, dst)) {
        return "it is the source itself";
    }
    if (paths.Exists(dst) && !Ordinary(paths, dst)) {
        return "it is no regular file";
    }
    if (!paths.Exists(src) || !Ordinary(paths, src)) {
        return "the source is no regular file";
    }
    const Paths::Entry target = paths.Look(dst);
    if (target.state == State::kMissing && (!target.inFolder || target.folderOnly)) {
        return "its folder does not exist";
    }
    return "";
}

bool CopyStep(Paths& paths, const std::string& src, const std::string& dst) {
    if (!WhyCopyFails(paths, src, dst).empty()) {
        return false;
    }
    const std::optional<FileData> data = paths.Regular(src);
    if (!data) {
        return true;  // the checker cannot see the source
    }
    return paths.Write(dst, *data);
}

std::vector<std::string> TemporaryNames(const Paths& paths, const std::string& path,
                                        std::string_view tag, const std::vector<std::string>& own) {
    std::vector<std::string> names;
    // Each of the section's paths is one attempt's name at most.
    const std::size_t attempts = kTemporaryAttempts + own.size();
    for (std::size_t attempt = 0; attempt < attempts && names.size() < kTemporaryAttempts;
         ++attempt) {
        std::string name = TemporaryPath(path, tag, static_cast<int>(attempt));
        bool taken = false;
        for (const std::string& mine : own) {
            taken = taken || SamePath(name.c_str(), mine.c_str()) || paths.SameEntry(name, mine);
        }
        if (!taken) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

bool KeepBackupStep(Paths& paths, const std::string& installed, const std::string& backup,
                    const std::vector<std::string>& own) {
    bool made = false;
    for (const std::string& temp : TemporaryNames(paths, backup, kBackupTag, own)) {
        paths.Unlink(temp);
        const Paths::LinkResult linked = paths.Link(installed, temp);
        if (linked == Paths::LinkResult::kTaken ||
            (linked == Paths::LinkResult::kNoLinkHere && paths.Exists(temp))) {
            continue;
        }
        if (linked == Paths::LinkResult::kFailed ||
            (linked == Paths::LinkResult::kNoLinkHere && !CopyStep(paths, installed, temp))) {
            paths.Unlink(temp);
            break;
        }
        made = ReplaceStep(paths, temp, backup);
        if (!made) {
            paths.Unlink(temp);
        }
        break;
    }
    if (made) {
        return true;
    }
    // Neither a link nor a copy: the installed file itself is moved, never
    // over an existing backup.
    return !installed.empty() && !backup.empty() && paths.Exists(installed) &&
           !paths.Exists(backup) && paths.Rename(installed, backup);
}

bool ReplaceStep(Paths& paths, const std::string& from, const std::string& to) {
    return !from.empty() && !to.empty() && paths.Exists(from) && paths.Rename(from, to);
}

bool EnsureDirectoryStep(Paths& paths, const std::string& dir) {
    return paths.Exists(dir) || paths.MakeDirectory(dir);
}

}  // namespace upd::lint
