// The packing run, step by step: open the keys, read the source manifest as
// the instrument would, plan the stick from the files its listed sections
// take, stage them, fill in or check their digests, write, check and sign the
// manifest, check the stick as FAT would hold it and as the stick checker
// sees it, make the image and read it back, and publish.
#include "pack/pack.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "lint/image.h"
#include "lint/lint.h"
#include "manifest/auxinfo.h"
#include "pack/image.h"
#include "pack/keys.h"
#include "pack/plan.h"
#include "pack/progress.h"
#include "pack/read_back.h"
#include "pack/source_manifest.h"
#include "pack/staging.h"
#include "pack/stick_files.h"
#include "pack/stick_layout.h"
#include "stick/tree.h"
#include "update/update.h"

namespace upd::pack {
namespace {

namespace fs = std::filesystem;

// The manifest store is process-wide: whatever a pack loaded goes with it.
struct StoreRelease {
    ~StoreRelease() { FreeAuxInfo(); }
};

struct SectionListRelease {
    Section* list = nullptr;
    ~SectionListRelease() { FreeSectionList(&list); }
};

std::optional<std::string> ReadText(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return text.str();
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

bool LoadIntoStore(std::string text) {
    static char empty[1];
    FILE* stream =
        text.empty() ? ::fmemopen(empty, 0, "r") : ::fmemopen(text.data(), text.size(), "r");
    if (stream == nullptr) {
        return false;
    }
    const int loaded = ReadAuxInfoStream(stream);
    std::fclose(stream);
    return loaded != 0;
}

std::optional<std::string> Lookup(const std::string& section, const char* key) {
    char value[kManifestLineSize];
    bool found = false;
    if (!GetAuxInfo(section.c_str(), key, value, sizeof value, &found) || !found) {
        return std::nullopt;
    }
    return std::string(value);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// "A", "A and B", "A, B and C".
std::string Listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
}

std::string Bytes(std::uint64_t size) {
    return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

// One digest key a section carries for a file on the stick.
struct DigestKey {
    std::string section;
    const char* key;    // "MD5Hash" or "SHA256Hash"
    std::string value;  // the file's digest, lowercase
};

enum class DigestState { kFilled, kChecked, kWrong };

class Packer {
  public:
    Packer(const Options& options, std::ostream& log)
        : options_(options),
          log_(log),
          folder_(fs::path(options.source).parent_path().string()),
          plan_(folder_, options.followLinks, !options.privateKey.empty()),
          progress_(options.progress && !options.quiet ? &log : nullptr) {}

    Outcome Run() {
        const bool written = OpenKeys() && ReadSource() && ListFiles() && Stage() && CopyFiles() &&
                             Digests() && WriteManifest() && CheckManifest() && Sign() &&
                             CheckFat() && Lint() && MakeImage() && ReadBack() && Publish();
        progress_.Clear();
        return written ? Outcome::kWritten : outcome_.value_or(Outcome::kFailed);
    }

  private:
    // A line for the maker that --quiet leaves out.
    void Info(const std::string& line) {
        if (!options_.quiet) {
            Say(line);
        }
    }
    void Say(const std::string& line) {
        progress_.Clear();
        log_ << line << "\n";
    }
    bool Refuse(const std::string& message) {
        Say(message);
        // A failure met on the way stays the outcome.
        outcome_ = outcome_.value_or(Outcome::kRefused);
        return false;
    }
    bool Fail(const std::string& message) {
        Say("update-pack: " + message);
        outcome_ = Outcome::kFailed;
        return false;
    }
    // "SOURCE:LINE: " or "SOURCE: " for messages about the source manifest.
    std::string At(int line = 0) const {
        return options_.source + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
    }
    std::string From(const SectionFile& file) const {
        return At(manifest_->LineOf(file.section, file.key)) + "section " + file.section;
    }

    // The keys first: a pass phrase is asked for before the long work, and a
    // key that is not the instrument's stops the pack before it starts.
    bool OpenKeys() {
        if (options_.privateKey.empty()) {
            return options_.instrumentKey.empty() ||
                   Fail("--instrument-key checks a signature: give --key too");
        }
        std::string error;
        if (!key_.Load(options_.privateKey, options_.passPhrase, &error)) {
            return Fail(error);
        }
        Info("update-pack: signing key " + options_.privateKey + ", fingerprint " +
             key_.Fingerprint());
        if (options_.instrumentKey.empty()) {
            return true;
        }
        const std::string instrument = PublicKeyFingerprint(options_.instrumentKey);
        if (instrument.empty()) {
            return Fail("the instrument cannot load the public key " + options_.instrumentKey);
        }
        Info("update-pack: instrument key " + options_.instrumentKey + ", fingerprint " +
             instrument);
        if (instrument != key_.Fingerprint()) {
            return Fail(options_.privateKey + " is not the private half of the instrument's key " +
                        options_.instrumentKey +
                        " (the fingerprints differ): the instrument would refuse the stick "
                        "with 668");
        }
        return true;
    }

    // The source manifest, as text to edit and in the store for lookups.
    bool ReadSource() {
        std::optional<std::string> text = ReadText(options_.source);
        if (!text) {
            return Fail("cannot read the source manifest " + options_.source);
        }
        if (text->starts_with(kByteOrderMark)) {
            text->erase(0, kByteOrderMark.size());
            Say(At(1) +
                "byte-order mark removed (the instrument would take it for part of the first "
                "section's name and run nothing)");
        }
        std::string problem;
        std::optional<SourceManifest> manifest = SourceManifest::Parse(*text, &problem);
        if (!manifest) {
            return Refuse(At() + problem);
        }
        if (!LoadIntoStore(*text)) {
            return Refuse(At() + "the instrument's manifest reader refuses it");
        }
        manifest_ = std::move(manifest);
        return true;
    }

    // The entries the listed sections take, each found among the source
    // entries and judged.
    bool ListFiles() {
        SectionListRelease run;
        if (!BuildSectionList("SectionList", "Sequence", &run.list)) {
            return Refuse(At() +
                          "no run list can be built from Sequence in SectionList "
                          "(the instrument would fail with 613)");
        }
        std::vector<std::string> sections;
        for (const Section* s = run.list; s != nullptr; s = s->next) {
            if (std::find(sections.begin(), sections.end(), s->name) == sections.end()) {
                sections.push_back(s->name);
            }
        }
        bool ok = true;
        std::ostringstream problems;
        for (const std::string& section : sections) {
            for (SectionFile& file : FilesOfSection(section.c_str())) {
                ok = plan_.Place(file, From(file), problems) && ok;
                files_.push_back(std::move(file));
            }
        }
        if (!problems.str().empty()) {
            progress_.Clear();
            log_ << problems.str();
        }
        return ok || Refuse(At() +
                            "refused: the package's files are not all there, or not all "
                            "files a stick can hold");
    }

    bool Stage() {
        std::string error;
        if (!staging_.Create(options_.outputDir, options_.image, &error)) {
            return Fail(error);
        }
        layout_.emplace(staging_.Stick());
        return layout_->Begin(&error) || Fail(error);
    }

    bool CopyFiles() {
        std::ostringstream problems;
        bool ok = true;
        for (const Planned& planned : plan_.entries()) {
            std::string error;
            if (!layout_->Stage(planned, &progress_, problems, &error)) {
                if (!error.empty()) {
                    return Fail(error);
                }
                ok = false;
            }
        }
        if (!problems.str().empty()) {
            progress_.Clear();
            log_ << problems.str();
        }
        return ok || Refuse(At() + "refused: names that FAT takes for one");
    }

    // Fills in each missing digest of a file on the stick and checks each
    // present one; a digest that does not match is refused, not replaced.
    bool Digests() {
        bool ok = true;
        std::set<std::string> told;  // section and stick path, told once
        for (const SectionFile& file : files_) {
            const std::optional<std::string> relative = StickRelative(file.path);
            if (file.expands) {
                continue;
            }
            if (!relative) {
                ok = DigestsOffStick(file) && ok;
                continue;
            }
            const std::optional<std::string> staged = layout_->StagedAt(*relative);
            if (!staged) {
                continue;  // the manifest, its signature or folder, which update-pack writes
            }
            const Planned& planned = *plan_.Find(*relative);
            const CopiedFile* copied = layout_->Copied(*staged);
            std::vector<std::string> filled;
            std::vector<std::string> checked;
            for (const auto& [wanted, key] :
                 {std::pair{file.md5, "MD5Hash"}, std::pair{file.sha256, "SHA256Hash"}}) {
                if (!wanted || copied == nullptr) {
                    continue;
                }
                if (std::string_view(key) == "SHA256Hash" && !FlashDigestWanted(file)) {
                    continue;
                }
                const std::string& digest =
                    std::string_view(key) == "MD5Hash" ? copied->md5 : copied->sha256;
                switch (CheckDigest(file, key, *relative, digest)) {
                    case DigestState::kFilled:
                        filled.push_back(key);
                        break;
                    case DigestState::kChecked:
                        checked.push_back(key);
                        break;
                    case DigestState::kWrong:
                        ok = false;
                        break;
                }
            }
            if (told.insert(file.section + "\n" + *staged).second) {
                Info(From(file) + " (" + file.key + "): " + *staged +
                     (copied == nullptr ? "/, a folder" : ", " + Bytes(copied->size)) + " from " +
                     planned.source.path +
                     (filled.empty() ? "" : "; " + Listed(filled) + " filled in") +
                     (checked.empty() ? "" : "; " + Listed(checked) + " checked"));
            }
            if (!filled.empty() && IsFlash(file)) {
                FlashNotice(file);
            }
        }
        return ok || Refuse(At() + "refused: digests do not match the files");
    }

    // A file on the instrument cannot be digested here; TransferFile needs
    // both digests all the same.
    bool DigestsOffStick(const SectionFile& file) {
        if (file.md5 && (!Lookup(file.section, "MD5Hash") || !Lookup(file.section, "SHA256Hash"))) {
            Say(From(file) + ": " + file.path +
                " is not on the stick, so its MD5Hash and SHA256Hash cannot be filled in; give "
                "both");
            return false;
        }
        return true;
    }

    static bool IsFlash(const SectionFile& file) {
        return Lookup(file.section, "Operation") == "FlashUpdate";
    }

    // A FlashUpdate section gets SHA256Hash unless the maker keeps such
    // sections as written; one that gives it has it checked either way.
    bool FlashDigestWanted(const SectionFile& file) const {
        return !IsFlash(file) || !options_.flashAsWritten || Lookup(file.section, "SHA256Hash");
    }

    // Adding SHA256Hash to a FlashUpdate section changes what the instrument
    // does with it; the maker is told so in plain words.
    void FlashNotice(const SectionFile& file) {
        Say(From(file) + ": notice: SHA256Hash added, which changes what the instrument\n" +
            "    does with this section: it first copies " + file.path + " into " + kDownloadDir +
            "\n    and checks it there (658 when the copy fails, 670 when the digest differs),\n"
            "    gives WriteCommand that copy instead, and stops the run with 638 when\n"
            "    WriteCommand exits non-zero (without SHA256Hash its exit status is ignored\n"
            "    and the run goes on). Write SHA256Hash into the source to keep this, or give\n"
            "    --no-flash-digest to leave the section as written.");
    }

    DigestState CheckDigest(const SectionFile& file, const char* key, const std::string& relative,
                            const std::string& digest) {
        digests_.push_back({file.section, key, digest});
        const std::optional<std::string> given = Lookup(file.section, key);
        if (!given) {
            manifest_->AppendKey(file.section, key, digest);
            return DigestState::kFilled;
        }
        if (*given == digest) {
            return DigestState::kChecked;
        }
        Say(At(manifest_->LineOf(file.section, key)) + "section " + file.section + ": " + key +
            " " + *given +
            (EqualIgnoringCase(*given, digest)
                 ? " is not in lowercase; the instrument compares digests exactly: write "
                 : " does not match " + relative + ", whose digest is ") +
            digest);
        return DigestState::kWrong;
    }

    bool WriteManifest() {
        const std::string path = staging_.Stick() + "/" + kManifest;
        return WriteText(path, manifest_->Text()) || Fail("cannot write " + path);
    }

    // Loads the written manifest as the instrument does and reads every
    // digest back.
    bool CheckManifest() {
        const std::string path = staging_.Stick() + "/" + kManifest;
        if (!ReadAuxInfo(path.c_str())) {
            return Refuse(At() + "the written manifest cannot be loaded by the instrument");
        }
        for (const DigestKey& d : digests_) {
            if (Lookup(d.section, d.key) != d.value) {
                return Refuse(At() + "section " + d.section + ": " + d.key +
                              " does not read back as written");
            }
        }
        return true;
    }

    // Signs with the key opened first, and checks the signature as the
    // instrument will: with the key's public half, and with the instrument's
    // own key when it was given.
    bool Sign() {
        if (options_.privateKey.empty()) {
            return true;
        }
        const std::string manifest = staging_.Stick() + "/" + kManifest;
        const std::string signature = staging_.Stick() + "/" + kSignature;
        publicKey_ = staging_.Scratch("public.pem");
        std::string error;
        if (!key_.SignFile(manifest, signature, &error) ||
            !key_.WritePublicKey(publicKey_, &error)) {
            return Fail(error);
        }
        if (!VerifiesOnInstrument(manifest, signature, publicKey_)) {
            return Fail("the signature does not verify with the key's public half");
        }
        if (!options_.instrumentKey.empty() &&
            !VerifiesOnInstrument(manifest, signature, options_.instrumentKey)) {
            return Fail("the signature does not verify with the instrument's key " +
                        options_.instrumentKey);
        }
        return true;
    }

    // Every entry of the stick as FAT would hold it: names it can store,
    // one entry per FAT name in each folder.
    bool CheckFat() {
        const std::vector<stick::TreeProblem> problems = stick::CheckTree(staging_.Stick());
        for (const stick::TreeProblem& problem : problems) {
            std::vector<std::string> origins;
            for (const std::string& path : {problem.path, problem.other}) {
                if (!path.empty()) {
                    origins.push_back(path + " " + Origin(path));
                }
            }
            Say("update-pack: " + problem.message + " (" + Listed(origins) + ")");
        }
        return problems.empty() ||
               Refuse(At() + "refused: a FAT stick cannot hold these entries as they are");
    }

    std::string Origin(const std::string& staged) const {
        if (staged == kManifest) {
            return "is the manifest";
        }
        if (staged == kSignature) {
            return "is the signature";
        }
        const std::string source = layout_->SourceOf(staged);
        return source.empty() ? "is update-pack's" : "comes from " + source;
    }

    // The stick checker on the staged stick, signed with the instrument's
    // key or else the signing key's public half: its errors refuse the pack,
    // its warnings are shown, each with its line in the source manifest.
    bool Lint() {
        lint::Options lintOptions;
        lintOptions.stick = staging_.Stick();
        lintOptions.publicKey =
            options_.instrumentKey.empty() ? publicKey_ : options_.instrumentKey;
        lintOptions.accepts = options_.accepts;
        progress_.Phase("checking the stick as the instrument would");
        std::vector<lint::Finding> findings = lint::LintStick(lintOptions);
        progress_.Clear();
        for (lint::Finding& finding : findings) {
            finding.line = manifest_->SourceLineOf(finding.line);
        }
        // --quiet leaves out a report of accepted warnings only.
        const bool counts = std::any_of(findings.begin(), findings.end(),
                                        [](const lint::Finding& f) { return !f.accepted; });
        if (counts || (!findings.empty() && !options_.quiet)) {
            progress_.Clear();
            log_ << At() << "the stick checker reports:\n" << lint::FormatText(findings);
        }
        for (const lint::Finding& finding : findings) {
            if (finding.severity == lint::Severity::kError) {
                return Refuse(At() + "refused: the stick checker reports errors");
            }
        }
        return true;
    }

    bool MakeImage() {
        if (options_.image.empty()) {
            return true;
        }
        std::map<std::string, std::string> digests;
        for (const Planned& planned : plan_.entries()) {
            const std::optional<std::string> staged = layout_->StagedAt(planned.relative);
            if (const CopiedFile* copied = staged ? layout_->Copied(*staged) : nullptr) {
                digests[*staged] = copied->sha256;
            }
        }
        std::string error;
        const std::optional<ImageIdentity> identity = IdentifyContent(
            staging_.Stick(), digests, options_.imageTime.value_or(kFirstFatTime), &error);
        if (!identity) {
            return Fail(error);
        }
        progress_.Phase("writing the image " + options_.image);
        const std::optional<std::uint64_t> size =
            WriteStickImage(staging_.Stick(), staging_.Image(), *identity, &error);
        progress_.Clear();
        if (!size) {
            return Fail(error);
        }
        imageSize_ = *size;
        return true;
    }

    // The image counts only once the FAT tools read back from it exactly
    // the staged stick, with the stick checker's own image reader.
    bool ReadBack() {
        if (options_.image.empty()) {
            return true;
        }
        if (options_.imageWritten) {
            options_.imageWritten(staging_.Image());
        }
        std::error_code ec;
        const std::uint64_t size = fs::file_size(staging_.Image(), ec);
        if (ec || size != imageSize_) {
            return Fail("the image is " + (ec ? ec.message() : Bytes(size)) + ", not the " +
                        Bytes(imageSize_) + " written; nothing written");
        }
        progress_.Phase("reading the image back");
        // Read into the staging folder, so that an interruption removes it too.
        const lint::StickImage image(staging_.Image(), staging_.Folder());
        progress_.Clear();
        if (!image.ok()) {
            return Fail("the image cannot be read back: " + image.error());
        }
        const std::vector<std::string> differences =
            CompareTrees(staging_.Stick(), image.root(), &progress_);
        for (const std::string& difference : differences) {
            Say("update-pack: read back from the image: " + difference);
        }
        return differences.empty() ||
               Fail("the image does not hold the stick as it was staged; nothing written");
    }

    bool Publish() {
        std::string error;
        if (!staging_.Publish(&error)) {
            return Fail(error);
        }
        std::size_t files = 0;
        for (const Planned& planned : plan_.entries()) {
            files += planned.source.kind == SourceEntry::Kind::kFile ? 1 : 0;
        }
        Info("update-pack: wrote " + options_.outputDir + ": " + kManifest + ", " +
             std::to_string(files) + " package file" + (files == 1 ? "" : "s") +
             (publicKey_.empty() ? ", unsigned" : ", signed") +
             (options_.image.empty()
                  ? ""
                  : "; image " + options_.image + ", " + std::to_string(imageSize_) + " bytes (" +
                        std::to_string(imageSize_ >> 20) + " MiB)"));
        return true;
    }

    const Options& options_;
    std::ostream& log_;
    std::optional<Outcome> outcome_;
    StoreRelease store_;
    std::string folder_;  // the source manifest's
    SigningKey key_;
    std::optional<SourceManifest> manifest_;
    std::vector<SectionFile> files_;
    Plan plan_;
    std::vector<DigestKey> digests_;
    Staging staging_;
    std::optional<StickLayout> layout_;
    Progress progress_;
    std::string publicKey_;
    std::uint64_t imageSize_ = 0;
};

}  // namespace

Outcome Pack(const Options& options, std::ostream& log) {
    return Packer(options, log).Run();
}

}  // namespace upd::pack
