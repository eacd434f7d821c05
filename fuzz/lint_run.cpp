// Fuzzes the stick checker against the updater. Each input of the whole-run
// target (run_input.h) is laid out the same way; the checker predicts the run
// from the stick and the instrument's tree (with -s, -t and -f as the input
// asks), then the updater carries it out. The code the checker predicts must
// be the code the run shows (the first failure's, else the last notice's,
// else none), and a predicted success must be a success, unless the checker
// said that it cannot know, for a reason that covers what the run did: the
// exit status of a command that decides the run covers that command's code
// and nothing else. Any other difference stops the target.
//
// The sandbox is made to differ from the instrument as little as possible:
// the stick has a file system of its own at /mnt, mounted without exec
// rights; the run's working directory is /; the updater's lock is taken and a
// stale flash copy removed before the run, as the program does; a command
// whose program cannot run fails as the shell fails it. Where it still differs, a difference is
// excused, and counted: a name on the stick that the instrument's vfat mount
// would fold or refuse (the sandbox's stick is a tmpfs, whose names are
// exact), and a path into the host's folders bound into the sandbox (its
// programs, /proc, /dev/null, libFuzzer's folders), which are no part of an
// instrument.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "lint/lint.h"
#include "run_case.h"
#include "run_entry.h"
#include "run_input.h"
#include "run_instrument.h"
#include "run_model.h"
#include "run_sandbox.h"
#include "run_tree.h"
#include "stick/fat_name.h"

namespace {

using upd::fuzz::Case;
using upd::fuzz::Outcome;
using upd::fuzz::Sandbox;
using upd::fuzz::Tree;

Tree& Base() {
    static Tree base;
    return base;
}

// How many inputs were compared, and how many differences were excused as
// the sandbox's; said at the end.
struct Tally {
    size_t compared = 0;
    size_t excused = 0;
    ~Tally() {
        std::fprintf(stderr, "lint_run: %zu inputs compared, %zu differences excused\n", compared,
                     excused);
    }
};

Tally& Counts() {
    static Tally tally;
    return tally;
}

// The mounts of the sandbox that are no part of an instrument: the host's
// folders, /dev and its null device, libFuzzer's folders.
std::set<std::string>& HostMounts() {
    static std::set<std::string> mounts;
    return mounts;
}

// Whether `path` is one of them or lies in one.
bool InHostMount(const std::string& path) {
    for (const std::string& m : HostMounts()) {
        if (path == m || (path.size() > m.size() && path.compare(0, m.size(), m) == 0 &&
                          path[m.size()] == '/')) {
            return true;
        }
    }
    return false;
}

void EnterSandbox() {
    Sandbox().Enter();
    Sandbox().MountStick();
    Sandbox().MountDev();
    upd::fuzz::NoteMounts();
    HostMounts() = upd::fuzz::Mounts();
    HostMounts().erase("/mnt");         // the stick is the instrument's own
    upd::fuzz::Mounts().erase("/mnt");  // walked and restored as the sandbox's own
    upd::fuzz::Mounts().erase("/dev");
    ::umask(022);
    for (const char* d : upd::fuzz::kLayoutDirs) {
        FUZZ_CHECK(::mkdir(d, 0755) == 0 || errno == EEXIST);
    }
    Base() = upd::fuzz::Snapshot(true);
}

// `path` from / with "." and ".." taken as text (the sandbox's own folders
// hold no links).
std::string Lexical(std::string_view path) {
    std::vector<std::string_view> parts;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        end = end == std::string_view::npos ? path.size() : end;
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (std::string_view part : parts) {
        out += "/";
        out += part;
    }
    return out.empty() ? "/" : out;
}

// Whether a path the run may use is one the sandbox gives as the instrument
// would: not in a host folder, and on the stick only names vfat keeps as they are.
bool AsOnInstrument(const std::string& raw) {
    const std::string path = Lexical(raw);
    if (InHostMount(path)) {
        return false;
    }
    if (path.rfind("/mnt/", 0) != 0) {
        return true;
    }
    for (size_t start = 5; start < path.size();) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, end - start);
        if (upd::stick::NameKey(name) != name ||
            upd::stick::CheckName(name) != upd::stick::NameFault::kNone) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// Whether every path the run list's sections name, alone or as a folder and
// a name joined, is one the sandbox gives as the instrument would.
bool Comparable(const std::string& manifest) {
    static constexpr const char* kSingle[] = {"DestDir", "DestDir1", "DestDir2", "DataPath1"};
    static constexpr std::pair<const char*, const char*> kJoined[] = {{"SrcDir", "SrcFile"},
                                                                      {"InterimDir", "InterimFile"},
                                                                      {"DestDir", "DestFile"},
                                                                      {"BackupDir", "BackupFile"}};
    const upd::fuzz::Store store(manifest);
    if (!store.loaded()) {
        return true;
    }
    std::set<std::string_view> seen;
    for (const upd::Section* s = store.list(); s != nullptr; s = s->next) {
        if (!seen.insert(s->name).second) {
            continue;
        }
        std::vector<std::string> paths;
        std::string value;
        for (const char* key : kSingle) {
            if (upd::fuzz::Value(s->name, key, &value)) {
                paths.push_back(value);
            }
        }
        for (const auto& [dir, file] : kJoined) {
            if (upd::fuzz::PathValue(s->name, dir, file, &value)) {
                paths.push_back(value);
            }
        }
        for (int n = 1; upd::fuzz::Value(s->name, ("file" + std::to_string(n)).c_str(), &value);
             ++n) {
            paths.push_back(value);
        }
        for (const std::string& path : paths) {
            if (!AsOnInstrument(path)) {
                return false;
            }
        }
    }
    return true;
}

// The code the run showed last: its failure's, or its last notice's; 0 for none.
int ShownCode(const Outcome& outcome) {
    constexpr std::string_view kShown = "\"Error updating firmware: ";
    int code = 0;
    for (const upd::fuzz::Call& call : outcome.calls) {
        const size_t at = call.command.find(kShown);
        if (call.command.rfind(upd::kSplashProgram, 0) == 0 && at != std::string::npos) {
            code = std::atoi(call.command.c_str() + at + kShown.size());
        }
    }
    return code;
}

upd::lint::Options OptionsFor(const Case& c) {
    upd::lint::Options options;
    options.stick = upd::kMountPoint;
    options.instrumentRoot = "/";
    if (c.signing != upd::fuzz::Signing::kNone) {
        options.publicKey = upd::kPublicKeyPath;
    }
    if (c.options & upd::fuzz::kTimeStamp) {
        options.timeStamp = c.stamp;
    }
    options.force = (c.options & upd::fuzz::kForce) != 0;
    return options;
}

// The prediction agrees with the run, or names what it could not know, or the
// input is one the sandbox does not give as an instrument would.
void Compare(const upd::lint::Report& report, const Outcome& outcome, const std::string& manifest) {
    const int predicted = upd::lint::PredictedCode(report.findings);
    bool predictedFailure = false;
    for (const upd::lint::Finding& f : report.findings) {
        predictedFailure =
            predictedFailure || (f.severity == upd::lint::Severity::kError && f.code);
    }
    const int shown = ShownCode(outcome);
    const bool failed = outcome.status != 0;
    if (std::getenv("UPD_FUZZ_LINT_TRACE") != nullptr) {
        std::fprintf(stderr, "predicted %d, shown %d (status %d)\n%s", predicted, shown,
                     outcome.status, upd::lint::FormatText(report).c_str());
    }
    bool agree = predicted == shown && predictedFailure == failed;
    for (const upd::lint::Assumption& a : report.assumptions) {
        agree =
            agree || (failed && a.what == upd::lint::Unknowable::kCommandStatus && a.code == shown);
    }
    if (!agree && !Comparable(manifest)) {
        ++Counts().excused;
        return;
    }
    if (!agree) {
        std::fprintf(stderr, "the checker predicted %d (%s), the run %s with %d:\n%s", predicted,
                     predictedFailure ? "a failure" : "a complete run",
                     failed ? "failed" : "completed", shown, upd::lint::FormatText(report).c_str());
        FUZZ_CHECK(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!Sandbox().entered()) {
        EnterSandbox();
    }
    const Case c = upd::fuzz::Decode(data, size);
    if (upd::fuzz::TooLong(c.manifest)) {
        return 0;
    }
    ++Counts().compared;
    upd::fuzz::LayOut(Base(), c);
    // The instrument's updater runs from /, and the checker takes relative
    // paths from there.
    const int cwd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(cwd >= 0 && ::chdir("/") == 0);
    const upd::lint::Report report = upd::lint::Check(OptionsFor(c));
    Sandbox().Protect(true);
    // What the updater does before the run itself: it takes its lock, whose
    // file it makes, and removes a stale flash copy.
    upd::RunLock lock;
    FUZZ_CHECK(lock.Take());
    upd::RemoveStaleFlashCopy();
    const Outcome outcome = upd::fuzz::Run(c, /*shellModel=*/true);
    Sandbox().Protect(false);
    FUZZ_CHECK(::fchdir(cwd) == 0 && ::close(cwd) == 0);
    upd::FreeSectionList(&const_cast<Outcome&>(outcome).info.sections);
    upd::FreeAuxInfo();
    const Tree after = upd::fuzz::Snapshot(false);
    const upd::fuzz::RestoreAtEnd restore(after, Base());
    Compare(report, outcome, c.manifest);
    return 0;
}
