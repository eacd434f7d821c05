// Checks an update stick: the updater's run from the load of the manifest to
// its last section, predicted from the stick (and from an instrument's file
// tree when one is given) with the updater's own manifest store, run-list
// expansion, digests, signature check and value buffers.
#include "lint/lint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "digest/ssl.h"
#include "lint/accept.h"
#include "lint/checker.h"
#include "manifest/auxinfo.h"
#include "manifest/nv.h"
#include "stick/tree.h"
#include "update/codes.h"
#include "update/limits.h"
#include "update/update.h"

namespace upd::lint {

namespace {

constexpr char kListSection[] = "SectionList";
constexpr char kSequence[] = "Sequence";

// Keeps a caller's manifest store aside while the stick's manifest is loaded
// into the process-wide store, and puts it back afterwards.
class StoreAside {
  public:
    StoreAside() : saved_(aux_Section) { aux_Section = nullptr; }
    ~StoreAside() {
        FreeAuxInfo();
        aux_Section = saved_;
    }
    StoreAside(const StoreAside&) = delete;
    StoreAside& operator=(const StoreAside&) = delete;

  private:
    AuxSection* saved_;
};

struct FreeBytes {
    void operator()(unsigned char* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<unsigned char, FreeBytes>;

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct RunList {
    Section* head = nullptr;
    ~RunList() { FreeSectionList(&head); }
};

// Standard output closed for the length of a call that reports on it.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int saved_;
};

// With -s the updater reads the manifest's bytes once and parses them from memory.
bool ParseBytes(unsigned char* bytes, unsigned int length) {
    static char empty[1];
    FILE* stream = length > 0 ? ::fmemopen(bytes, length, "r") : ::fmemopen(empty, 0, "r");
    if (stream == nullptr) {
        return false;
    }
    const int loaded = ReadAuxInfoStream(stream);
    std::fclose(stream);
    return loaded != 0;
}

// Loads the manifest's bytes, read once, into the store: with -s the updater
// parses the bytes it read; without, it reads the file itself, which gives the
// same lines.
bool LoadManifest(Checker& c, Paths::State state, const Bytes& bytes, unsigned int length,
                  const std::string& path) {
    bool loaded = false;
    if (bytes) {
        loaded = ParseBytes(bytes.get(), length);
    } else if (state == Paths::State::kFile && !c.Signed()) {
        loaded = ReadAuxInfo(path.c_str()) != 0;  // too large to be read at once
    }
    if (loaded) {
        return true;
    }
    const ManifestLines& lines = c.lines();
    if (state != Paths::State::kFile && state != Paths::State::kMissing) {
        c.Error("", 0, kErrManifestUnreadable, "manifest-unreadable",
                "firmware/AuxInfo.txt is no regular file: the instrument cannot read it");
    } else if (!lines.opened) {
        c.Error("", 0, kErrManifestUnreadable, "manifest-unreadable",
                "the stick has no readable firmware/AuxInfo.txt");
    } else if (lines.tooLongLine != 0) {
        c.Error("", lines.tooLongLine, kErrManifestUnreadable, "manifest-unreadable",
                "the line holds more than " + std::to_string(kManifestLineSize - 1) +
                    " characters: the instrument cannot load the manifest");
    } else if (lines.pairBeforeSection != 0) {
        c.Error("", lines.pairBeforeSection, kErrManifestUnreadable, "manifest-unreadable",
                "a name = value line before the first section: the instrument cannot load the "
                "manifest");
    } else {
        c.Error("", 0, kErrManifestUnreadable, "manifest-unreadable",
                "the instrument cannot read firmware/AuxInfo.txt");
    }
    return false;
}

void CheckSignature(Checker& c, const unsigned char* manifest, unsigned int length) {
    std::unique_ptr<EVP_PKEY, FreeKey> key(EVP_PKEY_new());
    EVP_PKEY* raw = key.release();
    struct stat st {};
    const bool keyRead = raw != nullptr && ::stat(c.options().publicKey.c_str(), &st) == 0 &&
                         S_ISREG(st.st_mode) &&
                         ReadPublicKey(c.options().publicKey.c_str(), &raw) != 0;
    key.reset(raw);
    if (!keyRead) {
        c.Error("", 0, kErrSignature, "signature-key-unreadable",
                "the public key " + Quote(c.options().publicKey) + " holds no RSA public key");
        return;
    }
    unsigned char* signature = nullptr;
    unsigned int signatureLength = 0;
    const std::optional<FileData> file = c.paths().Regular(kSignaturePath);
    if (!file || !ReadBytesFromFile(file->host.c_str(), &signature, &signatureLength)) {
        c.Error("", 0, kErrSignature, "signature-missing",
                "the stick has no firmware/AuxInfo.txt.sha256 that is a readable regular file");
        return;
    }
    Bytes owned(signature);
    int verified = 0;
    {
        // The check reports OpenSSL's failures on standard output, where this
        // program writes its report.
        QuietStdout quiet;
        verified = VerifyIt(manifest, length, signature, signatureLength, key.get());
    }
    if (verified != 1) {
        c.Error("", 0, kErrSignature, "signature-mismatch",
                "firmware/AuxInfo.txt.sha256 is no signature of the manifest's bytes under " +
                    Quote(c.options().publicKey));
    }
}

// What the store holds that the updater never reads: sections and keys that
// a lookup by name cannot reach.
void CheckShadowed(Checker& c) {
    const ManifestLines& lines = c.lines();
    if (lines.byteOrderMark) {
        c.Warn("", 1, "byte-order-mark",
               "the manifest starts with a UTF-8 byte-order mark, which becomes part of the first "
               "section's name");
    }
    std::set<std::string> sections;
    for (const SectionLines& s : lines.sections) {
        if (!sections.insert(s.name).second) {
            c.Warn(s.name, s.line, "duplicate-section",
                   "a second section of this name: the instrument reads only the first (line " +
                       std::to_string(lines.SectionLine(s.name)) + ")");
            continue;
        }
        std::set<std::string> keys;
        for (const KeyLine& k : s.keys) {
            if (!keys.insert(k.name).second) {
                c.Warn(s.name, k.line, "duplicate-key",
                       "key " + k.name + " again: the instrument reads only the first (line " +
                           std::to_string(lines.KeyLine(s.name, k.name)) + ")");
            }
        }
    }
}

// The items of a list value, as the run-list expansion splits them.
std::vector<std::string> ListItems(const std::string& key) {
    char value[kListValueSize];
    bool found = false;
    std::vector<std::string> items;
    if (!GetAuxInfo(kListSection, key.c_str(), value, sizeof value, &found) || !found) {
        return items;
    }
    char** list = mklist1(value, ',');
    for (char** item = list; item != nullptr && *item != nullptr; ++item) {
        items.emplace_back(*item);
    }
    free_mklist1(list);
    return items;
}

// The line of the first list that names each item.
std::map<std::string, int> ListedAt(const Checker& c) {
    std::map<std::string, int> at;
    if (const SectionLines* list = c.lines().Find(kListSection)) {
        for (const KeyLine& k : list->keys) {
            for (std::string& item : ListItems(k.name)) {
                at.emplace(std::move(item), k.line);
            }
        }
    }
    return at;
}

void ReportRunListFailure(Checker& c) {
    if (const SectionLines* list = c.lines().Find(kListSection)) {
        for (const KeyLine& k : list->keys) {
            if (ListItems(k.name).empty()) {
                c.Error(kListSection, k.line, kErrRunListFailed, "run-list-invalid",
                        "the run list cannot be built: " + k.name + " is an empty list");
                return;
            }
        }
    }
    c.Error(kListSection, c.lines().KeyLine(kListSection, kSequence), kErrRunListFailed,
            "run-list-invalid",
            "the run list cannot be built: a list leads back to itself, a list value has " +
                std::to_string(kListValueSize) + " characters or more, or the run list would " +
                "have more than " + std::to_string(kMaxRunListEntries) + " entries");
}

void WarnNoSequence(Checker& c) {
    const ManifestLines& lines = c.lines();
    const bool hasList = lines.Find(kListSection) != nullptr;
    bool found = false;
    char ignored[kListValueSize];
    GetAuxInfo(kListSection, kSequence, ignored, sizeof ignored, &found);
    if (found) {
        return;
    }
    const std::string what = hasList ? "SectionList has no Sequence" : "no section SectionList";
    c.Warn(hasList ? kListSection : "", hasList ? lines.SectionLine(kListSection) : 0,
           "no-sequence",
           what + (lines.Find(kSequence) != nullptr
                       ? ": the instrument runs only the section named Sequence"
                       : ": nothing runs, and the instrument reports success"));
}

// Keys that the section's operation does not read.
void CheckKeys(Checker& c, const std::string& section, const std::string& operation) {
    const std::vector<std::string_view>& read = KeysRead(operation);
    const SectionLines* s = c.lines().Find(section);
    if (s == nullptr || read.empty()) {
        return;
    }
    for (const KeyLine& k : s->keys) {
        bool known = operation == "RemoveFiles" && FileNumber(k.name) > 0;
        std::string hint;
        for (std::string_view name : read) {
            known = known || name == k.name;
            if (DiffersOnlyInCase(k.name, name)) {
                hint = " (" + std::string(name) + " is, and names are case-sensitive)";
            }
        }
        if (!known) {
            c.Warn(section, k.line, "key-unread",
                   operation + " does not read key " + k.name + hint);
        }
    }
}

constexpr std::string_view kOperations[] = {"TransferFile", "ConfigUpdate", "BackupFiles",
                                            "MSP430Update", "FlashUpdate",  "RemoveFiles",
                                            "Reboot"};

// What the instrument does with a listed section it cannot run: it passes it
// over without a code and reports success, leaving the old firmware in place.
constexpr char kPassedOver[] =
    ": the instrument passes the section over without a code and reports success";

// The number of single-character edits that make `a` into `b`.
std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean X?)" for the candidate nearest to `text`, within two edits.
std::string Nearest(std::string_view text, const std::vector<std::string_view>& candidates) {
    std::string_view best;
    std::size_t distance = 3;
    for (std::string_view candidate : candidates) {
        const std::size_t d =
            DiffersOnlyInCase(text, candidate) ? 1 : EditDistance(text, candidate);
        if (d < distance) {
            best = candidate;
            distance = d;
        }
    }
    return best.empty() ? "" : " (did you mean " + std::string(best) + "?)";
}

void ReportUnknownOperation(Checker& c, const std::string& section, const Value& op) {
    const std::vector<std::string_view> operations(std::begin(kOperations), std::end(kOperations));
    c.Error(section, op.line, 0, "operation-unknown",
            "Operation " + Quote(op.text) + " is no operation (names are case-sensitive)" +
                kPassedOver + Nearest(op.text, operations));
}

// What a notice leaves on the instrument: the download folder made sure of,
// and the error file holding the notice.
void Notice(Checker& c, int code) {
    Paths& paths = c.paths();
    if (!paths.Exists(kDownloadDir)) {
        paths.MakeDirectory(kDownloadDir);
    }
    auto bytes = std::make_shared<const std::string>("1902 " + std::to_string(code) + "\n");
    if (paths.StateOf(kErrorFilePath) != Paths::State::kSpecial) {
        paths.Write(kErrorFilePath, FileData{"", bytes, bytes->size(), false});
    }
}

// Carries out one entry of the run list as the updater would.
void CheckSection(Checker& c, const std::string& section, bool firstVisit,
                  const std::map<std::string, int>& listedAt) {
    const Value op = c.Read(section, "Operation", kOperationSize);
    const auto at = listedAt.find(section);
    const int sectionLine = c.lines().SectionLine(section);
    c.BeginStep(section,
                sectionLine != 0       ? sectionLine
                : at != listedAt.end() ? at->second
                                       : c.lines().SectionLine(kListSection),
                op.found && op.fits ? op.text : "");
    if (!op.fits) {
        c.Error(section, op.line, kErrOperationTooLong, "operation-too-long",
                "Operation is longer than the instrument's " + std::to_string(kOperationSize - 1) +
                    " characters");
        return;
    }
    if (!op.found) {
        if (c.lines().Find(section) == nullptr) {
            std::vector<std::string_view> sections;
            for (const SectionLines& s : c.lines().sections) {
                sections.push_back(s.name);
            }
            c.Error(section,
                    at != listedAt.end() ? at->second : c.lines().SectionLine(kListSection), 0,
                    "section-missing",
                    "the run list names section " + Quote(section) + ", which does not exist" +
                        kPassedOver + Nearest(section, sections));
        } else {
            c.Error(section, c.lines().SectionLine(section), 0, "operation-missing",
                    std::string("no Operation") + kPassedOver);
        }
        return;
    }
    if (firstVisit) {
        CheckKeys(c, section, op.text);
    }
    using Check = bool (*)(Checker&, const std::string&);
    static const std::pair<std::string_view, Check> kChecks[] = {
        {"ConfigUpdate", CheckConfigUpdate}, {"BackupFiles", CheckBackupFiles},
        {"MSP430Update", CheckMSP430Update}, {"FlashUpdate", CheckFlashUpdate},
        {"RemoveFiles", CheckRemoveFiles},
    };
    if (op.text == "TransferFile") {
        // After every transfer that succeeds, a file found not newer (now or
        // earlier in the run) is reported as a notice, and the run goes on.
        if (CheckTransferFile(c, section) && (c.flags & (UPD_SAME | UPD_OLDER))) {
            const int notice = (c.flags & UPD_SAME) ? kNoticeSame : kNoticeOlder;
            c.Warn(section, c.lines().SectionLine(section), "notice",
                   "the instrument then writes notice " + std::to_string(notice) +
                       " to the error file and goes on",
                   notice);
            Notice(c, notice);
        }
        return;
    }
    if (op.text == "Reboot") {
        c.Outcome("reboots");
        c.Puts("the instrument reboots once the whole run is done");
        return;
    }
    for (const auto& [name, check] : kChecks) {
        if (op.text == name) {
            check(c, section);
            return;
        }
    }
    ReportUnknownOperation(c, section, op);
}

// Reboots that other sections follow, and sections that nothing runs.
void CheckRunShape(Checker& c, const std::vector<std::string>& run) {
    for (std::size_t i = 0; i + 1 < run.size(); ++i) {
        const Value op = c.Read(run[i], "Operation", kOperationSize);
        if (op.text == "Reboot") {
            c.Warn(run[i], c.lines().SectionLine(run[i]), "reboot-not-last",
                   "Reboot is not last: the sections after it still run, and the instrument "
                   "reboots at the end of the run");
        }
    }
    const std::set<std::string> listed(run.begin(), run.end());
    std::set<std::string> named;  // lists named by other lists
    if (const SectionLines* list = c.lines().Find(kListSection)) {
        for (const KeyLine& k : list->keys) {
            for (const std::string& item : ListItems(k.name)) {
                named.insert(item);
            }
        }
        for (const KeyLine& k : list->keys) {
            if (k.name != kSequence && named.count(k.name) == 0) {
                c.Warn(kListSection, k.line, "list-unused",
                       "the list " + k.name + " is named by no other list");
            }
        }
    }
    std::set<std::string> seen;
    for (const SectionLines& s : c.lines().sections) {
        if (seen.insert(s.name).second && s.name != kListSection && listed.count(s.name) == 0 &&
            c.Read(s.name, "Operation", kOperationSize).found) {
            c.Warn(s.name, s.line, "section-unlisted",
                   "the run list does not name this section: it never runs");
        }
    }
}

// The findings of the walk, with the maker's accepts applied.
Report Finish(Checker& c, const AcceptComments& comments) {
    Report report = c.TakeReport();
    report.findings.insert(report.findings.end(), comments.malformed.begin(),
                           comments.malformed.end());
    std::vector<Accept> accepts = comments.accepts;
    accepts.insert(accepts.end(), c.options().accepts.begin(), c.options().accepts.end());
    ApplyAccepts(accepts, &report.findings);
    return report;
}

}  // namespace

Report Check(const Options& options) {
    Checker c(options);
    // Before anything else the updater takes its lock (the file made when
    // missing) and removes a verified flash copy that an interrupted run left.
    Paths& paths = c.paths();
    if (paths.StateOf(kLockPath) == Paths::State::kMissing) {
        paths.Create(kLockPath, FileData{"", std::make_shared<const std::string>(), 0, false});
    }
    paths.Unlink(kFlashCopyPath);
    // Only a regular file is ever opened: anything else is refused.
    const Paths::Entry found = c.paths().Look(kManifestPath);
    Bytes manifest;
    unsigned int length = 0;
    AcceptComments comments;
    if (found.state == Paths::State::kFile) {
        unsigned char* data = nullptr;
        if (ReadBytesFromFile(found.file->host.c_str(), &data, &length)) {
            manifest.reset(data);
            const std::string_view bytes(reinterpret_cast<const char*>(data), length);
            c.SetLines(ScanManifest(bytes));
            comments = ReadAcceptComments(bytes, c.lines());
        }
    }
    for (const stick::TreeProblem& problem : stick::CheckTree(options.stick)) {
        c.StickError("no FAT stick can hold this folder as it is: " + problem.message);
    }
    if (options.timeStamp && options.timeStamp->size() >= kTimeStampSize) {
        c.Error("", 0, kErrTimeStampArgTooLong, "time-stamp-argument-too-long",
                "the -t time stamp is longer than " + std::to_string(kTimeStampSize - 1) +
                    " characters");
    }

    StoreAside store;
    if (!LoadManifest(c, found.state, manifest, length, found.file ? found.file->host : "")) {
        return Finish(c, comments);
    }
    if (c.Signed()) {
        CheckSignature(c, manifest.get(), length);
    }
    CheckShadowed(c);

    RunList list;
    if (!BuildSectionList(kListSection, kSequence, &list.head)) {
        ReportRunListFailure(c);
        return Finish(c, comments);
    }
    WarnNoSequence(c);
    std::vector<std::string> run;
    for (const Section* s = list.head; s != nullptr; s = s->next) {
        run.emplace_back(s->name);
    }
    std::set<std::string> visited;
    const std::map<std::string, int> listedAt = ListedAt(c);
    for (const std::string& section : run) {
        CheckSection(c, section, visited.insert(section).second, listedAt);
    }
    CheckRunShape(c, run);
    return Finish(c, comments);
}

std::vector<Finding> LintStick(const Options& options) {
    return Check(options).findings;
}

}  // namespace upd::lint
