// The whole-run fuzz targets' run of one input: the updater's run from the
// mounted stick with the input's options, the manifest loaded again to read
// its run list, and the bound on the run lists that are run at all.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/auxinfo.h"
#include "platform/platform.h"
#include "run_input.h"
#include "run_instrument.h"
#include "run_model.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd::fuzz {

// Most names a run list of a fuzzed manifest may have. Lists that name lists
// several times multiply up to the updater's own limit of 65,536 names, and a
// run that long would spend the fuzzer's time on one input; the expansion
// and its limit are fuzzed on their own elsewhere.
inline constexpr size_t kRunListLimit = 32;

// What a run returned, and the commands it made.
struct Outcome {
    int status = -1;
    UpdateInfo info{};
    std::vector<Call> calls;
};

// The updater's run from the mounted stick, with the input's options; with
// `shellModel`, commands whose program cannot run fail as the shell fails them.
inline Outcome Run(const Case& c, bool shellModel = false) {
    Outcome out;
    std::snprintf(out.info.device, sizeof out.info.device, "%s", Replay::kStick);
    if (c.options & kForce) {
        out.info.flags |= UPD_FORCE;
    }
    if (c.options & kTimeStamp) {
        out.info.flags |= UPD_TIMESTAMP;
        std::snprintf(out.info.timeStamp, sizeof out.info.timeStamp, "%s", c.stamp.c_str());
    }
    if (c.signing != Signing::kNone) {
        out.info.flags |= UPD_SSL;
    }
    RunPlatform instrument(c.failing, c.options & kKilled, c.options & kUmountFails, shellModel);
    platform::Platform* previous = platform::Install(&instrument);
    Mounted = true;
    AuxInfo = false;
    out.status = RunSequence(&out.info);
    platform::Install(previous);
    out.calls = std::move(instrument.calls);
    return out;
}

// The manifest loaded again after a run, with its run list; both released
// with the object.
class Store {
  public:
    explicit Store(const std::string& manifest, size_t limit = kMaxRunListEntries) {
        // An empty manifest is read from an empty stream, as the updater does.
        static char none[1];
        FILE* stream = manifest.empty()
                           ? ::fmemopen(none, 0, "r")
                           : ::fmemopen(const_cast<char*>(manifest.data()), manifest.size(), "r");
        if (stream == nullptr) {
            return;
        }
        const bool read = ReadAuxInfoStream(stream) != 0;
        std::fclose(stream);
        read_ = read;
        loaded_ = read && BuildSectionList("SectionList", "Sequence", &list_, limit);
    }
    ~Store() {
        FreeSectionList(&list_);
        FreeAuxInfo();
    }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Whether the manifest was read and its run list built.
    bool loaded() const { return loaded_; }
    // Whether the manifest was read (its run list may have failed).
    bool read() const { return read_; }
    const Section* list() const { return list_; }

  private:
    Section* list_ = nullptr;
    bool read_ = false;
    bool loaded_ = false;
};

// A bound on the names of the manifest's run list, from its text alone: a
// list of n items holds at most n times the names of its longest item, so
// the run list holds at most the product of (commas + 1) over the lines of
// the SectionList section. Lines are counted generously (every section whose
// name mentions it, whatever their form), so the bound is never too low.
inline size_t ListBound(std::string_view manifest) {
    size_t bound = 1;
    bool inList = false;
    for (size_t start = 0; start < manifest.size() && bound <= kRunListLimit;) {
        size_t end = manifest.find('\n', start);
        if (end == std::string_view::npos) {
            end = manifest.size();
        }
        const std::string_view line = manifest.substr(start, end - start);
        start = end + 1;
        const size_t text = line.find_first_not_of(" \t\r");
        if (text == std::string_view::npos || line[text] == '#' || line[text] == ';') {
            continue;  // blank lines and comments end no section
        }
        if (line.find('=') == std::string_view::npos) {
            constexpr std::string_view kList = "sectionlist";
            inList = std::search(line.begin(), line.end(), kList.begin(), kList.end(),
                                 [](unsigned char a, char b) { return std::tolower(a) == b; }) !=
                     line.end();
        } else if (inList) {
            bound *= static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
        }
    }
    return bound;
}

// Whether the manifest's run list has more names than kRunListLimit. The
// input is then not run. A list that fails sooner (a cycle, an empty list) is
// run: the updater refuses it as quickly.
inline bool TooLong(const std::string& manifest) {
    if (ListBound(manifest) <= kRunListLimit) {
        return false;
    }
    const Store store(manifest, kRunListLimit);
    if (!store.read() || store.loaded()) {
        return false;
    }
    size_t names = 0;
    for (const Section* s = store.list(); s != nullptr; s = s->next) {
        ++names;
    }
    return names == kRunListLimit;
}

}  // namespace upd::fuzz
