// A public key's fingerprint, from its DER encoding with libcrypto's EVP
// digest interface.
#include "digest/fingerprint.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "digest/ssl.h"

namespace upd {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct DerFree {
    void operator()(unsigned char* der) const { OPENSSL_free(der); }
};

}  // namespace

std::string Fingerprint(const EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        ERR_clear_error();
        return {};
    }
    const std::unique_ptr<unsigned char, DerFree> owned(der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(der, static_cast<std::size_t>(length), digest, &size, EVP_sha256(), nullptr) !=
        1) {
        ERR_clear_error();
        return {};
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

std::string PublicKeyFingerprint(const std::string& path) {
    EVP_PKEY* raw = EVP_PKEY_new();
    if (raw == nullptr) {
        return {};
    }
    // The loader may replace the object it is given; whatever it holds
    // afterwards is freed here.
    const bool loaded = ReadPublicKey(path.c_str(), &raw) != 0;
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(raw);
    return loaded ? Fingerprint(key.get()) : std::string();
}

}  // namespace upd
