// Update packages for the tests: manifest text, digests and signatures, the
// latter two computed with OpenSSL rather than with the updater's own code.
#include "support/package.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <stdexcept>

namespace upd::testing {

ManifestText& ManifestText::Section(const std::string& name, Pairs pairs) {
    text_ += name + "\n";
    for (const auto& [key, value] : pairs) {
        text_ += key + " = " + value + "\n";
    }
    return *this;
}

ManifestText& ManifestText::Line(const std::string& line) {
    text_ += line + "\n";
    return *this;
}

namespace {

std::string DigestHex(const EVP_MD* md, const std::string& content) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(content.data(), content.size(), digest, &length, md, nullptr) != 1) {
        throw std::runtime_error("EVP_Digest failed");
    }
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

}  // namespace

std::string Md5Hex(const std::string& content) {
    return DigestHex(EVP_md5(), content);
}

std::string Sha256Hex(const std::string& content) {
    return DigestHex(EVP_sha256(), content);
}

const SigningKey& SigningKey::Get() {
    static const SigningKey key;
    return key;
}

SigningKey::SigningKey() : key_(EVP_RSA_gen(2048)) {
    if (key_ == nullptr) {
        throw std::runtime_error("RSA key generation failed");
    }
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr || PEM_write_bio_PUBKEY(bio, static_cast<EVP_PKEY*>(key_)) != 1) {
        BIO_free(bio);
        throw std::runtime_error("PEM_write_bio_PUBKEY failed");
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    publicPem_.assign(data, static_cast<std::size_t>(length));
    BIO_free(bio);
}

SigningKey::~SigningKey() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

std::string SigningKey::Sign(const std::string& message) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::size_t length = 0;
    std::string signature;
    bool ok =
        ctx != nullptr &&
        EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, static_cast<EVP_PKEY*>(key_)) ==
            1 &&
        EVP_DigestSign(ctx, nullptr, &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    if (ok) {
        signature.resize(length);
        ok = EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &length,
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
        signature.resize(length);
    }
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        throw std::runtime_error("signing failed");
    }
    return signature;
}

}  // namespace upd::testing
