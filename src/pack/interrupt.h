// Files and folders that must not outlive an interruption: while a
// RemoveOnSignal object lives, SIGINT, SIGTERM and SIGHUP first remove the
// files and the folders (with everything in them) registered with it, then
// end the process as the signal would have.
#pragma once

#include <string>

namespace upd::pack {

class RemoveOnSignal {
  public:
    // The most files and folders one object removes, and the longest path
    // it keeps.
    static constexpr int kMaxFiles = 4;
    static constexpr int kMaxFolders = 2;
    static constexpr std::size_t kMaxPath = 4096;

    RemoveOnSignal();   // installs the handlers (one object at a time)
    ~RemoveOnSignal();  // restores the handlers that were there before
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

    // Registers `path` for removal. False when kMaxFiles are registered or the
    // path is longer than kMaxPath: a path cut short would remove another file.
    bool Add(const std::string& path);
    // Registers the folder `path` for removal with everything in it, never
    // following a symbolic link out of it. False as for Add, for kMaxFolders.
    bool AddFolder(const std::string& path);
    // Forgets every registered path: they are no longer the process's to remove.
    void Clear();
    // Forgets the registered file `path` alone.
    void Forget(const std::string& path);

    // While a Hold lives the signals wait, so that a step made of several
    // calls (a rename, then the next) runs whole; they arrive afterwards.
    class Hold {
      public:
        Hold();
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
    };
};

}  // namespace upd::pack
