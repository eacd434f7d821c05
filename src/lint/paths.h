// Where the instrument's paths lie on this machine while a stick is checked:
// /mnt is the stick, every other path lies in the instrument's file tree when
// one was given. On top of what is on disk, it keeps what the sections already
// checked would have changed (directories made, files installed, moved or
// removed), so that a later section sees the instrument as the run leaves it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace upd::lint {

class Paths {
  public:
    enum class State { kMissing, kFile, kDirectory, kUnknown };

    Paths(std::string stick, std::string instrumentRoot);

    // The host path of an instrument path; none for a relative path, or for a
    // path on the instrument when no instrument tree was given.
    std::optional<std::string> Host(std::string_view inside) const;
    // True for /mnt and the paths under it.
    static bool OnStick(std::string_view inside);
    // True when two paths name one file, as far as their text tells.
    static bool Same(std::string_view a, std::string_view b) { return Key(a) == Key(b); }

    State Look(std::string_view inside) const;
    // The host file that holds the bytes the instrument would find at
    // `inside`, once earlier sections have run; none when unknown or missing.
    std::optional<std::string> Content(std::string_view inside) const;

    void MakeDirectory(std::string_view inside);
    void PutFile(std::string_view inside, std::optional<std::string> content);
    void Move(std::string_view from, std::string_view to);
    void Remove(std::string_view inside);

  private:
    struct Change {
        State state;
        std::optional<std::string> content;  // for a file: where its bytes are
    };
    static std::string Key(std::string_view inside);

    std::string stick_;
    std::string root_;
    std::map<std::string, Change> changes_;
};

// The parent directory of an instrument path ("/" for "/x").
std::string Parent(std::string_view inside);

}  // namespace upd::lint
