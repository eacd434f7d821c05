// Files that must not outlive an interruption: while a RemoveOnSignal object
// lives, SIGINT, SIGTERM and SIGHUP first remove the files registered with
// it, then end the process as the signal would have.
#pragma once

#include <string>

namespace upd::pack {

class RemoveOnSignal {
  public:
    // The most files one object removes, and the longest path it keeps.
    static constexpr int kMaxFiles = 4;
    static constexpr std::size_t kMaxPath = 4096;

    RemoveOnSignal();   // installs the handlers (one object at a time)
    ~RemoveOnSignal();  // restores the handlers that were there before
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

    // Registers `path` for removal. False when kMaxFiles are registered or the
    // path is longer than kMaxPath: a path cut short would remove another file.
    bool Add(const std::string& path);
    // Forgets every registered path: they are no longer the process's to remove.
    void Clear();

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
