// Key generation, manifest signing and the instrument's check of the signature,
// on OpenSSL's EVP interface.
#include "pack/keys.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "digest/ssl.h"

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

// Writes the key's public half as a PEM "PUBLIC KEY" block to a new file.
bool WritePublicKey(EVP_PKEY* key, const std::string& path, std::string* error) {
    Bio bio = CreateExclusive(path, 0600);
    if (!bio) {
        *error = "cannot create " + path;
        return false;
    }
    if (PEM_write_bio_PUBKEY(bio.get(), key) != 1 || BIO_flush(bio.get()) != 1) {
        *error = "cannot write " + path + ": " + OpenSslError();
        return false;
    }
    return true;
}

Pkey ReadPrivateKey(const std::string& path, std::string* error) {
    Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        *error = "cannot open the private key " + path;
        ERR_clear_error();
        return nullptr;
    }
    // No callback: an encrypted key asks for its pass phrase on the terminal.
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        *error = path + " holds no readable private key: " + OpenSslError();
        return nullptr;
    }
    if (EVP_PKEY_is_a(key.get(), "RSA") != 1) {
        *error = path + " is not an RSA key; the instrument verifies RSA signatures only";
        return nullptr;
    }
    return key;
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
    // Both files are claimed before the slow generation: an existing key is
    // never replaced, and a failure leaves neither file.
    Bio privateBio = CreateExclusive(privatePath, 0600);
    if (!privateBio) {
        *error = "cannot create " + privatePath + " (an existing key is never replaced)";
        return false;
    }
    Bio publicBio = CreateExclusive(publicPath, 0644);
    if (!publicBio) {
        ::unlink(privatePath.c_str());
        *error = "cannot create " + publicPath + " (an existing key is never replaced)";
        return false;
    }
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
    if (!key ||
        PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1 ||
        BIO_flush(privateBio.get()) != 1 || PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1 ||
        BIO_flush(publicBio.get()) != 1) {
        *error = "cannot make the key pair: " + OpenSslError();
        ::unlink(privatePath.c_str());
        ::unlink(publicPath.c_str());
        return false;
    }
    return true;
}

bool SignFile(const std::string& keyPath, const std::string& messagePath,
              const std::string& signaturePath, const std::string& publicPath, std::string* error) {
    Pkey key = ReadPrivateKey(keyPath, error);
    if (!key) {
        return false;
    }
    unsigned char* bytes = nullptr;
    unsigned int length = 0;
    if (!ReadBytesFromFile(messagePath.c_str(), &bytes, &length)) {
        *error = "cannot read " + messagePath;
        return false;
    }
    const std::unique_ptr<unsigned char, BytesFree> message(bytes);
    const std::vector<unsigned char> signature = Sign(key.get(), bytes, length, error);
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
    return WritePublicKey(key.get(), publicPath, error);
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
