// The packing run, step by step: read the source manifest as the instrument
// would, find the files its listed sections take from the stick, stage them,
// fill in or check their digests, write, check and sign the manifest, run the
// stick checker, make the image, and publish.
#include "pack/pack.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "digest/ssl.h"
#include "files/file.h"
#include "lint/lint.h"
#include "manifest/auxinfo.h"
#include "pack/image.h"
#include "pack/keys.h"
#include "pack/source_manifest.h"
#include "pack/staging.h"
#include "pack/stick_files.h"
#include "update/update.h"

namespace upd::pack {
namespace {

namespace fs = std::filesystem;

// The manifest's and its signature's places relative to the stick's root.
const std::string kManifest = std::string(kManifestPath).substr(kStickMount.size() + 1);
const std::string kSignature = std::string(kSignaturePath).substr(kStickMount.size() + 1);

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

// One digest key a section carries for a file on the stick.
struct DigestKey {
    std::string section;
    const char* key;       // "MD5Hash" or "SHA256Hash"
    std::string relative;  // the file, relative to the stick's root
    std::string value;     // the file's digest, lowercase
};

class Packer {
  public:
    Packer(const Options& options, std::ostream& log) : options_(options), log_(log) {}

    Outcome Run() {
        const bool written = ReadSource() && ListFiles() && Stage() && CopyFiles() && Digests() &&
                             WriteManifest() && CheckManifest() && Sign() && Lint() &&
                             MakeImage() && Publish();
        return written ? Outcome::kWritten : outcome_.value_or(Outcome::kFailed);
    }

  private:
    bool Refuse(const std::string& message) {
        log_ << message << "\n";
        // A failure met on the way stays the outcome.
        outcome_ = outcome_.value_or(Outcome::kRefused);
        return false;
    }
    bool Fail(const std::string& message) {
        log_ << "update-pack: " << message << "\n";
        outcome_ = Outcome::kFailed;
        return false;
    }
    // "SOURCE:LINE: " or "SOURCE: " for messages about the source manifest.
    std::string At(int line = 0) const {
        return options_.source + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
    }

    // The source manifest, as text to edit and in the store for lookups.
    bool ReadSource() {
        std::optional<std::string> text = ReadText(options_.source);
        if (!text) {
            return Fail("cannot read the source manifest " + options_.source);
        }
        if (text->starts_with(kByteOrderMark)) {
            text->erase(0, kByteOrderMark.size());
            log_ << At(1) << "byte-order mark removed (the instrument would take it for part of "
                 << "the first section's name and run nothing)\n";
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

    // The files the listed sections take, each found among the source files.
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
        for (const std::string& section : sections) {
            for (SectionFile& file : FilesOfSection(section.c_str())) {
                ok = Place(file) && ok;
                files_.push_back(std::move(file));
            }
        }
        return ok || Refuse(At() + "refused: the package's files are not all there");
    }

    // Decides where the stick file `file` comes from; false when it cannot be.
    bool Place(const SectionFile& file) {
        const int line = manifest_->LineOf(file.section, file.key);
        const std::optional<std::string> relative = StickRelative(file.path);
        if (!relative) {
            if (file.path.starts_with(std::string(kStickMount) + "/")) {
                log_ << At(line) << "section " << file.section << ": " << file.key << " names "
                     << file.path << ", which is not a file on the stick\n";
                return false;
            }
            return true;  // a file of the instrument's, not the package's
        }
        if (*relative == kManifest || *relative == kSignature) {
            log_ << At(line) << "section " << file.section << ": " << file.key << " names "
                 << file.path << ", the manifest's own place\n";
            return false;
        }
        if (sources_.count(*relative)) {
            return true;
        }
        // The place under the mount point mapped onto the source folder, or
        // else the file of that name beside the source manifest.
        const fs::path folder = fs::path(options_.source).parent_path();
        const fs::path candidates[] = {folder / *relative, folder / fs::path(*relative).filename()};
        std::error_code ec;
        for (const fs::path& candidate : candidates) {
            if (fs::is_regular_file(candidate, ec)) {
                sources_[*relative] = candidate.string();
                return true;
            }
        }
        log_ << At(line) << "section " << file.section << ": " << file.key << " names " << file.path
             << ", but neither " << candidates[0].string() << " nor " << candidates[1].string()
             << " is a file\n";
        return false;
    }

    bool Stage() {
        std::string error;
        return staging_.Create(options_.outputDir, options_.image, &error) || Fail(error);
    }

    bool CopyFiles() {
        std::error_code ec;
        for (const auto& [relative, source] : sources_) {
            const fs::path target = fs::path(staging_.Stick()) / relative;
            fs::create_directories(target.parent_path(), ec);
            if (ec || !fs::copy_file(source, target, ec) || ec) {
                return Fail("cannot copy " + source + " to the stick: " + ec.message());
            }
        }
        return true;
    }

    // Fills in each missing digest of a file on the stick and checks each
    // present one; a digest that does not match is refused, not replaced.
    bool Digests() {
        bool ok = true;
        for (const SectionFile& file : files_) {
            const std::optional<std::string> relative = StickRelative(file.path);
            const bool onStick = relative.has_value();
            if (file.md5 && onStick) {
                ok = CheckDigest(file, "MD5Hash", *relative) && ok;
            }
            if (file.sha256 && onStick) {
                ok = CheckDigest(file, "SHA256Hash", *relative) && ok;
            }
            // A file on the instrument cannot be digested here; TransferFile
            // needs both digests all the same.
            if (file.md5 && !onStick &&
                (!Lookup(file.section, "MD5Hash") || !Lookup(file.section, "SHA256Hash"))) {
                log_ << At(manifest_->LineOf(file.section, file.key)) << "section " << file.section
                     << ": " << file.path
                     << " is not on the stick, so its MD5Hash and SHA256Hash cannot be filled "
                        "in; give both\n";
                ok = false;
            }
        }
        return ok || Refuse(At() + "refused: digests do not match the files");
    }

    bool CheckDigest(const SectionFile& file, const char* key, const std::string& relative) {
        const std::string staged = staging_.Stick() + "/" + relative;
        char digest[65] = {};
        const bool md5 = std::string_view(key) == "MD5Hash";
        if (!(md5 ? MD5Hash(staged.c_str(), digest, sizeof digest)
                  : SHA256Hash(staged.c_str(), digest))) {
            return Fail("cannot read " + staged);
        }
        digests_.push_back({file.section, key, relative, digest});
        const std::optional<std::string> given = Lookup(file.section, key);
        if (!given) {
            manifest_->AppendKey(file.section, key, digest);
            log_ << At() << "section " << file.section << ": " << key << " of " << relative
                 << " filled in\n";
            return true;
        }
        if (*given == digest) {
            return true;
        }
        log_ << At(manifest_->LineOf(file.section, key)) << "section " << file.section << ": "
             << key << " " << *given
             << (EqualIgnoringCase(*given, digest)
                     ? " is not in lowercase; the instrument compares digests exactly: write "
                     : " does not match " + relative + ", whose digest is ")
             << digest << "\n";
        return false;
    }

    bool WriteManifest() {
        std::error_code ec;
        const fs::path path = fs::path(staging_.Stick()) / kManifest;
        fs::create_directories(path.parent_path(), ec);
        return (!ec && WriteText(path.string(), manifest_->Text())) ||
               Fail("cannot write " + path.string());
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

    bool Sign() {
        if (options_.privateKey.empty()) {
            return true;
        }
        const std::string manifest = staging_.Stick() + "/" + kManifest;
        const std::string signature = staging_.Stick() + "/" + kSignature;
        publicKey_ = staging_.Scratch("public.pem");
        std::string error;
        if (!SignFile(options_.privateKey, manifest, signature, publicKey_, &error)) {
            return Fail(error);
        }
        if (!VerifiesOnInstrument(manifest, signature, publicKey_)) {
            return Fail("the signature does not verify with the key's public half");
        }
        return true;
    }

    // The stick checker on the staged stick, signed with the key's public half
    // when signing: its errors refuse the pack, its warnings are shown, each
    // with its line in the source manifest.
    bool Lint() {
        lint::Options lintOptions;
        lintOptions.stick = staging_.Stick();
        lintOptions.publicKey = publicKey_;
        std::vector<lint::Finding> findings = lint::LintStick(lintOptions);
        for (lint::Finding& finding : findings) {
            finding.line = manifest_->SourceLineOf(finding.line);
        }
        if (!findings.empty()) {
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
        std::string error;
        return options_.image.empty() ||
               WriteStickImage(staging_.Stick(), staging_.Image(), &error) || Fail(error);
    }

    bool Publish() {
        std::string error;
        if (!staging_.Publish(&error)) {
            return Fail(error);
        }
        log_ << "update-pack: wrote " << options_.outputDir << ": " << kManifest << ", "
             << sources_.size() << " package file" << (sources_.size() == 1 ? "" : "s")
             << (publicKey_.empty() ? ", unsigned" : ", signed")
             << (options_.image.empty() ? "" : ", image " + options_.image) << "\n";
        return true;
    }

    const Options& options_;
    std::ostream& log_;
    std::optional<Outcome> outcome_;
    StoreRelease store_;
    std::optional<SourceManifest> manifest_;
    std::vector<SectionFile> files_;
    std::map<std::string, std::string> sources_;  // stick path -> source file
    std::vector<DigestKey> digests_;
    Staging staging_;
    std::string publicKey_;
};

}  // namespace

Outcome Pack(const Options& options, std::ostream& log) {
    return Packer(options, log).Run();
}

}  // namespace upd::pack
