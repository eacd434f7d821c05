// Fuzzes the updater's whole run from a mounted stick: the input becomes a
// manifest and the files its sections name, laid out on a private instrument
// tree, and the sequence runner carries it out through a platform that mounts
// nothing and runs no shell (each command is recorded and given a status the
// input chooses). Every run must end, report only codes of the code table,
// write nothing outside the tree, leave every installed or merged path a whole
// file, release the manifest store and the run list, and a run reported
// complete must have left exactly the files and made exactly the shell
// commands that its sections' rules give.
//
// Input: byte 0 options, byte 1 the -t time stamp, bytes 2-3 which of the
// first 16 shell commands fail, byte 4 the signing, then texts separated by
// NUL bytes: the manifest, /mnt/pkg/a, /mnt/pkg/b, /mnt/pkg/c, the installed
// configuration /home/Brimwood/etc/app.conf, the installed file
// /home/Brimwood/bin/app, and a signature. A text left out is a file left out. In the manifest,
// @MD5:x@ and @SHA:x@ stand for the digests of /mnt/pkg/x (x = a, b or c).
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "run_model.h"
#include "run_sandbox.h"

namespace {

using upd::fuzz::Call;
using upd::fuzz::Replay;
using upd::fuzz::Tree;

// Option bits of the input's first byte.
constexpr uint8_t kForce = 0x01;        // -f
constexpr uint8_t kTimeStamp = 0x02;    // -t, with the stamp chosen by byte 1
constexpr uint8_t kUmountFails = 0x04;  // unmounting the stick fails (busy)
constexpr uint8_t kKilled = 0x08;       // failing commands are killed, not exit 1
constexpr uint8_t kMainMissing = 0x10;  // the main application is only a backup
// -s from this value of byte 4 on, its low two bits saying how the stick is
// signed. A signed run costs several unsigned ones (the instrument's loading
// of its public key), and a corpus soon holds inputs that ask for it: so only
// one in eight of the inputs that ask run signed, which ones fixed by a hash
// of the input, so that an input always runs the same way.
constexpr uint8_t kSignedFrom = 0xf8;
enum class Signing { kNone, kGood, kText, kNoKey };

constexpr const char* kStamps[] = {"2026-01-01 00:00:00", "2026-06-01 12:00:00",
                                   "20260601120000",      "2026-13-01 00:00:00",
                                   "1970-01-01 00:00:00", "2040-02-29 23:59:59"};

constexpr const char* kPackageFiles[] = {"/mnt/pkg/a", "/mnt/pkg/b", "/mnt/pkg/c"};

// A platform that mounts nothing and runs nothing: commands are recorded and
// given the statuses the input chose, and the stick is pulled at the first
// sleep.
class RunPlatform final : public upd::platform::Platform {
  public:
    RunPlatform(uint16_t failing, bool killed, bool umountFails)
        : failing_(failing), killed_(killed), umountFails_(umountFails) {}

    int Mount(const char*, const char*, const char*, unsigned long, const void*) override {
        errno = EPERM;
        return -1;
    }
    int Umount(const char*) override {
        if (umountFails_) {
            errno = EBUSY;
            return -1;
        }
        return 0;
    }
    void Sync() override {}
    int System(const char* command) override {
        const size_t n = calls.size();
        int status = 0;
        if (n < 16 && (failing_ >> n) & 1) {
            status = killed_ ? SIGKILL : 1 << 8;
        }
        calls.push_back({command, status});
        return status;
    }
    unsigned Sleep(unsigned) override {
        // A run that keeps waiting for a pulled stick never ends.
        FUZZ_CHECK(++sleeps_ < 16);
        if (::rename(Replay::kStick, Replay::kPulledStick) != 0 && errno != ENOENT) {
            const std::string aside = std::string(Replay::kPulledStick) + std::to_string(sleeps_);
            ::rename(Replay::kStick, aside.c_str());
        }
        return 0;
    }

    std::vector<Call> calls;

  private:
    uint16_t failing_;
    bool killed_;
    bool umountFails_;
    unsigned sleeps_ = 0;
};

// Most names a run list of a fuzzed manifest may have. Lists that name lists
// several times multiply up to the updater's own limit of 65,536 names, and a
// run that long would spend the fuzzer's time on one input; the expansion
// and its limit are fuzzed on their own elsewhere.
constexpr size_t kRunListLimit = 256;

// Whether the manifest's run list has more names than kRunListLimit. The
// input is then not run. A list that fails sooner (a cycle, an empty list)
// is run: the updater refuses it as quickly.
bool TooLong(const std::string& manifest) {
    FILE* stream = ::fmemopen(const_cast<char*>(manifest.data()), manifest.size(), "r");
    if (manifest.empty() || stream == nullptr) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        return false;
    }
    const bool loaded = upd::ReadAuxInfoStream(stream) != 0;
    std::fclose(stream);
    upd::Section* list = nullptr;
    bool tooLong = false;
    if (loaded && !upd::BuildSectionList("SectionList", "Sequence", &list, kRunListLimit)) {
        size_t names = 0;
        for (const upd::Section* s = list; s != nullptr; s = s->next) {
            ++names;
        }
        tooLong = names == kRunListLimit;
    }
    upd::FreeSectionList(&list);
    upd::FreeAuxInfo();
    return tooLong;
}

// FNV-1a of the input.
uint32_t Hash(const uint8_t* data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        h = (h ^ data[i]) * 16777619u;
    }
    return h;
}

// The instrument's signing key, made once (small: it only has to be the one
// the instrument's public key checks).
struct Signer {
    EVP_PKEY* key = nullptr;
    std::string publicPem;

    Signer() {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
        FUZZ_CHECK(key != nullptr);
        BIO* bio = BIO_new(BIO_s_mem());
        FUZZ_CHECK(bio != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1);
        char* data = nullptr;
        long len = BIO_get_mem_data(bio, &data);
        publicPem.assign(data, static_cast<size_t>(len));
        BIO_free(bio);
    }

    std::string Sign(const std::string& message) const {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        FUZZ_CHECK(ctx != nullptr);
        size_t len = 0;
        FUZZ_CHECK(EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1);
        FUZZ_CHECK(EVP_DigestSign(ctx, nullptr, &len,
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size()) == 1);
        std::string sig(len, '\0');
        FUZZ_CHECK(EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size()) == 1);
        EVP_MD_CTX_free(ctx);
        sig.resize(len);
        return sig;
    }
};

upd::fuzz::RunSandbox& Sandbox() {
    static upd::fuzz::RunSandbox sandbox;
    return sandbox;
}

// The sandbox as entered, with the instrument's empty folders.
Tree& Base() {
    static Tree base;
    return base;
}

// @MD5:x@ and @SHA:x@ replaced by the digests of the package file x.
std::string Substitute(std::string manifest, const std::vector<std::string>& texts) {
    if (manifest.find('@') == std::string::npos) {
        return manifest;
    }
    for (size_t i = 0; i < 3; ++i) {
        const std::string bytes = i + 1 < texts.size() ? texts[i + 1] : "";
        const std::string name(1, static_cast<char>('a' + i));
        for (const bool md5 : {true, false}) {
            const std::string tag = (md5 ? "@MD5:" : "@SHA:") + name + "@";
            size_t at = manifest.find(tag);
            if (at == std::string::npos) {
                continue;
            }
            const std::string digest = md5 ? upd::fuzz::Md5Hex(bytes) : upd::fuzz::Sha256Hex(bytes);
            for (; at != std::string::npos; at = manifest.find(tag, at + digest.size())) {
                manifest.replace(at, tag.size(), digest);
            }
        }
    }
    return manifest;
}

// The instrument's folders, there before every run.
constexpr const char* kLayoutDirs[] = {"/home",
                                       "/home/Brimwood",
                                       "/home/Brimwood/bin",
                                       "/home/Brimwood/log",
                                       "/home/Brimwood/download",
                                       "/home/Brimwood/etc",
                                       "/home/Brimwood/backup",
                                       "/mnt",
                                       "/mnt/firmware",
                                       "/mnt/pkg",
                                       "/dev"};

// Takes the sandbox back from `now` (a walk of it) to `base`: every other
// file and folder is removed, deepest first, and a folder of base that a run
// moved away is made again.
void Restore(const Tree& now, const Tree& base) {
    for (const auto& [path, file] : now.files) {
        if (!base.files.count(path)) {
            FUZZ_CHECK(::unlink(path.c_str()) == 0);
        }
    }
    for (auto it = now.dirs.rbegin(); it != now.dirs.rend(); ++it) {
        if (!base.dirs.count(*it)) {
            FUZZ_CHECK(::rmdir(it->c_str()) == 0);
        }
    }
    for (const std::string& dir : base.dirs) {
        if (!now.dirs.count(dir)) {
            FUZZ_CHECK(::mkdir(dir.c_str(), 0755) == 0);
        }
    }
}

// Restores the sandbox when the input's checks are done, whichever way they end.
class RestoreAtEnd {
  public:
    explicit RestoreAtEnd(const Tree& after) : after_(after) {}
    ~RestoreAtEnd() { Restore(after_, Base()); }
    RestoreAtEnd(const RestoreAtEnd&) = delete;
    RestoreAtEnd& operator=(const RestoreAtEnd&) = delete;

  private:
    const Tree& after_;
};

// Writes a file of the layout and notes it in `tree`.
void Put(Tree* tree, const std::string& path, const std::string& bytes) {
    upd::fuzz::WriteWhole(path, bytes);
    tree->files[path] = {bytes, 0644, bytes.size()};
}

// Lays out the instrument: the stick mounted on /mnt, the instrument's own
// folders and files, and the stick's device path. Returns the tree as laid out.
Tree LayOut(uint8_t options, Signing signing, const std::vector<std::string>& texts,
            const std::string& manifest) {
    Tree tree = Base();
    Put(&tree, upd::kManifestPath, manifest);
    for (size_t i = 0; i < 3; ++i) {
        if (i + 1 < texts.size()) {
            Put(&tree, kPackageFiles[i], texts[i + 1]);
        }
    }
    if (texts.size() > 4) {
        Put(&tree, "/home/Brimwood/etc/app.conf", texts[4]);
    }
    if (texts.size() > 5) {
        Put(&tree, "/home/Brimwood/bin/app", texts[5]);
    }
    static const Signer signer;
    switch (signing) {
        case Signing::kGood:
            Put(&tree, upd::kSignaturePath, signer.Sign(manifest));
            Put(&tree, upd::kPublicKeyPath, signer.publicPem);
            break;
        case Signing::kText:
            Put(&tree, upd::kSignaturePath, texts.size() > 6 ? texts[6] : "");
            Put(&tree, upd::kPublicKeyPath, signer.publicPem);
            break;
        case Signing::kNoKey:
            Put(&tree, upd::kSignaturePath, signer.Sign(manifest));
            break;
        case Signing::kNone:
            break;
    }
    Put(&tree, options & kMainMissing ? upd::kMainApplicationBackup : upd::kMainApplication,
        "main application\n");
    Put(&tree, Replay::kStick, "");
    return tree;
}

// Every regular file whose name marks it as a temporary of the updater.
bool TemporaryLeft(const Tree& tree) {
    for (const auto& [path, file] : tree.files) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (name.find(".update-tmp") != std::string::npos ||
            name.find(".backup-tmp") != std::string::npos ||
            path.rfind(std::string(upd::kDownloadDir) + "/flash-", 0) == 0) {
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

// The installed paths of the run's transfers and merges.
std::set<std::string> Installed(const upd::Section* list) {
    std::set<std::string> out;
    std::set<std::string> seen;
    for (const upd::Section* s = list; s != nullptr; s = s->next) {
        if (!seen.insert(s->name).second) {
            continue;
        }
        std::string op, dir, file;
        upd::fuzz::Value(s->name, "Operation", &op);
        if ((op == "TransferFile" || op == "ConfigUpdate") &&
            upd::fuzz::Value(s->name, "DestDir", &dir) &&
            upd::fuzz::Value(s->name, "DestFile", &file)) {
            if (const auto path = upd::fuzz::Normalized(dir + "/" + file)) {
                out.insert(*path);
            }
        }
    }
    return out;
}

// The contents a file of the run may hold whole: those of the files laid
// out, and what the run's merges make of them.
std::set<std::string> WholeContents(const upd::Section* list, const Tree& before) {
    std::set<std::string> wholes;
    for (const auto& [path, file] : before.files) {
        wholes.insert(file.content);
    }
    std::set<std::string> seen;
    for (const upd::Section* s = list; s != nullptr; s = s->next) {
        if (!seen.insert(s->name).second) {
            continue;
        }
        std::string op, dir, file;
        if (!upd::fuzz::Value(s->name, "Operation", &op) || op != "ConfigUpdate" ||
            !upd::fuzz::Value(s->name, "SrcDir", &dir) ||
            !upd::fuzz::Value(s->name, "SrcFile", &file)) {
            continue;
        }
        const auto path = upd::fuzz::Normalized(dir + "/" + file);
        const auto src = path ? before.files.find(*path) : before.files.end();
        if (src == before.files.end()) {
            continue;
        }
        for (const std::string& installed : std::set<std::string>(wholes)) {
            bool newer = false;
            std::string merged;
            if (upd::fuzz::MergedConfig(src->second.content, installed, &newer, &merged) && newer) {
                wholes.insert(merged);
            }
        }
    }
    return wholes;
}

// The paths the run removes or moves as something other than an installed
// file: listed removals, interim copies, backups and sources, each section
// once. `unknown` when one is spelt so that only the kernel can tell.
struct OtherNames {
    std::set<std::string> paths;
    bool unknown = false;

    explicit OtherNames(const upd::Section* list) {
        std::set<std::string> seen;
        for (const upd::Section* s = list; s != nullptr; s = s->next) {
            if (!seen.insert(s->name).second) {
                continue;
            }
            std::string a, b;
            for (const auto& [dirKey, fileKey] :
                 {std::pair{"InterimDir", "InterimFile"}, std::pair{"BackupDir", "BackupFile"},
                  std::pair{"SrcDir", "SrcFile"}}) {
                if (upd::fuzz::Value(s->name, dirKey, &a) &&
                    upd::fuzz::Value(s->name, fileKey, &b)) {
                    Add(a + "/" + b);
                }
            }
            for (int n = 1; upd::fuzz::Value(s->name, ("file" + std::to_string(n)).c_str(), &a);
                 ++n) {
                Add(a);
            }
        }
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

}  // namespace

// A smaller quarantine than the default, so that freed memory is reused
// sooner rather than fresh pages faulted in, and shorter allocation stacks.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16:malloc_context_size=10";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    Sandbox().NoteArguments(*argc, *argv);
    Sandbox().GainRights();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!Sandbox().entered()) {
        Sandbox().Enter();
        ::umask(022);
        for (const char* d : kLayoutDirs) {
            FUZZ_CHECK(::mkdir(d, 0755) == 0 || errno == EEXIST);
        }
        Base() = upd::fuzz::Snapshot(true);
    }
    upd::fuzz::Input in(data, size);
    const uint8_t options = in.Byte();
    const std::string stamp = kStamps[in.Byte() % std::size(kStamps)];
    const uint16_t failing = static_cast<uint16_t>(in.Byte() | in.Byte() << 8);
    constexpr Signing kSignings[] = {Signing::kGood, Signing::kText, Signing::kNoKey,
                                     Signing::kGood};
    const uint8_t signingByte = in.Byte();
    const Signing signing = signingByte >= kSignedFrom && Hash(data, size) % 8 == 0
                                ? kSignings[signingByte & 3]
                                : Signing::kNone;
    // The texts, cut at NUL bytes.
    std::vector<std::string> texts;
    for (std::string_view rest = in.Rest(); texts.size() < 7;) {
        const size_t cut = rest.find('\0');
        texts.emplace_back(rest.substr(0, cut));
        if (cut == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(cut + 1);
    }
    const std::string manifest = Substitute(texts[0], texts);

    if (TooLong(manifest)) {
        return 0;
    }
    const Tree before = LayOut(options, signing, texts, manifest);
    const std::vector<long> writable = Sandbox().WritableState();

    upd::UpdateInfo info{};
    std::snprintf(info.device, sizeof info.device, "%s", Replay::kStick);
    if (options & kForce) {
        info.flags |= upd::UPD_FORCE;
    }
    if (options & kTimeStamp) {
        info.flags |= upd::UPD_TIMESTAMP;
        std::snprintf(info.timeStamp, sizeof info.timeStamp, "%s", stamp.c_str());
    }
    if (signing != Signing::kNone) {
        info.flags |= upd::UPD_SSL;
    }
    RunPlatform platform(failing, options & kKilled, options & kUmountFails);
    upd::platform::Platform* previous = upd::platform::Install(&platform);
    upd::Mounted = true;
    upd::AuxInfo = false;
    const int status = upd::RunSequence(&info);
    upd::platform::Install(previous);

    // The run list is released on every path; the store is, unless the run
    // stopped at a failing operation (the process then ends with it).
    FUZZ_CHECK(status == 0 || status == 1);
    FUZZ_CHECK(info.sections == nullptr);
    upd::FreeAuxInfo();
    FUZZ_CHECK(Sandbox().WritableState() == writable);

    const Tree after = upd::fuzz::Snapshot(false);
    const RestoreAtEnd restore(after);
    FUZZ_CHECK(!TemporaryLeft(after));
    std::string reported;
    int code = 0;
    const bool hasErrorFile = upd::fuzz::ReadWhole(upd::kErrorFilePath, &reported);
    if (hasErrorFile) {
        FUZZ_CHECK(std::sscanf(reported.c_str(), "1902 %d\n", &code) == 1);
        FUZZ_CHECK(KnownCode(code));
        FUZZ_CHECK(reported == "1902 " + std::to_string(code) + "\n");
    }
    if (status == 1) {
        FUZZ_CHECK(hasErrorFile && code != upd::kNoticeSame && code != upd::kNoticeOlder);
        const std::string shown =
            upd::fuzz::Splash("Error updating firmware: " + std::to_string(code));
        bool wasShown = false;
        for (const Call& c : platform.calls) {
            wasShown = wasShown || c.command == shown;
        }
        FUZZ_CHECK(wasShown);
    }

    if (std::getenv("UPD_FUZZ_RUN_TRACE") != nullptr) {
        std::fprintf(stderr, "status %d, code %d, %zu commands\n", status, code,
                     platform.calls.size());
    }

    // The run as the operations' rules give it, on the tree as it was.
    FILE* stream = ::fmemopen(const_cast<char*>(manifest.data()), manifest.size(), "r");
    if (manifest.empty() || stream == nullptr) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        return 0;
    }
    const bool loaded = upd::ReadAuxInfoStream(stream) != 0;
    std::fclose(stream);
    upd::Section* list = nullptr;
    if (!loaded || !upd::BuildSectionList("SectionList", "Sequence", &list)) {
        upd::FreeSectionList(&list);
        upd::FreeAuxInfo();
        return 0;
    }
    // A complete run is replayed by the operations' rules.
    std::optional<Replay> replay;
    if (status == 0) {
        replay.emplace(before, info.flags, stamp, platform.calls);
        replay->Run(list);
    }

    // Every installed path that was a whole file is still one: the old file,
    // a package file or a merge of this run.
    std::set<std::string> laidOut;
    for (const auto& [path, file] : before.files) {
        laidOut.insert(file.content);
    }
    std::optional<std::set<std::string>> merged;
    const OtherNames others(list);
    for (const std::string& path : Installed(list)) {
        const auto was = before.files.find(path);
        if (was == before.files.end() || others.MayName(path)) {
            continue;
        }
        FUZZ_CHECK(after.files.count(path) != 0);
        const std::string content = upd::fuzz::ContentOf(path);
        if (!laidOut.count(content) && !(replay && replay->merges().count(content))) {
            if (!merged) {
                merged = WholeContents(list, before);
            }
            FUZZ_CHECK(merged->count(content) != 0);
        }
    }

    if (replay && replay->Follow()) {
        if (replay->MustFail()) {
            std::fprintf(stderr, "run reported complete, but: %s\n", replay->why().c_str());
        }
        FUZZ_CHECK(!replay->MustFail());
        for (const auto& [path, file] : replay->tree().files) {
            const auto now = after.files.find(path);
            if (now == after.files.end() || now->second.mode != file.mode ||
                now->second.size != file.size || upd::fuzz::ContentOf(path) != file.content) {
                std::fprintf(stderr, "after a complete run %s is not as its sections give it\n",
                             path.c_str());
                FUZZ_CHECK(false);
            }
        }
        for (const auto& [path, file] : after.files) {
            if (!replay->tree().files.count(path)) {
                std::fprintf(stderr, "a complete run left %s, which no section made\n",
                             path.c_str());
            }
            FUZZ_CHECK(replay->tree().files.count(path) != 0);
        }
        for (const std::string& dir : after.dirs) {
            if (!replay->tree().dirs.count(dir)) {
                std::fprintf(stderr, "a complete run made the folder %s, which no section made\n",
                             dir.c_str());
            }
        }
        for (const std::string& dir : replay->tree().dirs) {
            if (!after.dirs.count(dir)) {
                std::fprintf(stderr, "a complete run did not make the folder %s\n", dir.c_str());
            }
        }
        FUZZ_CHECK(replay->tree().dirs == after.dirs);
    }
    upd::FreeSectionList(&list);
    upd::FreeAuxInfo();
    return 0;
}
