// RSA key pairs for update packages, and the manifest's signature: made with
// the private key, checked with a public key the way the instrument checks
// it, each key known by its fingerprint.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

#include "digest/fingerprint.h"

namespace upd::pack {

// Size of the keys that GenerateKeyPair makes by default.
inline constexpr int kKeyBits = 3072;

// Makes an RSA key pair: the private key as an unencrypted PEM file readable
// by its owner only, the public key as a PEM "PUBLIC KEY" block, the form the
// instrument reads. Neither file may exist yet. Both are written under
// temporary names beside their places, synced, and renamed into place once
// both are whole; a failure, or SIGINT, SIGTERM or SIGHUP before then, leaves
// neither file. False with *error set on failure.
bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string* error, int bits = kKeyBits);

// Where the pass phrase of an encrypted private key comes from, in this
// order: a file, an environment variable, or one prompt on the terminal.
struct PassPhrase {
    std::string file{};      // its first line, without the line end
    std::string variable{};  // the name of an environment variable holding it
    bool prompt = false;     // ask once on the process's terminal, when it has one
};

// Keys are known by their fingerprints, which update-lint prints too.
using upd::Fingerprint;
using upd::PublicKeyFingerprint;

// An RSA private key that signs manifests, loaded (and decrypted) once.
class SigningKey {
  public:
    // Loads the PEM private key at `path`, decrypting it with the pass phrase
    // from `pass` when it is encrypted (asked for at most once). False with
    // *error set when it cannot be read, is no RSA key, or no pass phrase
    // decrypts it.
    bool Load(const std::string& path, const PassPhrase& pass, std::string* error);

    // Signs the exact bytes of the file `messagePath` (PKCS #1 v1.5,
    // SHA-256) and writes the raw signature to `signaturePath`.
    bool SignFile(const std::string& messagePath, const std::string& signaturePath,
                  std::string* error) const;

    // Writes the public half as a PEM "PUBLIC KEY" block to a new file.
    bool WritePublicKey(const std::string& path, std::string* error) const;

    std::string Fingerprint() const { return pack::Fingerprint(key_.get()); }

  private:
    struct Free {
        void operator()(EVP_PKEY* key) const;
    };
    std::unique_ptr<EVP_PKEY, Free> key_;
};

// Whether the signature file verifies the message file under the public key
// file, with the instrument's own loading and verification.
bool VerifiesOnInstrument(const std::string& messagePath, const std::string& signaturePath,
                          const std::string& publicPath);

}  // namespace upd::pack
