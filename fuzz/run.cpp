// Fuzzes the updater's whole run from a mounted stick: the input becomes a
// manifest and the files its sections name, laid out on a private instrument
// tree, and the sequence runner carries it out through a platform that mounts
// nothing and runs no shell (each command is recorded and given a status the
// input chooses). Every run must end, report only codes of the code table,
// write nothing outside the tree, leave every installed or merged path a whole
// file, release the manifest store and the run list, and a run reported
// complete must have left exactly the files and made exactly the shell
// commands that its sections' rules give.
// The input's layout is in run_input.h.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "run_case.h"
#include "run_entry.h"
#include "run_input.h"
#include "run_instrument.h"
#include "run_model.h"
#include "run_sandbox.h"
#include "run_tree.h"

namespace {

using upd::fuzz::Call;
using upd::fuzz::Case;
using upd::fuzz::Outcome;
using upd::fuzz::Replay;
using upd::fuzz::Store;
using upd::fuzz::TooLong;
using upd::fuzz::Tree;

using upd::fuzz::Sandbox;

// The sandbox as entered, with the instrument's empty folders.
Tree& Base() {
    static Tree base;
    return base;
}

// Every regular file whose name marks it as a temporary of the updater.
bool TemporaryLeft(const Tree& tree) {
    for (const auto& [path, file] : tree.files) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (name.find(".update-tmp") != std::string::npos ||
            name.find(".backup-tmp") != std::string::npos || path == upd::kFlashCopyPath) {
            return true;
        }
    }
    return false;
}

bool KnownCode(int code) {
    for (const auto& c : upd::kErrorCodes) {
        if (c.code == code) {
            return true;
        }
    }
    return false;
}

// Calls `visit` with each section of the run list once, however often the
// list names it.
template <typename Visit>
void EachSection(const upd::Section* list, Visit visit) {
    std::set<std::string_view> seen;
    for (const upd::Section* s = list; s != nullptr; s = s->next) {
        if (seen.insert(s->name).second) {
            visit(s->name);
        }
    }
}

// The installed paths of the run's transfers and merges.
std::set<std::string> Installed(const upd::Section* list) {
    std::set<std::string> out;
    EachSection(list, [&out](const char* section) {
        std::string op, path;
        upd::fuzz::Value(section, "Operation", &op);
        if ((op == "TransferFile" || op == "ConfigUpdate") &&
            upd::fuzz::PathValue(section, "DestDir", "DestFile", &path)) {
            if (const auto normal = upd::fuzz::Normalized(path)) {
                out.insert(*normal);
            }
        }
    });
    return out;
}

// The contents a file of the run may hold whole: those of the files laid
// out, and what the run's merges make of them.
std::set<std::string> WholeContents(const upd::Section* list, const Tree& before) {
    std::set<std::string> wholes;
    for (const auto& [path, file] : before.files) {
        wholes.insert(file.content);
    }
    EachSection(list, [&](const char* section) {
        std::string op, raw;
        if (!upd::fuzz::Value(section, "Operation", &op) || op != "ConfigUpdate" ||
            !upd::fuzz::PathValue(section, "SrcDir", "SrcFile", &raw)) {
            return;
        }
        const auto path = upd::fuzz::Normalized(raw);
        const auto src = path ? before.files.find(*path) : before.files.end();
        if (src == before.files.end()) {
            return;
        }
        for (const std::string& installed : std::set<std::string>(wholes)) {
            bool newer = false;
            std::string merged;
            if (upd::fuzz::MergedConfig(src->second.content, installed, &newer, &merged) && newer) {
                wholes.insert(merged);
            }
        }
    });
    return wholes;
}

// The paths the run removes or moves as something other than an installed
// file: listed removals, interim copies, backups and sources, each section
// once. `unknown` when one is spelt so that only the kernel can tell.
struct OtherNames {
    std::set<std::string> paths;
    bool unknown = false;

    explicit OtherNames(const upd::Section* list) {
        EachSection(list, [this](const char* section) {
            std::string path;
            for (const auto& [dirKey, fileKey] :
                 {std::pair{"InterimDir", "InterimFile"}, std::pair{"BackupDir", "BackupFile"},
                  std::pair{"SrcDir", "SrcFile"}}) {
                if (upd::fuzz::PathValue(section, dirKey, fileKey, &path)) {
                    Add(path);
                }
            }
            for (int n = 1; upd::fuzz::Value(section, ("file" + std::to_string(n)).c_str(), &path);
                 ++n) {
                Add(path);
            }
        });
    }

    bool MayName(const std::string& path) const { return unknown || paths.count(path) != 0; }

  private:
    void Add(const std::string& raw) {
        const std::optional<std::string> normal = upd::fuzz::Normalized(raw);
        if (normal) {
            paths.insert(*normal);
        } else {
            unknown = true;
        }
    }
};

// The error file holds one code of the table; a failed run has reported a
// failure there and shown it on the display.
void CheckReport(const Outcome& outcome) {
    std::string reported;
    int code = 0;
    const bool hasErrorFile = upd::fuzz::ReadWhole(upd::kErrorFilePath, &reported);
    if (hasErrorFile) {
        FUZZ_CHECK(std::sscanf(reported.c_str(), "1902 %d\n", &code) == 1);
        FUZZ_CHECK(KnownCode(code));
        FUZZ_CHECK(reported == "1902 " + std::to_string(code) + "\n");
    }
    if (std::getenv("UPD_FUZZ_RUN_TRACE") != nullptr) {
        std::fprintf(stderr, "status %d, code %d, %zu commands\n", outcome.status, code,
                     outcome.calls.size());
    }
    if (outcome.status == 1) {
        FUZZ_CHECK(hasErrorFile && code != upd::kNoticeSame && code != upd::kNoticeOlder);
        const std::string shown =
            upd::fuzz::Splash("Error updating firmware: " + std::to_string(code));
        bool wasShown = false;
        for (const Call& call : outcome.calls) {
            wasShown = wasShown || call.command == shown;
        }
        FUZZ_CHECK(wasShown);
    }
}

// Every installed path that was a whole file is still one: an old file, a
// package file or a merge of this run.
void CheckWholeFiles(const upd::Section* list, const Tree& before, const Tree& after,
                     const Replay* replay) {
    std::set<std::string> laidOut;
    for (const auto& [path, file] : before.files) {
        laidOut.insert(file.content);
    }
    std::optional<std::set<std::string>> merged;
    const OtherNames others(list);
    for (const std::string& path : Installed(list)) {
        if (!before.files.count(path) || others.MayName(path)) {
            continue;
        }
        FUZZ_CHECK(after.files.count(path) != 0);
        const std::string content = upd::fuzz::ContentOf(after, path);
        if (laidOut.count(content) || (replay != nullptr && replay->merges().count(content))) {
            continue;
        }
        if (!merged) {
            merged = WholeContents(list, before);
        }
        FUZZ_CHECK(merged->count(content) != 0);
    }
}

// A run reported complete left exactly the files and folders, and made
// exactly the commands, that the replay of its sections gives.
void CheckComplete(const Replay& replay, const Tree& after) {
    if (replay.MustFail()) {
        std::fprintf(stderr, "run reported complete, but: %s\n", replay.why().c_str());
        FUZZ_CHECK(false);
    }
    for (const auto& [path, file] : replay.tree().files) {
        const auto now = after.files.find(path);
        if (now == after.files.end() || now->second.mode != file.mode ||
            now->second.size != file.size || now->second.content != file.content) {
            std::fprintf(stderr, "after a complete run %s is not as its sections give it\n",
                         path.c_str());
            FUZZ_CHECK(false);
        }
    }
    for (const auto& [path, file] : after.files) {
        if (!replay.tree().files.count(path)) {
            std::fprintf(stderr, "a complete run left %s, which no section made\n", path.c_str());
            FUZZ_CHECK(false);
        }
    }
    for (const std::string& dir : after.dirs) {
        if (!replay.tree().dirs.count(dir)) {
            std::fprintf(stderr, "a complete run made the folder %s, which no section made\n",
                         dir.c_str());
            FUZZ_CHECK(false);
        }
    }
    for (const std::string& dir : replay.tree().dirs) {
        if (!after.dirs.count(dir)) {
            std::fprintf(stderr, "a complete run did not make the folder %s\n", dir.c_str());
            FUZZ_CHECK(false);
        }
    }
}

// Enters the sandbox on the first input, and notes what it holds then with
// the instrument's empty folders.
void EnterSandbox() {
    Sandbox().Enter();
    Sandbox().MountDev();
    upd::fuzz::NoteMounts();
    upd::fuzz::Mounts().erase("/dev");  // the sandbox's own, holding /dev/null
    ::umask(022);
    for (const char* d : upd::fuzz::kLayoutDirs) {
        FUZZ_CHECK(::mkdir(d, 0755) == 0 || errno == EEXIST);
    }
    Base() = upd::fuzz::Snapshot(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!Sandbox().entered()) {
        EnterSandbox();
    }
    const Case c = upd::fuzz::Decode(data, size);
    if (TooLong(c.manifest)) {
        return 0;
    }
    const Tree before = upd::fuzz::LayOut(Base(), c);
    Sandbox().Protect(true);
    const Outcome outcome = Run(c);
    Sandbox().Protect(false);

    // Every run: it ended with 0 or 1, released its run list, left no
    // temporary file, reported only codes of the table (it could write
    // nothing outside the sandbox). The store goes here when a failed operation left it loaded (the
    // process then ends with it).
    FUZZ_CHECK(outcome.status == 0 || outcome.status == 1);
    FUZZ_CHECK(outcome.info.sections == nullptr);
    upd::FreeAuxInfo();
    // A complete run is compared file by file with its replay.
    const Tree after = upd::fuzz::Snapshot(outcome.status == 0);
    const upd::fuzz::RestoreAtEnd restore(after, Base());
    FUZZ_CHECK(!TemporaryLeft(after));
    CheckReport(outcome);

    // What the run's sections say, for the checks of installed files.
    Store store(c.manifest);
    if (!store.loaded()) {
        return 0;
    }
    std::optional<Replay> replay;
    if (outcome.status == 0) {
        replay.emplace(before, outcome.info.flags, c.stamp, outcome.calls);
        replay->Run(store.list());
    }
    if (replay && replay->Follow()) {
        // Every file as the replay gives it, and the replay writes only whole
        // files: this holds every installed path to a whole file too.
        CheckComplete(*replay, after);
    } else {
        CheckWholeFiles(store.list(), before, after, replay ? &*replay : nullptr);
    }
    return 0;
}
