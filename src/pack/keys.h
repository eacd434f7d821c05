// RSA key pairs for update packages, and the manifest's signature: made with
// the private key, checked with the public half the way the instrument checks
// it.
#pragma once

#include <string>

namespace upd::pack {

// Size of the keys that GenerateKeyPair makes by default.
inline constexpr int kKeyBits = 3072;

// Makes an RSA key pair: the private key as an unencrypted PEM file readable
// by its owner only, the public key as a PEM "PUBLIC KEY" block, the form the
// instrument reads. Neither file may exist yet; on failure neither is left.
// False with *error set on failure.
bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string* error, int bits = kKeyBits);

// Signs the exact bytes of the file `messagePath` with the RSA private key of
// the PEM file `keyPath` (PKCS #1 v1.5, SHA-256), writes the raw signature to
// `signaturePath` and the key's public half to `publicPath`. False with
// *error set on failure.
bool SignFile(const std::string& keyPath, const std::string& messagePath,
              const std::string& signaturePath, const std::string& publicPath, std::string* error);

// Whether the signature file verifies the message file under the public key
// file, with the instrument's own loading and verification.
bool VerifiesOnInstrument(const std::string& messagePath, const std::string& signaturePath,
                          const std::string& publicPath);

}  // namespace upd::pack
