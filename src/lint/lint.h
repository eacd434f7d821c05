// Checks an update stick before it ships: predicts what the instrument's updater
// would do with it (the code a failed run would show, and what it would silently
// skip or ignore), using the updater's own library so that the two cannot disagree.
#pragma once

#include <string>
#include <vector>

namespace upd::lint {

enum class Severity { kWarning, kError };

struct Finding {
    Severity severity;
    std::string section;  // manifest section, "" for the stick as a whole
    int line = 0;         // manifest line number (1-based), 0 when none
    std::string message;  // what the instrument would do, for a person
    int code = 0;         // the code the instrument would show, 0 for none
};

struct Options {
    // directory standing for the stick's root (holds firmware/AuxInfo.txt)
    std::string stick;
    // PEM public key: verify firmware/AuxInfo.txt.sha256 (a signed run); empty: not signed
    std::string publicKey;
    // an instrument's file tree laid out as for update-sim; empty: none
    std::string instrumentRoot;
    // as given with -t; empty: none
    std::string timeStamp;
    // -f
    bool force = false;
};

// Every finding, in manifest order: the order in which the instrument's run
// would meet them (the stick as a whole first, then each entry of the run
// list, then what no run reaches). Uses the process-wide manifest store for
// its length; a store the caller has loaded is put back afterwards.
std::vector<Finding> LintStick(const Options& options);

// Human-readable and JSON renderings; the exit status 0/1/2 for a list.
std::string FormatText(const std::vector<Finding>&);
std::string FormatJson(const std::vector<Finding>&);
int ExitStatus(const std::vector<Finding>&);

// The code the instrument's error file would hold after the run: the first
// error's code, else the last notice's (659, 660), else 0.
int PredictedCode(const std::vector<Finding>&);

}  // namespace upd::lint
