// The instrument's files as the stick checker sees them while it follows a
// run: /mnt is the stick, looked up as the instrument's vfat mount looks names
// up; every other path lies in the instrument's file tree when one was given,
// its symbolic links resolved inside that tree as the instrument resolves
// them. On top of what is on disk it keeps what the sections already followed
// would have changed, and it answers the file system calls the updater makes
// (exists, mkdir, link, rename, unlink, the creation and reading of files) as
// the instrument would, so that the checks can follow the updater's own steps.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "stick/tree.h"

namespace upd::lint {

// The bytes of a file as the run would find them: a file on this machine, or
// bytes that the run itself wrote (a merged configuration, the error file).
struct FileData {
    std::string host;                          // the file that holds them, when on disk
    std::shared_ptr<const std::string> bytes;  // else the bytes themselves
    std::uint64_t size = 0;
    bool executable = false;  // any execute bit set

    // The MD5 and SHA-256 digests as lowercase hex; empty when the file cannot
    // be read.
    std::string Md5() const;
    std::string Sha256() const;
};

class Paths {
  public:
    enum class State { kMissing, kFile, kDirectory, kSpecial, kUnknown };

    // One file or folder: its device and inode, or a number of the run's own.
    struct Id {
        std::uint64_t dev = 0;
        std::uint64_t ino = 0;
        bool operator==(const Id&) const = default;
    };

    // What a path finds.
    struct Entry {
        State state = State::kMissing;
        std::string key;                  // the entry's path, links resolved and stick names folded
        Id id;                            // the same for one file or folder (hard links share one)
        bool onStick = false;             // lies on the stick's file system
        bool inFolder = false;            // the folder it names an entry of exists
        bool folderOnly = false;          // the path ends in a slash
        std::optional<FileData> file;     // a regular file's bytes
        std::optional<std::string> host;  // a folder's place on this machine
        std::optional<std::string> link;  // a symbolic link's target (not followed)
    };

    Paths(std::string stick, std::string instrumentRoot);

    // The entry at `inside` (relative paths start at /, the updater's working
    // directory); a symbolic link that the path ends with is followed unless
    // `follow` is false. kUnknown for a path on the instrument when no tree
    // was given.
    Entry Look(std::string_view inside, bool follow = true) const;
    State StateOf(std::string_view inside) const { return Look(inside).state; }
    // The bytes of the regular file at `inside`, else none.
    std::optional<FileData> Regular(std::string_view inside) const;

    // The updater's calls. Each answers as the instrument would, and changes
    // the instrument as the call would; a call on a path the checker cannot
    // see (kUnknown) is taken to succeed.
    bool Exists(std::string_view inside) const;   // access(F_OK)
    bool MakeDirectory(std::string_view inside);  // mkdir
    bool Unlink(std::string_view inside);         // unlink
    enum class LinkResult { kDone, kTaken, kNoLinkHere, kFailed };
    LinkResult Link(std::string_view from, std::string_view to);  // link
    bool Rename(std::string_view from, std::string_view to);      // rename, replacing
    // Opens for writing ("wb") and writes `data`: a new file, or an existing
    // regular file truncated (it keeps its identity and mode).
    bool Write(std::string_view inside, const FileData& data);
    // Creates a new file (O_CREAT | O_EXCL | O_NOFOLLOW) holding `data`.
    enum class CreateResult { kDone, kExists, kFailed };
    CreateResult Create(std::string_view inside, const FileData& data);
    void SetExecutable(std::string_view inside);  // chmod 0755

    // Two paths that exist and are one file (same device and inode).
    bool SameFile(std::string_view a, std::string_view b) const;
    // The updater's SameEntry: the same last component in one folder.
    bool SameEntry(std::string_view a, std::string_view b) const;
    // True when the path is a folder that holds nothing.
    bool EmptyFolder(std::string_view inside) const {
        const Entry e = Look(inside);
        return e.state == State::kDirectory && Empty(e);
    }
    // True when the path lies on the stick.
    bool OnStick(std::string_view inside) const { return Look(inside).onStick; }

  private:
    // What the run changed at one canonical path.
    struct Node {
        State state = State::kMissing;
        Id id;
        std::optional<FileData> file;
        std::optional<std::string> host;  // a folder on disk, wherever it now stands
        std::optional<std::string> link;  // a symbolic link's target
    };
    struct Frame;
    Entry Resolve(std::string_view inside, bool follow) const;
    Frame RootFrame() const;
    const Node& Child(const Frame& folder, std::string_view name, std::string* key) const;
    bool Empty(const Entry& folder) const;
    void Put(const std::string& key, Node node);
    Id NewId() { return Id{~std::uint64_t{0}, ++created_}; }

    // What is on disk, read once: the checker never changes it.
    const Node& OnDisk(const std::string& host, bool onStick) const;
    const stick::NameIndex& Index(const std::string& host) const;

    std::string stick_;
    std::string root_;
    Id rootId_;
    std::map<std::string, Node> changes_;
    mutable std::unordered_map<std::string, Node> disk_;
    mutable std::unordered_map<std::string, Entry> looks_;      // since the last change
    mutable std::map<std::string, stick::NameIndex> listings_;  // the stick's folders
    std::uint64_t created_ = 0;
};

}  // namespace upd::lint
