// A folder that stands for a stick's root, judged as the stick it becomes once
// copied onto FAT and mounted by the instrument: the entries no FAT stick can
// hold, and the entry that a path on the mounted stick finds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace upd::stick {

enum class EntryFault {
    kName,        // a name FAT cannot hold (see CheckName)
    kSameName,    // two entries of one folder with one FAT name
    kTooLarge,    // a file larger than kMaxFileSize
    kSymlink,     // FAT has no symbolic links
    kSpecial,     // a FIFO, socket or device: FAT holds only files and folders
    kUnreadable,  // a folder that cannot be read, or an entry that cannot be examined
};

struct TreeProblem {
    EntryFault fault;
    std::string path;     // relative to the root, '/'-separated ("firmware/a:b.bin")
    std::string other;    // for kSameName: the entry met first with the same FAT name
    std::string message;  // one sentence for a person, naming the entries
};

// Every entry below `root` that a FAT stick cannot hold, in path order.
// Symbolic links are never followed and nothing but folders is opened, so
// a FIFO or device among the entries cannot make it block.
std::vector<TreeProblem> CheckTree(const std::string& root);

// Of the entry names `names` of one folder, the one that a lookup of `wanted`
// finds on the mounted stick (Finds), among the names a FAT stick can hold.
// Where several match (in a folder no FAT stick can hold), the first in byte
// order, a match by an entry's own name before one by its 8.3 alias. nullopt
// when none does.
std::optional<std::string> FindName(const std::vector<std::string>& names, std::string_view wanted);

// The names in the folder open at `dirfd` (left open and unmoved), or in the
// folder at `folder`, "." and ".." left out, sorted; nullopt when it cannot
// be read.
std::optional<std::vector<std::string>> ListNames(int dirfd);
std::optional<std::vector<std::string>> ListNames(const std::string& folder);

// The entry names of one folder indexed for many lookups: Find(wanted) gives
// what FindName(names, wanted) gives, in constant time.
class NameIndex {
  public:
    NameIndex() = default;
    explicit NameIndex(const std::vector<std::string>& names);
    // The name found, or null; valid as long as the index.
    const std::string* Find(std::string_view wanted) const;

  private:
    std::unordered_map<std::string, std::string> byKey_;    // NameKey -> the name it finds
    std::unordered_map<std::string, std::string> byAlias_;  // key of an 8.3 alias -> its name
};

// FindName over the entries of the folder open at `dirfd` (left open and
// unmoved).
std::optional<std::string> FindEntry(int dirfd, std::string_view wanted);

// The path, relative to `root`, of what the mounted stick finds at `relative`
// (a path below the mount point, '/'-separated; empty and "." components
// ignored, ".." going up one folder): each component looked up with
// FindEntry. "" stands for the root itself. nullopt when a component is
// missing, a component before the last is no folder, or ".." would leave the
// root. Symbolic links are not followed (a FAT stick has none).
std::optional<std::string> Resolve(const std::string& root, std::string_view relative);

}  // namespace upd::stick
