// Key generation, pass phrases, manifest signing, fingerprints and the
// instrument's check of the signature, on OpenSSL's EVP interface.
#include "pack/keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "digest/ssl.h"
#include "pack/interrupt.h"
#include "pack/new_file.h"

namespace upd::pack {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct BytesFree {
    void operator()(unsigned char* p) const { std::free(p); }
};

// OpenSSL's first queued error as text, the queue emptied.
std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown OpenSSL error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// A new file at `path` (it must not exist) with `mode`, as a BIO that closes it.
Bio CreateExclusive(const std::string& path, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return nullptr;
    }
    Bio bio(BIO_new_fd(fd, BIO_CLOSE));
    if (!bio) {
        ::close(fd);
    }
    return bio;
}

// One key file of a pair being made: a temporary file beside its place,
// removed on a signal and by the destructor unless it was published.
class KeyFile {
  public:
    KeyFile(const std::string& path, mode_t mode) : path_(path), mode_(mode) {}
    ~KeyFile() {
        if (!temporary_.empty()) {
            ::unlink(temporary_.c_str());
        }
    }
    KeyFile(const KeyFile&) = delete;
    KeyFile& operator=(const KeyFile&) = delete;

    bool Create(RemoveOnSignal* guard, std::string* error) {
        std::string name = TemplateBeside(path_);
        // Made and registered in one step: a signal between the two would
        // leave it behind.
        RemoveOnSignal::Hold hold;
        const int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            *error = "cannot create a file beside " + path_ + ": " + std::strerror(errno);
            return false;
        }
        temporary_ = name;
        bio_.reset(BIO_new_fd(fd, BIO_CLOSE));
        if (!bio_) {
            ::close(fd);
        }
        if (!guard->Add(temporary_) || !bio_ || ::fchmod(fd, mode_) != 0) {
            *error = "cannot create " + temporary_;
            return false;
        }
        return true;
    }

    BIO* bio() const { return bio_.get(); }

    // Flushes, syncs and closes the written file.
    bool Finish() {
        int fd = -1;
        const bool done =
            BIO_flush(bio_.get()) == 1 && BIO_get_fd(bio_.get(), &fd) > 0 && ::fsync(fd) == 0;
        bio_.reset();
        return done;
    }

    // Renames the file to its place unless something is there.
    bool Publish(std::string* error) {
        if (!MoveNew(temporary_, path_)) {
            *error = "cannot create " + path_ + ": " + std::strerror(errno) +
                     " (an existing key is never replaced)";
            return false;
        }
        temporary_.clear();
        return true;
    }

  private:
    std::string path_;
    mode_t mode_;
    std::string temporary_;
    Bio bio_;
};

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The pass phrase callback's state: the phrase, obtained at most once.
struct PassState {
    PassState(const PassPhrase& from, const std::string& path) : source(&from), keyPath(path) {}

    const PassPhrase* source;
    std::string keyPath;
    std::string phrase;
    bool obtained = false;
    std::string problem;  // why no phrase could be had

    ~PassState() { OPENSSL_cleanse(phrase.data(), phrase.size()); }

    bool Obtain() {
        if (!source->file.empty()) {
            std::ifstream in(source->file, std::ios::binary);
            if (!in || !std::getline(in, phrase)) {
                problem = "cannot read a pass phrase from " + source->file;
                return false;
            }
            if (!phrase.empty() && phrase.back() == '\r') {
                phrase.pop_back();
            }
            return true;
        }
        if (!source->variable.empty()) {
            const char* value = std::getenv(source->variable.c_str());
            if (value == nullptr) {
                problem = "the environment variable " + source->variable + " is not set";
                return false;
            }
            phrase = value;
            return true;
        }
        return Prompt();
    }

    // One prompt, on the controlling terminal only: without one, OpenSSL
    // would read standard input, which in a pipeline is not the maker.
    bool Prompt() {
        const int tty = source->prompt ? ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        if (tty < 0) {
            problem = keyPath +
                      " is encrypted and there is no terminal to ask for its pass phrase: give "
                      "--pass-file FILE or --pass-env VARIABLE";
            return false;
        }
        ::close(tty);
        char buf[1024];
        const std::string prompt = "Pass phrase for " + keyPath + ": ";
        const bool read = EVP_read_pw_string(buf, sizeof buf, prompt.c_str(), 0) == 0;
        if (read) {
            phrase = buf;
        } else {
            problem = "no pass phrase was given for " + keyPath;
        }
        OPENSSL_cleanse(buf, sizeof buf);
        return read;
    }
};

int PassCallback(char* buf, int size, int /*rwflag*/, void* user) {
    PassState* state = static_cast<PassState*>(user);
    if (!state->obtained) {
        state->obtained = true;
        if (!state->Obtain()) {
            return -1;
        }
    }
    if (!state->problem.empty()) {
        return -1;
    }
    if (state->phrase.size() > static_cast<std::size_t>(size)) {
        state->problem =
            "the pass phrase is longer than OpenSSL takes (" + std::to_string(size) + " bytes)";
        return -1;
    }
    std::memcpy(buf, state->phrase.data(), state->phrase.size());
    return static_cast<int>(state->phrase.size());
}

std::vector<unsigned char> Sign(EVP_PKEY* key, const unsigned char* message, std::size_t length,
                                std::string* error) {
    MdCtx ctx(EVP_MD_CTX_new());
    std::size_t size = 0;
    std::vector<unsigned char> signature;
    if (ctx && EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestSign(ctx.get(), nullptr, &size, message, length) == 1) {
        signature.resize(size);
        if (EVP_DigestSign(ctx.get(), signature.data(), &size, message, length) == 1) {
            signature.resize(size);
            return signature;
        }
    }
    *error = "signing failed: " + OpenSslError();
    return {};
}

}  // namespace

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string* error, int bits) {
    for (const std::string& path : {privatePath, publicPath}) {
        if (Exists(path)) {
            *error = path + " exists (an existing key is never replaced)";
            return false;
        }
    }
    RemoveOnSignal guard;
    KeyFile privateFile(privatePath, 0600);
    KeyFile publicFile(publicPath, 0644);
    if (!privateFile.Create(&guard, error) || !publicFile.Create(&guard, error)) {
        return false;
    }
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
    if (!key ||
        PEM_write_bio_PrivateKey(privateFile.bio(), key.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1 ||
        !privateFile.Finish() || PEM_write_bio_PUBKEY(publicFile.bio(), key.get()) != 1 ||
        !publicFile.Finish()) {
        *error = "cannot make the key pair: " + OpenSslError();
        return false;
    }
    // Both renames, or neither: a signal now waits until the pair is whole.
    RemoveOnSignal::Hold hold;
    if (!privateFile.Publish(error)) {
        return false;
    }
    if (!publicFile.Publish(error)) {
        ::unlink(privatePath.c_str());
        return false;
    }
    guard.Clear();
    if (!SyncFolderOf(privatePath) || !SyncFolderOf(publicPath)) {
        *error = "cannot sync the folders of " + privatePath + " and " + publicPath;
        return false;
    }
    return true;
}

void SigningKey::Free::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

bool SigningKey::Load(const std::string& path, const PassPhrase& pass, std::string* error) {
    Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        *error = "cannot open the private key " + path;
        ERR_clear_error();
        return false;
    }
    PassState state(pass, path);
    key_.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, PassCallback, &state));
    if (!key_) {
        if (!state.problem.empty()) {
            *error = state.problem;
            ERR_clear_error();
        } else if (state.obtained) {
            *error = "cannot decrypt " + path + " with the pass phrase given: " + OpenSslError();
        } else {
            *error = path + " holds no readable private key: " + OpenSslError();
        }
        return false;
    }
    if (EVP_PKEY_is_a(key_.get(), "RSA") != 1) {
        key_.reset();
        *error = path + " is not an RSA key; the instrument verifies RSA signatures only";
        return false;
    }
    return true;
}

bool SigningKey::SignFile(const std::string& messagePath, const std::string& signaturePath,
                          std::string* error) const {
    unsigned char* bytes = nullptr;
    unsigned int length = 0;
    if (!ReadBytesFromFile(messagePath.c_str(), &bytes, &length)) {
        *error = "cannot read " + messagePath;
        return false;
    }
    const std::unique_ptr<unsigned char, BytesFree> message(bytes);
    const std::vector<unsigned char> signature = Sign(key_.get(), bytes, length, error);
    if (signature.empty()) {
        return false;
    }
    std::ofstream out(signaturePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(signature.data()),
              static_cast<std::streamsize>(signature.size()));
    out.close();
    if (!out) {
        *error = "cannot write " + signaturePath;
        return false;
    }
    return true;
}

bool SigningKey::WritePublicKey(const std::string& path, std::string* error) const {
    Bio bio = CreateExclusive(path, 0600);
    if (!bio) {
        *error = "cannot create " + path;
        return false;
    }
    if (PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1 || BIO_flush(bio.get()) != 1) {
        *error = "cannot write " + path + ": " + OpenSslError();
        return false;
    }
    return true;
}

bool VerifiesOnInstrument(const std::string& messagePath, const std::string& signaturePath,
                          const std::string& publicPath) {
    EVP_PKEY* raw = EVP_PKEY_new();
    if (raw == nullptr) {
        return false;
    }
    // The loader may replace the object it is given; whatever it holds
    // afterwards is freed here.
    const bool loaded = ReadPublicKey(publicPath.c_str(), &raw) != 0;
    const Pkey key(raw);
    unsigned char* message = nullptr;
    unsigned char* signature = nullptr;
    unsigned int messageLength = 0;
    unsigned int signatureLength = 0;
    if (!loaded || !ReadBytesFromFile(messagePath.c_str(), &message, &messageLength)) {
        return false;
    }
    const std::unique_ptr<unsigned char, BytesFree> ownedMessage(message);
    if (!ReadBytesFromFile(signaturePath.c_str(), &signature, &signatureLength)) {
        return false;
    }
    const std::unique_ptr<unsigned char, BytesFree> ownedSignature(signature);
    return VerifyIt(message, messageLength, signature, signatureLength, key.get()) == 1;
}

}  // namespace upd::pack
