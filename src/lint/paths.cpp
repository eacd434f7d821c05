// The instrument's files as the stick checker sees them: on disk, looked up
// as the instrument looks them up, and as the sections already followed would
// have changed them.
#include "lint/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "digest/md5.h"
#include "digest/ssl.h"
#include "files/file.h"
#include "stick/fat_name.h"
#include "stick/tree.h"

namespace upd::lint {

namespace {

using State = Paths::State;

constexpr std::string_view kMountPoint = "/mnt";
// The kernel follows at most this many symbolic links in one lookup (ELOOP).
constexpr int kMaxLinks = 40;

// Pushes the components of `path` onto the stack `todo` so that the first
// is popped first; empty components (repeated and trailing slashes) are left out.
void PushComponents(std::vector<std::string_view>* todo, std::string_view path) {
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
        if (end > start) {
            todo->push_back(path.substr(start, end - start));
        }
        if (slash == std::string_view::npos) {
            break;
        }
        end = slash;
    }
}

// The last component of a path as written ("" when it ends in a slash).
std::string LastName(std::string_view path) {
    // "dir/" names dir, as mkdir takes it.
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// A name the stick's file system refuses to create (it drops trailing dots
// and blanks quietly).
bool StickRefuses(std::string_view name) {
    const stick::NameFault fault = stick::CheckName(name);
    return fault != stick::NameFault::kNone && fault != stick::NameFault::kTrailingDotOrBlank;
}

// The names in a folder on disk.
std::vector<std::string> NamesIn(const std::string& host) {
    std::optional<std::vector<std::string>> names = stick::ListNames(host);
    return names ? std::move(*names) : std::vector<std::string>{};
}

}  // namespace

std::string FileData::Md5() const {
    if (bytes) {
        md5_state_s state;
        md5_init(&state);
        md5_append(&state, reinterpret_cast<const std::uint8_t*>(bytes->data()),
                   static_cast<int>(bytes->size()));
        std::uint8_t digest[16];
        md5_finish(&state, digest);
        char hex[33];
        for (int i = 0; i < 16; ++i) {
            std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        }
        return hex;
    }
    char hex[64] = {};
    return MD5Hash(host.c_str(), hex, sizeof hex) ? hex : "";
}

std::string FileData::Sha256() const {
    char hex[80] = {};
    const bool done = bytes ? SHA256HashBytes(reinterpret_cast<const unsigned char*>(bytes->data()),
                                              bytes->size(), hex) != 0
                            : SHA256Hash(host.c_str(), hex) != 0;
    return done ? hex : "";
}

struct Paths::Frame {
    std::string key;
    std::optional<std::string> host;
    Id id;
    bool onStick = false;
    bool unknown = false;
};

namespace {

// What a path finds whose folder does not exist: nothing, and nothing can be
// made there.
const Paths::Entry kNothing{};

Paths::Id IdOf(const struct stat& st) {
    return Paths::Id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

Paths::Paths(std::string stick, std::string instrumentRoot)
    : stick_(std::move(stick)), root_(std::move(instrumentRoot)) {
    struct stat st {};
    if (!root_.empty() && ::stat(root_.c_str(), &st) == 0) {
        rootId_ = IdOf(st);
    }
}

Paths::Frame Paths::RootFrame() const {
    Frame root;
    root.unknown = root_.empty();
    if (!root.unknown) {
        root.host = root_;
    }
    root.id = rootId_;
    return root;
}

const stick::NameIndex& Paths::Index(const std::string& host) const {
    const auto known = listings_.find(host);
    if (known != listings_.end()) {
        return known->second;
    }
    return listings_.emplace(host, stick::NameIndex(NamesIn(host))).first->second;
}

const Paths::Node& Paths::OnDisk(const std::string& host, bool onStick) const {
    const auto known = disk_.find(host);
    if (known != disk_.end()) {
        return known->second;
    }
    Node node;
    struct stat st {};
    if (::lstat(host.c_str(), &st) == 0) {
        node.id = IdOf(st);
        if (S_ISLNK(st.st_mode) && !onStick) {
            std::vector<char> target(static_cast<std::size_t>(st.st_size) + 256);
            const ssize_t n = ::readlink(host.c_str(), target.data(), target.size());
            node.state = State::kSpecial;
            node.link = n >= 0 ? std::string(target.data(), static_cast<std::size_t>(n)) : "";
        } else if (S_ISDIR(st.st_mode)) {
            node.state = State::kDirectory;
            node.host = host;
        } else if (S_ISREG(st.st_mode)) {
            node.state = State::kFile;
            node.file = FileData{host, nullptr, static_cast<std::uint64_t>(st.st_size),
                                 (st.st_mode & 0111) != 0};
        } else {
            node.state = State::kSpecial;  // a FIFO, socket or device; on the stick also a link
        }
    }
    return disk_.emplace(host, std::move(node)).first->second;
}

// The entry `name` of `folder`, not followed if it is a symbolic link; `key`
// set to its canonical path, or emptied for a name no entry can have.
const Paths::Node& Paths::Child(const Frame& folder, std::string_view name,
                                std::string* key) const {
    static const Node kMissingNode{};
    static const Node kUnknownNode{State::kUnknown, {}, {}, {}, {}};
    if (folder.key.empty() && name == kMountPoint.substr(1)) {
        // The stick is mounted here whatever the tree holds.
        *key = kMountPoint;
        return OnDisk(stick_, true);
    }
    key->assign(folder.key).append("/");
    // On the stick an entry is keyed by its own name folded, however it was
    // found (by that name in another case, or by its 8.3 alias).
    const std::string* found = nullptr;
    if (folder.onStick) {
        found = folder.host ? Index(*folder.host).Find(name) : nullptr;
        const std::string folded = stick::NameKey(found ? std::string_view(*found) : name);
        if (folded.empty()) {
            key->clear();
            return kMissingNode;
        }
        key->append(folded);
    } else {
        key->append(name);
    }
    if (const auto change = changes_.find(*key); change != changes_.end()) {
        return change->second;
    }
    if (folder.unknown) {
        return kUnknownNode;
    }
    if (!folder.host) {
        return kMissingNode;  // a folder the run made holds only what the run put there
    }
    if (!folder.onStick) {
        return OnDisk(*folder.host + "/" + std::string(name), false);
    }
    return found ? OnDisk(*folder.host + "/" + *found, true) : kMissingNode;
}

Paths::Entry Paths::Look(std::string_view inside, bool follow) const {
    // The checks look the same paths up again and again between two changes.
    std::string memo(inside);
    memo += follow ? '\1' : '\0';
    if (const auto known = looks_.find(memo); known != looks_.end()) {
        return known->second;
    }
    return looks_[memo] = Resolve(inside, follow);
}

Paths::Entry Paths::Resolve(std::string_view inside, bool follow) const {
    Entry e;
    if (inside.empty()) {
        return e;  // no path at all: nothing exists there, nothing can be made
    }
    e.folderOnly = inside.back() == '/';
    std::vector<std::string_view> todo;
    std::vector<std::unique_ptr<std::string>> targets;  // the links' texts that `todo` views
    PushComponents(&todo, inside);
    std::vector<Frame> frames{RootFrame()};
    int links = 0;
    std::string key;
    while (!todo.empty()) {
        const std::string_view name = todo.back();
        todo.pop_back();
        const bool last = todo.empty();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            if (frames.size() > 1) {
                frames.pop_back();
            }
            continue;
        }
        const Node& node = Child(frames.back(), name, &key);
        if (node.link && (!last || follow || e.folderOnly)) {
            if (++links > kMaxLinks || node.link->empty()) {
                return kNothing;
            }
            if (node.link->front() == '/') {
                frames.resize(1);
            }
            targets.push_back(std::make_unique<std::string>(*node.link));
            PushComponents(&todo, *targets.back());
            continue;
        }
        const bool onStick = frames.back().onStick || key == kMountPoint;
        if (last) {
            e.key = key;
            e.onStick = onStick;
            e.inFolder = !key.empty();
            if (e.folderOnly && node.state != State::kDirectory && node.state != State::kMissing &&
                node.state != State::kUnknown) {
                e.inFolder = false;
                return e;  // "file/": ENOTDIR
            }
            e.state = node.state;
            e.id = node.id;
            e.file = node.file;
            e.host = node.host;
            e.link = node.link;
            return e;
        }
        if (node.state == State::kDirectory || node.state == State::kUnknown) {
            frames.push_back(
                Frame{key, node.host, node.id, onStick, node.state == State::kUnknown});
            continue;
        }
        return kNothing;  // a missing folder, or a file where a folder should be
    }
    const Frame& folder = frames.back();
    e.state = folder.unknown ? State::kUnknown : State::kDirectory;
    e.key = folder.key;
    e.id = folder.id;
    e.host = folder.host;
    e.onStick = folder.onStick;
    e.inFolder = true;
    return e;
}

std::optional<FileData> Paths::Regular(std::string_view inside) const {
    Entry e = Look(inside);
    return e.state == State::kFile ? std::move(e.file) : std::nullopt;
}

bool Paths::Exists(std::string_view inside) const {
    return Look(inside).state != State::kMissing;
}

void Paths::Put(const std::string& key, Node node) {
    changes_[key] = std::move(node);
    looks_.clear();
}

bool Paths::MakeDirectory(std::string_view inside) {
    const Entry e = Look(inside, false);
    if (e.state == State::kUnknown) {
        return true;
    }
    if (e.state != State::kMissing || !e.inFolder ||
        (e.onStick && StickRefuses(LastName(inside)))) {
        return false;
    }
    Node made;
    made.state = State::kDirectory;
    made.id = NewId();
    Put(e.key, std::move(made));
    return true;
}

bool Paths::Unlink(std::string_view inside) {
    const Entry e = Look(inside, false);
    if (e.state == State::kUnknown) {
        return true;
    }
    if (e.state == State::kMissing || e.state == State::kDirectory) {
        return false;
    }
    Put(e.key, Node{});
    return true;
}

Paths::LinkResult Paths::Link(std::string_view from, std::string_view to) {
    const Entry old = Look(from, false);
    const Entry made = Look(to, false);
    if (old.state == State::kUnknown || made.state == State::kUnknown) {
        return LinkResult::kDone;
    }
    if (old.state == State::kMissing) {
        return LinkResult::kFailed;
    }
    if (made.state != State::kMissing) {
        return LinkResult::kTaken;
    }
    if (!made.inFolder || made.folderOnly || old.folderOnly) {
        return LinkResult::kFailed;
    }
    // Another file system, a folder, or the stick's FAT (no hard links).
    if (old.onStick != made.onStick || old.state == State::kDirectory || old.onStick) {
        return LinkResult::kNoLinkHere;
    }
    Put(made.key, Node{old.state, old.id, old.file, old.host, old.link});
    return LinkResult::kDone;
}

bool Paths::Empty(const Entry& folder) const {
    std::set<std::string> names;
    if (folder.host) {
        for (const std::string& name : NamesIn(*folder.host)) {
            names.insert(folder.onStick ? stick::NameKey(name) : name);
        }
    }
    const std::string prefix = folder.key + "/";
    for (auto it = changes_.lower_bound(prefix);
         it != changes_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        const std::string name = it->first.substr(prefix.size());
        if (name.find('/') != std::string::npos) {
            continue;
        }
        if (it->second.state == State::kMissing) {
            names.erase(name);
        } else {
            names.insert(name);
        }
    }
    return names.empty();
}

bool Paths::Rename(std::string_view from, std::string_view to) {
    const Entry old = Look(from, false);
    const Entry made = Look(to, false);
    if (old.state == State::kUnknown || made.state == State::kUnknown) {
        return true;
    }
    const auto busy = [](const std::string& key) { return key.empty() || key == kMountPoint; };
    if (old.state == State::kMissing || !made.inFolder || old.onStick != made.onStick ||
        busy(old.key) || busy(made.key) ||
        (made.onStick && made.state == State::kMissing && StickRefuses(LastName(to)))) {
        return false;
    }
    if (old.id == made.id) {
        return true;  // one file already: rename leaves both names
    }
    if (old.state == State::kDirectory) {
        if ((made.state != State::kMissing && (made.state != State::kDirectory || !Empty(made))) ||
            made.key.compare(0, old.key.size() + 1, old.key + "/") == 0) {
            return false;
        }
    } else if (made.state == State::kDirectory || old.folderOnly || made.folderOnly) {
        return false;
    }
    // What lay below the old name moves with it; what lay below the new one is gone.
    const std::string oldPrefix = old.key + "/";
    const std::string newPrefix = made.key + "/";
    std::map<std::string, Node> moved;
    for (auto it = changes_.begin(); it != changes_.end();) {
        if (it->first.compare(0, oldPrefix.size(), oldPrefix) == 0) {
            moved[newPrefix + it->first.substr(oldPrefix.size())] = std::move(it->second);
            it = changes_.erase(it);
        } else if (it->first.compare(0, newPrefix.size(), newPrefix) == 0) {
            it = changes_.erase(it);
        } else {
            ++it;
        }
    }
    changes_.merge(moved);
    looks_.clear();
    Put(made.key, Node{old.state, old.id, old.file, old.host, old.link});
    Put(old.key, Node{});
    return true;
}

bool Paths::Write(std::string_view inside, const FileData& data) {
    const Entry e = Look(inside);
    if (e.state == State::kUnknown) {
        return true;
    }
    Node node;
    node.state = State::kFile;
    node.file = data;
    if (e.state == State::kFile) {
        node.id = e.id;
        node.file->executable = e.file->executable;
    } else if (e.state == State::kMissing && e.inFolder && !e.folderOnly &&
               !(e.onStick && StickRefuses(LastName(inside)))) {
        node.id = NewId();
        node.file->executable = false;
    } else {
        return false;
    }
    Put(e.key, std::move(node));
    return true;
}

Paths::CreateResult Paths::Create(std::string_view inside, const FileData& data) {
    const Entry e = Look(inside, false);
    if (e.state == State::kUnknown) {
        return CreateResult::kDone;
    }
    if (e.state != State::kMissing) {
        return CreateResult::kExists;
    }
    if (!e.inFolder || e.folderOnly || (e.onStick && StickRefuses(LastName(inside)))) {
        return CreateResult::kFailed;
    }
    Node node;
    node.state = State::kFile;
    node.id = NewId();
    node.file = data;
    node.file->executable = false;
    Put(e.key, std::move(node));
    return CreateResult::kDone;
}

void Paths::SetExecutable(std::string_view inside) {
    const Entry e = Look(inside);
    if (e.state != State::kFile) {
        return;
    }
    Node node{e.state, e.id, e.file, e.host, e.link};
    node.file->executable = true;
    Put(e.key, std::move(node));
}

bool Paths::SameFile(std::string_view a, std::string_view b) const {
    const Entry ea = Look(a);
    const Entry eb = Look(b);
    const auto real = [](State s) { return s != State::kMissing && s != State::kUnknown; };
    return real(ea.state) && real(eb.state) && ea.id == eb.id;
}

bool Paths::SameEntry(std::string_view a, std::string_view b) const {
    const auto split = [](std::string_view p) {
        const std::size_t slash = p.rfind('/');
        const std::string folder = slash == std::string_view::npos
                                       ? std::string(".")
                                       : std::string(p.substr(0, slash == 0 ? 1 : slash));
        return std::pair{folder,
                         std::string(slash == std::string_view::npos ? p : p.substr(slash + 1))};
    };
    const auto [folderA, nameA] = split(a);
    const auto [folderB, nameB] = split(b);
    const auto endsInFolder = [](const std::string& n) {
        return n.empty() || n == "." || n == "..";
    };
    if (endsInFolder(nameA) || endsInFolder(nameB)) {
        return SameFile(a, b);
    }
    return nameA == nameB && SameFile(folderA, folderB);
}

}  // namespace upd::lint
