// SHA-256 file digests, whole-file reads and the RSA/SHA-256 signature check of
// the update manifest, on OpenSSL's EVP interface.
#include "digest/ssl.h"

#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "files/file.h"

namespace upd {
namespace {

// Read size of the file digest. Large reads keep the system-call overhead far
// below the cost of the hash itself; memory stays constant whatever the file.
constexpr std::size_t kDigestChunk = 128 * 1024;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// read(2) that resumes after a signal; the count read, or -1 on an error.
ssize_t ReadSome(int fd, unsigned char* buf, std::size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Finishes the digest of `ctx` into `out` as 64 lowercase hexadecimal digits.
bool FinishHex(EVP_MD_CTX* ctx, char* out) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &size) != 1 || size != 32) {
        return false;
    }
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
    return true;
}

}  // namespace

int SHA256Hash(const char* path, char* out) {
    FdCloser file{OpenRegularFile(path)};
    if (file.fd < 0) {
        return 0;
    }
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        return 0;
    }
    auto buf = std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[kDigestChunk]);
    if (!buf) {
        return 0;
    }
    for (;;) {
        const ssize_t n = ReadSome(file.fd, buf.get(), kDigestChunk);
        if (n < 0) {
            return 0;  // a digest of part of the file would be a wrong digest
        }
        if (n == 0) {
            break;
        }
        if (EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<std::size_t>(n)) != 1) {
            return 0;
        }
    }
    return FinishHex(ctx.get(), out) ? 1 : 0;
}

int SHA256HashBytes(const unsigned char* data, std::size_t length, char* out) {
    if (data == nullptr && length > 0) {
        return 0;
    }
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, length) != 1) {
        return 0;
    }
    return FinishHex(ctx.get(), out) ? 1 : 0;
}

int ReadBytesFromFile(const char* path, unsigned char** data, unsigned int* length) {
    File file(OpenRegularStream(path));
    if (!file) {
        return 0;
    }
    if (fseeko(file.get(), 0, SEEK_END) != 0) {
        return 0;
    }
    const off_t size = ftello(file.get());
    if (size < 0 || static_cast<unsigned long long>(size) > UINT_MAX ||
        fseeko(file.get(), 0, SEEK_SET) != 0) {
        return 0;
    }
    const std::size_t count = static_cast<std::size_t>(size);
    // One byte at least, so that an empty file also gets a buffer to free.
    unsigned char* buf = static_cast<unsigned char*>(std::malloc(count == 0 ? 1 : count));
    if (buf == nullptr) {
        return 0;
    }
    if (std::fread(buf, 1, count, file.get()) != count) {
        std::free(buf);
        return 0;
    }
    *data = buf;
    *length = static_cast<unsigned int>(count);
    return 1;
}

int ReadPublicKey(const char* path, EVP_PKEY** key) {
    File file(OpenRegularStream(path));
    if (!file) {
        return 0;
    }
    Pkey loaded(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    if (!loaded || EVP_PKEY_is_a(loaded.get(), "RSA") != 1) {
        // Drop the decoder's errors: they belong to no later check.
        ERR_clear_error();
        return 0;
    }
    EVP_PKEY_free(*key);
    *key = loaded.release();
    return 1;
}

int VerifyIt(const unsigned char* message, unsigned int messageLength,
             const unsigned char* signature, unsigned int signatureLength, EVP_PKEY* key) {
    if (message == nullptr || messageLength == 0 || signature == nullptr || signatureLength == 0 ||
        key == nullptr) {
        return 0;
    }
    // The codes printed below are the earliest errors of this check alone.
    ERR_clear_error();
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) {
        std::printf("EVP_MD_CTX_create failed, error 0x%lx\n", ERR_get_error());
        return 0;
    }
    // A failed set-up or update is reported but does not end the check: the
    // final verification fails after it and alone decides.
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) {
        std::printf("EVP_VerifyInit failed, error 0x%lx\n", ERR_get_error());
    }
    if (EVP_DigestUpdate(ctx.get(), message, messageLength) != 1) {
        std::printf("EVP_DigestSignUpdate failed, error 0x%lx\n", ERR_get_error());
    }
    if (EVP_DigestVerifyFinal(ctx.get(), signature, signatureLength) != 1) {
        std::printf("EVP_DigestVerifyFinal failed, error 0x%lx\n", ERR_get_error());
        return 0;
    }
    return 1;
}

}  // namespace upd
