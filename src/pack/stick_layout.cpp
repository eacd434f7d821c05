// Staging with stick::Resolve: what the mount would find at a path is where
// the entry goes, or what it collides with.
#include "pack/stick_layout.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "stick/tree.h"

namespace upd::pack {
namespace {

std::string Parent(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string Name(const std::string& relative) {
    return relative.substr(relative.rfind('/') + 1);
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool StickLayout::Begin(std::string* error) {
    if (::mkdir((root_ + "/" + kManifestFolder).c_str(), 0755) != 0) {
        *error = "cannot make " + root_ + "/" + kManifestFolder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<std::string> StickLayout::Folder(const std::string& relative) {
    if (relative.empty()) {
        return std::string();
    }
    if (const std::optional<std::string> found = stick::Resolve(root_, relative)) {
        return IsFolder(root_ + "/" + *found) ? found : std::nullopt;
    }
    const std::optional<std::string> parent = Folder(Parent(relative));
    if (!parent) {
        return std::nullopt;
    }
    // A name FAT cannot hold is never found by the mount's rules; it is
    // staged as spelt, and the check of the whole stick refuses it.
    const std::string path = Join(*parent, Name(relative));
    if (::mkdir((root_ + "/" + path).c_str(), 0755) != 0 &&
        !(errno == EEXIST && IsFolder(root_ + "/" + path))) {
        return std::nullopt;
    }
    return path;
}

bool StickLayout::Stage(const Planned& planned, Progress* progress, std::ostream& log,
                        std::string* error) {
    const std::string& relative = planned.relative;
    const bool folder = planned.source.kind == SourceEntry::Kind::kFolder;
    if (const std::optional<std::string> found = stick::Resolve(root_, relative)) {
        const bool foundFolder = IsFolder(root_ + "/" + *found);
        if (folder && foundFolder) {
            stagedAt_[relative] = *found;
            return true;
        }
        const auto origin = origin_.find(*found);
        if (!folder && !foundFolder && origin != origin_.end() &&
            origin->second == planned.source.real) {
            stagedAt_[relative] = *found;  // the same file, spelt otherwise
            return true;
        }
        const std::string source = SourceOf(*found);
        const std::string other = source.empty() ? " that update-pack writes" : " from " + source;
        log << planned.from << ": " << relative << " from " << planned.source.path
            << " would be the entry " << *found << other
            << " on the instrument's stick, where letter case does not tell names apart\n";
        return false;
    }
    const std::optional<std::string> parent = Folder(Parent(relative));
    if (!parent) {
        log << planned.from << ": " << relative << " cannot go on the stick: a file stands "
            << "where one of its folders would be\n";
        return false;
    }
    const std::string staged = Join(*parent, Name(relative));
    if (folder) {
        if (!Folder(relative)) {
            *error = "cannot make " + root_ + "/" + staged;
            return false;
        }
    } else if (!CopyWithDigests(planned.source.real, root_ + "/" + staged, progress,
                                &copied_[staged], error)) {
        return false;
    }
    stagedAt_[relative] = staged;
    origin_[staged] = planned.source.real;
    shown_[staged] = planned.source.path;
    return true;
}

std::optional<std::string> StickLayout::StagedAt(const std::string& relative) const {
    const auto it = stagedAt_.find(relative);
    return it == stagedAt_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

const CopiedFile* StickLayout::Copied(const std::string& staged) const {
    const auto it = copied_.find(staged);
    return it == copied_.end() ? nullptr : &it->second;
}

std::string StickLayout::SourceOf(const std::string& staged) const {
    const auto it = shown_.find(staged);
    return it == shown_.end() ? std::string() : it->second;
}

}  // namespace upd::pack
