// The state of one check of a stick, shared by the checks of the run and of
// each operation: the options, the manifest's line numbers, the instrument's
// paths as the run so far would leave them, the time-stamp results, and the
// findings gathered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lint/lint.h"
#include "lint/manifest_lines.h"
#include "lint/paths.h"

namespace upd::lint {

// One manifest value read the way an operation reads it: into a buffer of the
// operation's size.
struct Value {
    std::string text;
    bool found = false;
    bool fits = true;  // false: the value has `size` characters or more
    int line = 0;      // the key's line, or the section's when the key is absent
};

class Checker {
  public:
    explicit Checker(const Options& options);

    const Options& options() const { return options_; }
    const ManifestLines& lines() const { return lines_; }
    void SetLines(ManifestLines lines) { lines_ = std::move(lines); }
    Paths& paths() { return paths_; }
    bool Signed() const { return !options_.publicKey.empty(); }
    // Whether the updater compares time stamps (-t given, -f not).
    bool ComparesTimeStamps() const { return options_.timeStamp.has_value() && !options_.force; }

    // The time-stamp results of the run so far (UPD_SAME, UPD_OLDER).
    std::uint32_t flags = 0;

    Value Read(std::string_view section, const char* key, int size) const;

    // A failure of the run, `name` its kind. The first one with a code is the
    // code the instrument shows; later ones are still reported, marked as
    // coming after that stop. One without a code (0) is a fault the
    // instrument passes over while it reports success: the run goes on.
    void Error(std::string_view section, int line, int code, std::string_view name,
               std::string message);
    void Warn(std::string_view section, int line, std::string_view name, std::string message,
              int code = 0);
    // An error of the stick as a whole, which no run reaches: it has no code.
    void StickError(std::string message);
    // Something the run depends on that the checker cannot know; noted only
    // while the run has not stopped.
    void Assume(Unknowable what, std::string_view section, int line, int code, std::string message);
    // Bytes the run writes onto the instrument.
    void Writes(std::uint64_t bytes) { written_ += stopCode_ == 0 ? bytes : 0; }
    bool Stopped() const { return stopCode_ != 0; }

    // The account of the run, kept as the walk follows it: each entry of the
    // run list begins a step, which the checks fill in.
    void BeginStep(std::string_view section, int line, std::string_view operation);
    // Whether the checker sees an instrument tree, and so what the run changes.
    bool KnowsInstrument() const { return !options_.instrumentRoot.empty(); }
    // The stick file `path` names, as the current section takes it.
    void Takes(const std::string& path);
    void Puts(std::string what);
    void Runs(std::string_view key, std::string command);
    // What the current section changed in the instrument tree (only with one).
    void Changes(std::string what);
    // The current section's outcome; a failure or a stop before it stays.
    void Outcome(std::string_view outcome);

    Report TakeReport();

  private:
    std::vector<std::string> Unused() const;

    const Options& options_;
    ManifestLines lines_;
    Paths paths_;
    int stopCode_ = 0;
    std::uint64_t written_ = 0;
    std::vector<Finding> findings_;
    std::vector<Assumption> assumptions_;
    Account account_;
    std::vector<std::string> used_;  // the stick entries the run takes, on this machine
};

// The checks of the operations, in the order of the updater's own checks.
// Each returns true when the operation would succeed (or rightly skip), having
// recorded in paths() what it would change, and false after reporting the
// failure it would stop with.
bool CheckTransferFile(Checker& c, const std::string& section);
bool CheckConfigUpdate(Checker& c, const std::string& section);
bool CheckBackupFiles(Checker& c, const std::string& section);
bool CheckMSP430Update(Checker& c, const std::string& section);
bool CheckFlashUpdate(Checker& c, const std::string& section);
bool CheckRemoveFiles(Checker& c, const std::string& section);

// The keys each operation reads (RemoveFiles's numbered keys aside); empty
// for a name that is no operation.
const std::vector<std::string_view>& KeysRead(std::string_view operation);

// The number N of a RemoveFiles key "fileN" (N from 1, up to 5 digits), else 0.
int FileNumber(std::string_view key);

// Text helpers for messages.
std::string Quote(std::string_view text);
// True when `text` is `expected` in another letter case.
bool DiffersOnlyInCase(std::string_view text, std::string_view expected);

}  // namespace upd::lint
