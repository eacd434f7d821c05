// SHA-256 digests of files and the RSA signature check of the update manifest,
// on OpenSSL's libcrypto.
#pragma once

#include <openssl/evp.h>

#include <cstddef>

namespace upd {

// Writes the SHA-256 digest of the file at `path` into `out` (65 bytes at least)
// as 64 lowercase hexadecimal digits and a NUL. 0 when the file cannot be opened
// or a read fails part way; `out` is then untouched.
int SHA256Hash(const char* path, char* out);

// The same for `length` bytes held in memory; 0 only when OpenSSL fails.
int SHA256HashBytes(const unsigned char* data, std::size_t length, char* out);

// Reads the whole file at `path` into a malloc'd buffer (not NUL-terminated)
// that the caller frees. 1 with *data and *length set; 0 with neither touched
// and nothing allocated when the file cannot be opened, its size cannot be
// taken, the buffer cannot be allocated or the file cannot be read whole.
int ReadBytesFromFile(const char* path, unsigned char** data, unsigned int* length);

// Loads the RSA public key (PEM "PUBLIC KEY" block) of the file at `path` into
// *key. The caller passes a key object of its own (EVP_PKEY_new) and frees
// whatever *key holds afterwards with EVP_PKEY_free; on success *key may have
// been replaced by the object that carries the loaded key. 0, with *key as it
// was, when the file cannot be opened or holds no RSA public key.
int ReadPublicKey(const char* path, EVP_PKEY** key);

// 1 when `signature` is a valid RSA signature (PKCS #1 v1.5, SHA-256) of
// `message` under `key`, else 0. Empty or null arguments give 0 at once; any
// other failure prints the failing step and OpenSSL's error code on standard
// output.
int VerifyIt(const unsigned char* message, unsigned int messageLength,
             const unsigned char* signature, unsigned int signatureLength, EVP_PKEY* key);

}  // namespace upd
