// Checks an update stick before it ships: predicts what the instrument's updater
// would do with it (the code a failed run would show, and what it would silently
// skip or ignore), using the updater's own library so that the two cannot disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace upd::lint {

enum class Severity { kWarning, kError };

struct Finding {
    Severity severity;
    std::string section;  // manifest section, "" for the stick as a whole
    int line = 0;         // manifest line number (1-based), 0 when none
    std::string message;  // what the instrument would do, for a person
    int code = 0;         // the code the instrument would show, 0 for none
    std::string name{};   // the kind of finding: a stable kebab-case identifier
    // A warning the maker accepted for its section: still listed, never
    // counted for the exit status.
    bool accepted = false;
    std::string reason{};  // why, as the maker gave it
};

// A maker's acceptance of a named warning in a named section ("" for the
// manifest as a whole): from a comment in the manifest or the command line.
struct Accept {
    std::string section;
    std::string name;
    std::string reason{};
    int line = 0;  // the comment's manifest line, 0 from the command line
};

// "SECTION:NAME" as given on a command line; none when it is not of that form.
std::optional<Accept> ParseAccept(std::string_view text);

struct Options {
    // directory standing for the stick's root (holds firmware/AuxInfo.txt)
    std::string stick;
    // PEM public key: verify firmware/AuxInfo.txt.sha256 (a signed run); empty: not signed
    std::string publicKey;
    // an instrument's file tree laid out as for update-sim; empty: none
    std::string instrumentRoot;
    // as given with -t (which may be empty); none: -t not given
    std::optional<std::string> timeStamp;
    // -f
    bool force = false;
    // Warnings accepted on the command line, beside the manifest's own.
    std::vector<Accept> accepts{};
};

// What the checker cannot know from the stick and the instrument's tree, and
// what the run it predicts therefore assumes.
enum class Unknowable {
    kCommandStatus,  // the exit status of a command whose program the tree holds
    kDiskSpace,      // room on the instrument for what the run writes
};

struct Assumption {
    Unknowable what;
    std::string section;  // "" for the run as a whole
    int line = 0;
    int code = 0;         // the code the run stops with when the assumption fails, 0 for none
    std::string message;  // what is assumed, for a person
};

// A file a section takes from the stick.
struct Taken {
    std::string path;  // as the manifest names it
    std::uint64_t size = 0;
    std::string md5{}, sha256{};  // of the file's bytes; empty when it is no file
};

// What one entry of the run list does, recorded as the check follows it.
struct Step {
    std::string section;
    int line = 0;           // the section's line, else the run list's line naming it
    std::string operation;  // "" when the section or its Operation is missing
    // "runs", "installed", "skipped-same", "gated", "merged", "not-merged",
    // "reboots", "passed-over", "fails" (with code), "after-stop"
    std::string outcome{};
    int code = 0;                         // the code it stops the run with
    std::vector<Taken> takes{};           // files from the stick
    std::vector<std::string> puts{};      // where it puts them, what it makes or removes
    std::vector<std::string> commands{};  // "KEY: command line", in the order they run
    std::vector<std::string> changes{};   // with an instrument tree: what it changed there
};

// What the stick will do: the signature check and the run, step by step.
struct Account {
    bool signedRun = false;
    std::string key;          // the public key checked against
    std::string fingerprint;  // its SHA-256 fingerprint, "" when it cannot be read
    bool instrument = false;  // the steps' changes are those to a given tree
    std::vector<Step> run;
    std::vector<std::string> unused;  // stick files that no section uses, relative to its root
};

struct Report {
    std::vector<Finding> findings;
    // Each thing the prediction takes for granted, said once, in the order
    // the run meets them (before the first error only).
    std::vector<Assumption> assumptions;
    Account account{};
};

// Every finding, in manifest order: the order in which the instrument's run
// would meet them (the stick as a whole first, then each entry of the run
// list, then what no run reaches), and what the prediction assumes. Uses the
// process-wide manifest store for its length; a store the caller has loaded
// is put back afterwards. Never blocks: a special file is judged by its type
// and never opened.
Report Check(const Options& options);
// The findings of Check().
std::vector<Finding> LintStick(const Options& options);

// Human-readable and JSON renderings (the assumptions in one closing note);
// the exit status 0/1/2 for a list. Assumptions change neither the exit
// status nor the predicted code.
std::string FormatText(const Report&);
std::string FormatJson(const Report&);
std::string FormatText(const std::vector<Finding>&);
std::string FormatJson(const std::vector<Finding>&);
// 0 when every finding is accepted (or none), 1 warnings only, 2 errors.
int ExitStatus(const std::vector<Finding>&);

// The account of what the stick will do, for a person; and the report as
// JSON with the account's fields ("signed", "key", "fingerprint",
// "instrument", "run", "unused") ahead of the findings.
std::string FormatShow(const Report&);
std::string FormatShowJson(const Report&);

// A JSON string, always valid UTF-8: quotes, backslashes and control
// characters escaped, and so is every byte that is not part of well-formed
// UTF-8, as \u00XX of the byte (manifests and file names need not be UTF-8).
std::string JsonString(std::string_view text);

// The code the instrument's error file would hold after the run: the code of
// the first error that has one, else the last notice's (659, 660), else 0.
// Errors of the stick as a whole (entries no FAT stick holds) have none.
int PredictedCode(const std::vector<Finding>&);

}  // namespace upd::lint
