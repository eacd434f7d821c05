// Finding each named stick path among the source entries, and refusing the
// ones no stick can take, with the name of the entry and the reason.
#include "pack/plan.h"

#include <filesystem>

#include "stick/fat_name.h"
#include "update/update.h"

namespace upd::pack {
namespace {

namespace fs = std::filesystem;

std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        if (const std::string_view part = path.substr(0, slash); !part.empty() && part != ".") {
            parts.push_back(part);
        }
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

// "/mnt", "/mnt/", "/mnt/./": the stick's root itself.
bool IsStickRoot(std::string_view path) {
    return path.starts_with(kStickMount) &&
           (path.size() == kStickMount.size() || path[kStickMount.size()] == '/') &&
           Components(path.substr(kStickMount.size())).empty();
}

}  // namespace

const std::string kManifest = std::string(kManifestPath).substr(kStickMount.size() + 1);
const std::string kSignature = std::string(kSignaturePath).substr(kStickMount.size() + 1);
const std::string kManifestFolder = fs::path(kManifest).parent_path().string();

bool SameStickPath(std::string_view a, std::string_view b) {
    const std::vector<std::string_view> x = Components(a);
    const std::vector<std::string_view> y = Components(b);
    if (x.size() != y.size()) {
        return false;
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!stick::SameName(x[i], y[i])) {
            return false;
        }
    }
    return true;
}

const Planned* Plan::Find(const std::string& relative) const {
    const auto it = index_.find(relative);
    return it == index_.end() ? nullptr : &entries_[it->second];
}

bool Plan::Place(const SectionFile& file, const std::string& from, std::ostream& log) {
    const std::string names = from + ": " + file.key + " names " + file.path;
    if (file.expands) {
        log << names << ", which the shell expands: update-pack copies nothing for it, so the "
            << "package must put there whatever it expands to\n";
        return true;
    }
    const std::optional<std::string> relative = StickRelative(file.path);
    if (!relative) {
        if (file.command && IsStickRoot(file.path)) {
            return true;
        }
        if (file.path.starts_with(std::string(kStickMount) + "/")) {
            log << names << ", which is not a file on the stick\n";
            return false;
        }
        return true;  // a file of the instrument's, not the package's
    }
    // The manifest and its signature are update-pack's to write: a command
    // may read them, no file of the package may take their place.
    const bool manifest = SameStickPath(*relative, kManifest);
    const bool signature = SameStickPath(*relative, kSignature);
    if (manifest || signature) {
        if (file.command && (manifest || signing_)) {
            return true;
        }
        log << names << ", the " << (manifest ? "manifest" : "signature") << "'s own place\n";
        return false;
    }
    if (Find(*relative) != nullptr) {
        return true;
    }
    const fs::path folder(folder_);
    const std::string candidates[] = {(folder / *relative).string(),
                                      (folder / fs::path(*relative).filename()).string()};
    for (const std::string& candidate : candidates) {
        SourceEntry entry = tree_.Judge(candidate);
        switch (entry.kind) {
            case SourceEntry::Kind::kMissing:
                continue;
            case SourceEntry::Kind::kRefused:
                log << names << ", but " << entry.problem << "\n";
                return false;
            case SourceEntry::Kind::kFolder:
                if (!file.command) {
                    continue;  // the section reads a file
                }
                return AddFolder(*relative, entry, from, log);
            case SourceEntry::Kind::kFile:
                return Add({*relative, std::move(entry), from}, log);
        }
    }
    // The manifest's folder is on every stick, named or not.
    if (file.command && SameStickPath(*relative, kManifestFolder)) {
        return true;
    }
    log << names << ", but neither " << candidates[0] << " nor " << candidates[1] << " is a "
        << (file.command ? "file or folder" : "file") << "\n";
    return false;
}

bool Plan::Add(Planned planned, std::ostream& log) {
    // A file of a folder copied whole may not take the manifest's place either.
    for (const std::string& own : {kManifest, kSignature}) {
        if (SameStickPath(planned.relative, own)) {
            log << planned.from << ": " << planned.source.path << " would be " << planned.relative
                << ", the " << (own == kManifest ? "manifest" : "signature") << "'s own place\n";
            return false;
        }
    }
    if (const Planned* known = Find(planned.relative)) {
        if (known->source.real == planned.source.real) {
            return true;
        }
        log << planned.from << ": " << planned.relative << " would be both " << known->source.path
            << " and " << planned.source.path << "\n";
        return false;
    }
    index_[planned.relative] = entries_.size();
    entries_.push_back(std::move(planned));
    return true;
}

bool Plan::AddFolder(const std::string& relative, const SourceEntry& folder,
                     const std::string& from, std::ostream& log) {
    bool ok = Add({relative, folder, from}, log);
    for (SourceEntry& entry : tree_.List(folder)) {
        if (entry.kind == SourceEntry::Kind::kRefused) {
            log << from << ": " << entry.problem << "\n";
            ok = false;
            continue;
        }
        const std::string inner = relative + "/" + entry.relative;
        ok = Add({inner, std::move(entry), from}, log) && ok;
    }
    return ok;
}

}  // namespace upd::pack
