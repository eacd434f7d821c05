// The whole-run fuzz target's instrument: the platform that stands in for the
// operating system's services, and the instrument's files laid out in the
// sandbox before a run and cleared away after it.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "run_input.h"
#include "run_model.h"
#include "stick/shell_words.h"
#include "update/update.h"

namespace upd::fuzz {

inline constexpr const char* kPackageFiles[] = {"/mnt/pkg/a", "/mnt/pkg/b", "/mnt/pkg/c"};

// The status the instrument's shell gives a command that it cannot run at
// all, as the kernel sees the sandbox: 2 for a quote never closed; for one
// simple command whose program is named by a path, 127 when the path finds
// nothing and 126 when it is no regular file, has no execute bit or lies on
// a file system mounted without exec rights. 0 when the program may run.
inline int ShellRefusal(const std::string& command) {
    const stick::ShellWords split = stick::SplitShellWords(command);
    if (!split.complete) {
        return 2 << 8;
    }
    for (const stick::ShellWord& word : split.words) {
        if (!split.simple || !word.program || word.expands ||
            word.text.find('/') == std::string::npos) {
            continue;
        }
        struct stat st {};
        struct statvfs fs {};
        if (::stat(word.text.c_str(), &st) != 0) {
            return 127 << 8;
        }
        if (!S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0 ||
            (::statvfs(word.text.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC))) {
            return 126 << 8;
        }
    }
    return 0;
}

// A platform that mounts nothing and runs nothing: commands are recorded and
// given the statuses the input chose (with `shellModel`, the shell's own
// status first where it cannot run the program), and the stick is pulled at
// the first sleep.
class RunPlatform final : public platform::Platform {
  public:
    RunPlatform(uint16_t failing, bool killed, bool umountFails, bool shellModel = false)
        : failing_(failing), killed_(killed), umountFails_(umountFails), shellModel_(shellModel) {}

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
        int status = shellModel_ ? ShellRefusal(command) : 0;
        if (status == 0 && n < 16 && (failing_ >> n) & 1) {
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
    void Pause(unsigned) override {}
    // Nothing is mounted: the stick's folders are the sandbox's own.
    std::vector<platform::MountedFs> MountsOn(const char*) override { return {}; }
    int Detach(const char*) override {
        errno = EINVAL;
        return -1;
    }

    std::vector<Call> calls;

  private:
    uint16_t failing_;
    bool killed_;
    bool umountFails_;
    bool shellModel_;
    unsigned sleeps_ = 0;
};

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

// The instrument's folders, there before every run.
inline constexpr const char* kLayoutDirs[] = {"/home",
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
inline void Restore(const Tree& now, const Tree& base) {
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
        if (!now.dirs.count(dir) && ::mkdir(dir.c_str(), 0755) != 0) {
            std::fprintf(stderr, "cannot make %s again: %s\n", dir.c_str(), std::strerror(errno));
            FUZZ_CHECK(false);
        }
    }
}

// Restores the sandbox when the input's checks are done, whichever way they end.
class RestoreAtEnd {
  public:
    RestoreAtEnd(const Tree& after, const Tree& base) : after_(after), base_(base) {}
    ~RestoreAtEnd() { Restore(after_, base_); }
    RestoreAtEnd(const RestoreAtEnd&) = delete;
    RestoreAtEnd& operator=(const RestoreAtEnd&) = delete;

  private:
    const Tree& after_;
    const Tree& base_;
};

// Writes a file of the layout and notes it in `tree`.
inline void Put(Tree* tree, const std::string& path, const std::string& bytes) {
    WriteWhole(path, bytes);
    tree->files[path] = {bytes, 0644, bytes.size()};
}

// Lays out the instrument: the stick mounted on /mnt, the instrument's own
// folders and files, and the stick's device path. Returns the tree as laid out.
inline Tree LayOut(const Tree& base, const Case& c) {
    Tree tree = base;
    Put(&tree, upd::kManifestPath, c.manifest);
    for (size_t i = 0; i < 3; ++i) {
        if (i + 1 < c.texts.size()) {
            Put(&tree, kPackageFiles[i], c.texts[i + 1]);
        }
    }
    if (c.texts.size() > 4) {
        Put(&tree, "/home/Brimwood/etc/app.conf", c.texts[4]);
    }
    if (c.texts.size() > 5) {
        Put(&tree, "/home/Brimwood/bin/app", c.texts[5]);
    }
    static const Signer signer;
    switch (c.signing) {
        case Signing::kGood:
            Put(&tree, upd::kSignaturePath, signer.Sign(c.manifest));
            Put(&tree, upd::kPublicKeyPath, signer.publicPem);
            break;
        case Signing::kText:
            Put(&tree, upd::kSignaturePath, c.texts.size() > 6 ? c.texts[6] : "");
            Put(&tree, upd::kPublicKeyPath, signer.publicPem);
            break;
        case Signing::kNoKey:
            Put(&tree, upd::kSignaturePath, signer.Sign(c.manifest));
            break;
        case Signing::kNone:
            break;
    }
    Put(&tree, c.options & kMainMissing ? upd::kMainApplicationBackup : upd::kMainApplication,
        "main application\n");
    Put(&tree, Replay::kStick, "");
    return tree;
}

}  // namespace upd::fuzz
