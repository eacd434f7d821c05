// A public key's fingerprint: how update-pack and update-lint name the key a
// stick is signed and checked with, so that both print the same.
#pragma once

#include <openssl/types.h>

#include <string>

namespace upd {

// The lowercase hex SHA-256 of a public key's DER encoding (its
// SubjectPublicKeyInfo): what `openssl pkey -pubin -outform DER | sha256sum`
// gives for the PEM file.
std::string Fingerprint(const EVP_PKEY* key);

// The fingerprint of the PEM public key file `path` as the instrument loads
// it; empty when the instrument's loader refuses the file.
std::string PublicKeyFingerprint(const std::string& path);

}  // namespace upd
