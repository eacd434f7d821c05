// The package's source folder as update-pack reads it: what an entry named
// for the stick is (a file, a folder, or something no stick can take), judged
// by its type before anything is opened, its symbolic links followed only
// while they stay inside the source folder unless the maker says otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace upd::pack {

struct SourceEntry {
    enum class Kind {
        kMissing,  // nothing there
        kFile,     // a regular file of at most stick::kMaxFileSize bytes
        kFolder,
        kRefused,  // there, but no stick can take it: `problem` says why
    };
    Kind kind = Kind::kMissing;
    std::string path;      // as named, below the source folder
    std::string relative;  // from List: the path below the folder listed
    std::string real;      // the same with every symbolic link resolved: what is read
    std::uint64_t size = 0;
    std::string problem;  // for kRefused: one sentence naming the entry
};

class SourceTree {
  public:
    // The source folder `root` ("" for the current one); with `followLinks`,
    // links that leave it are followed too.
    SourceTree(const std::string& root, bool followLinks);

    // The entry at `path` (a path below the root, as the caller composed it).
    SourceEntry Judge(const std::string& path) const;

    // Every entry below the folder `folder` (judged kFolder), depth first in
    // name order, folders included so that empty ones are kept. A link back to a folder that holds
    // it is refused, as is an entry that cannot be read.
    std::vector<SourceEntry> List(const SourceEntry& folder) const;

  private:
    void ListInto(const std::string& real, const std::string& relative,
                  std::vector<std::string>* holding, std::vector<SourceEntry>* entries) const;

    std::string root_;  // with every link resolved; empty when it cannot be
    bool followLinks_;
};

}  // namespace upd::pack
