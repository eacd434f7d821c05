// Building update packages for the tests: manifest text, the digests a
// manifest names, and an RSA key that signs manifests.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace upd::testing {

// The text of a manifest, section by section, in the order given.
class ManifestText {
  public:
    using Pairs = std::initializer_list<std::pair<std::string, std::string>>;

    // Appends a section line and its name=value lines.
    ManifestText& Section(const std::string& name, Pairs pairs = {});
    // Appends one raw line (a comment, a blank line, a pair without section).
    ManifestText& Line(const std::string& line);

    const std::string& str() const { return text_; }

  private:
    std::string text_;
};

// Lowercase hexadecimal digests of `content`, computed by OpenSSL.
std::string Md5Hex(const std::string& content);
std::string Sha256Hex(const std::string& content);

// A fresh 2048-bit RSA key (one per test program, made on first use).
class SigningKey {
  public:
    static const SigningKey& Get();

    // The public key as a PEM "PUBLIC KEY" block.
    const std::string& PublicPem() const { return publicPem_; }
    // The raw PKCS #1 v1.5 SHA-256 signature of `message`.
    std::string Sign(const std::string& message) const;

    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

  private:
    SigningKey();
    void* key_;  // EVP_PKEY*
    std::string publicPem_;
};

}  // namespace upd::testing
