// Which source entry goes to which place on the stick: each path a listed
// section takes from /mnt, found in the source folder (at its place below
// the mount point, else by its name), judged before anything is opened, and
// a folder that a command names taken whole.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "pack/source_tree.h"
#include "pack/stick_files.h"

namespace upd::pack {

// One entry of the stick to be: a file or a folder and where it comes from.
struct Planned {
    std::string relative;  // on the stick, as the manifest spells it
    SourceEntry source;    // kFile or kFolder
    std::string from;      // "SOURCE:LINE: section S (KEY)": who asked for it
};

class Plan {
  public:
    // `sourceFolder` holds the source manifest; `signing`: the stick gets the
    // manifest's signature.
    Plan(const std::string& sourceFolder, bool followLinks, bool signing)
        : folder_(sourceFolder), tree_(sourceFolder, followLinks), signing_(signing) {}

    // Plans the stick entry that `file` names, if any; false, with the reason
    // on `log`, when the stick cannot have it. `from` prefixes messages.
    bool Place(const SectionFile& file, const std::string& from, std::ostream& log);

    const std::vector<Planned>& entries() const { return entries_; }
    // The planned entry at `relative`, as spelt in the manifest; null if none.
    const Planned* Find(const std::string& relative) const;

  private:
    bool Add(Planned planned, std::ostream& log);
    bool AddFolder(const std::string& relative, const SourceEntry& folder, const std::string& from,
                   std::ostream& log);

    std::string folder_;
    SourceTree tree_;
    bool signing_;
    std::vector<Planned> entries_;
    std::map<std::string, std::size_t> index_;  // relative -> entries_
};

// Whether two paths below the mount point name the same entry on the
// instrument's stick (component by component, stick::SameName).
bool SameStickPath(std::string_view a, std::string_view b);

// The manifest's and its signature's places relative to the stick's root.
extern const std::string kManifest;
extern const std::string kSignature;
// The manifest's folder, which every stick has.
extern const std::string kManifestFolder;

}  // namespace upd::pack
