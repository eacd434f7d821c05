// update-sim's account of one run, printed after it for a technician and a
// package maker: the exit status, each code the run reported with its
// meaning from the code table, the display's messages in order, and the
// files installed, backed up, merged and removed.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/observer.h"

namespace upd {

class RunReport final : public RunObserver {
  public:
    void Reported(int code) override { codes_.push_back(code); }
    void Shown(std::string_view message) override { messages_.emplace_back(message); }
    void Changed(Change change, std::string_view path) override {
        changes_.emplace_back(change, std::string(path));
    }

    // The account of a run that ended with exit status `status`, one line
    // each (without its newline), every line starting with "update-sim: ".
    std::vector<std::string> Lines(int status) const;

  private:
    std::vector<int> codes_;
    std::vector<std::string> messages_;
    std::vector<std::pair<Change, std::string>> changes_;
};

// The meaning of `code` in the code table, empty for a code not in it.
std::string_view CodeMeaning(int code);

}  // namespace upd
