// The staged stick laid out as the instrument's vfat mount will find it: a
// path the manifest spells in another letter case than an entry already
// staged goes to that entry, so that the folder holds one entry per FAT name;
// each file copied once, with its digests, and its origin kept for messages.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "pack/copy.h"
#include "pack/plan.h"
#include "pack/progress.h"

namespace upd::pack {

class StickLayout {
  public:
    // Lays out the stick in the folder `root`, which holds the manifest's
    // folder from the start.
    explicit StickLayout(std::string root) : root_(std::move(root)) {}

    // Makes the manifest's folder. False with *error set on failure.
    bool Begin(std::string* error);

    // Stages `planned`: false, with the reason on `log`, when the stick
    // already holds another entry of that FAT name or a file where a folder
    // of its path would go; false with *error set when a copy fails.
    bool Stage(const Planned& planned, Progress* progress, std::ostream& log, std::string* error);

    // Where the entry that the manifest spells `relative` was staged.
    std::optional<std::string> StagedAt(const std::string& relative) const;
    // The copy of the file staged at `staged`; null for a folder.
    const CopiedFile* Copied(const std::string& staged) const;
    // The source path (as named) of the entry staged at `staged`; empty for
    // what update-pack itself writes.
    std::string SourceOf(const std::string& staged) const;

  private:
    std::optional<std::string> Folder(const std::string& relative);

    std::string root_;
    std::map<std::string, std::string> stagedAt_;  // as spelt -> as staged
    std::map<std::string, CopiedFile> copied_;     // staged file -> its copy
    std::map<std::string, std::string> origin_;    // staged -> source path (real)
    std::map<std::string, std::string> shown_;     // staged -> source path (as named)
};

}  // namespace upd::pack
