// The copy loop: read a block, feed both digests, write it whole.
#include "pack/copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "digest/md5.h"
#include "stick/fat_name.h"

namespace upd::pack {
namespace {

constexpr std::size_t kBlock = 1 << 20;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string Hex(const unsigned char* bytes, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The copy proper, between two open files; false with *error set.
bool Copy(int in, int out, const std::string& source, Progress* progress, CopiedFile* copied,
          std::string* error) {
    md5_state_s md5;
    md5_init(&md5);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> sha(EVP_MD_CTX_new());
    if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) {
        *error = "cannot start a SHA-256 digest";
        return false;
    }
    std::vector<unsigned char> block(kBlock);
    copied->size = 0;
    for (;;) {
        const ssize_t n = ::read(in, block.data(), block.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = "cannot read " + source + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            break;
        }
        const std::size_t size = static_cast<std::size_t>(n);
        md5_append(&md5, block.data(), static_cast<int>(size));
        copied->size += size;
        if (EVP_DigestUpdate(sha.get(), block.data(), size) != 1 ||
            !WriteAll(out, block.data(), size)) {
            *error = "cannot copy " + source + " to the stick: " + std::strerror(errno);
            return false;
        }
        progress->Advance(size);
    }
    if (copied->size > stick::kMaxFileSize) {
        *error = source + " grew past 4 GiB less one byte while it was copied";
        return false;
    }
    unsigned char md5Digest[16];
    md5_finish(&md5, md5Digest);
    unsigned char shaDigest[EVP_MAX_MD_SIZE];
    unsigned int shaSize = 0;
    if (EVP_DigestFinal_ex(sha.get(), shaDigest, &shaSize) != 1) {
        *error = "cannot finish a SHA-256 digest";
        return false;
    }
    copied->md5 = Hex(md5Digest, sizeof md5Digest);
    copied->sha256 = Hex(shaDigest, shaSize);
    return true;
}

}  // namespace

bool CopyWithDigests(const std::string& source, const std::string& target, Progress* progress,
                     CopiedFile* copied, std::string* error) {
    Fd in{::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0) {
        *error = "cannot open " + source + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > stick::kMaxFileSize) {
        *error = source + " is no longer a file a stick can hold";
        return false;
    }
    // A regular file reads the same without O_NONBLOCK; clearing it keeps
    // file systems that honour it from returning short.
    ::fcntl(in.fd, F_SETFL, ::fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);
    Fd out{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)};
    if (out.fd < 0) {
        *error = "cannot create " + target + ": " + std::strerror(errno);
        return false;
    }
    progress->Start("copying " + source, static_cast<std::uint64_t>(st.st_size));
    const bool done = Copy(in.fd, out.fd, source, progress, copied, error);
    progress->Clear();
    if (!done || ::close(std::exchange(out.fd, -1)) != 0) {
        if (done) {
            *error = "cannot write " + target + ": " + std::strerror(errno);
        }
        ::unlink(target.c_str());
        return false;
    }
    return true;
}

}  // namespace upd::pack
