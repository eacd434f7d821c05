// The instrument's paths as the stick checker sees them: on disk, and as the
// sections already checked would have changed them.
#include "lint/paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <utility>

namespace upd::lint {

namespace {

constexpr std::string_view kMountPoint = "/mnt";

// The path with "." and ".." resolved as text and no trailing slash.
std::string Normal(std::string_view inside) {
    std::string normal = std::filesystem::path(inside).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

}  // namespace

Paths::Paths(std::string stick, std::string instrumentRoot)
    : stick_(std::move(stick)), root_(std::move(instrumentRoot)) {}

bool Paths::OnStick(std::string_view inside) {
    const std::string key = Key(inside);
    return key == kMountPoint ||
           (key.size() > kMountPoint.size() && key.compare(0, 5, "/mnt/") == 0);
}

std::string Paths::Key(std::string_view inside) {
    return Normal(inside);
}

std::optional<std::string> Paths::Host(std::string_view inside) const {
    if (inside.empty() || inside.front() != '/') {
        return std::nullopt;
    }
    const std::string key = Key(inside);
    if (OnStick(key)) {
        return stick_ + key.substr(kMountPoint.size());
    }
    if (root_.empty()) {
        return std::nullopt;
    }
    return root_ + key;
}

Paths::State Paths::Look(std::string_view inside) const {
    const auto change = changes_.find(Key(inside));
    if (change != changes_.end()) {
        return change->second.state;
    }
    const std::optional<std::string> host = Host(inside);
    if (!host) {
        return State::kUnknown;
    }
    struct stat st {};
    if (::stat(host->c_str(), &st) != 0) {
        return State::kMissing;
    }
    return S_ISDIR(st.st_mode) ? State::kDirectory : State::kFile;
}

std::optional<std::string> Paths::Content(std::string_view inside) const {
    const auto change = changes_.find(Key(inside));
    if (change != changes_.end()) {
        return change->second.content;
    }
    if (Look(inside) != State::kFile) {
        return std::nullopt;
    }
    return Host(inside);
}

void Paths::MakeDirectory(std::string_view inside) {
    changes_[Key(inside)] = Change{State::kDirectory, std::nullopt};
}

void Paths::PutFile(std::string_view inside, std::optional<std::string> content) {
    changes_[Key(inside)] = Change{State::kFile, std::move(content)};
}

void Paths::Move(std::string_view from, std::string_view to) {
    const State state = Look(from);
    PutFile(to, Content(from));
    changes_[Key(to)].state = state;
    Remove(from);
}

void Paths::Remove(std::string_view inside) {
    changes_[Key(inside)] = Change{State::kMissing, std::nullopt};
}

std::string Parent(std::string_view inside) {
    const std::string parent = std::filesystem::path(Normal(inside)).parent_path().string();
    return parent.empty() ? "/" : parent;
}

}  // namespace upd::lint
