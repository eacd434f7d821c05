// Shared helpers of the fuzz targets: invariant checks that abort, the input
// seen as a stream or as a file, and a byte reader for a target's parameters.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace upd::fuzz {

// An invariant that must hold for every input: a violation stops the fuzzer
// with the condition's text, and libFuzzer saves the input as a crash.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

// Takes parameter bytes from the front of the input; the bytes not taken are
// the text under test. An input shorter than the parameters gives zeros.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }

    // Up to `n` bytes, cut at the first byte `stop` (which is consumed), as
    // text; lets one input carry several texts.
    std::string Text(uint8_t stop, size_t n = SIZE_MAX) {
        std::string out;
        while (size_ > 0 && out.size() < n) {
            uint8_t b = Byte();
            if (b == stop) {
                break;
            }
            out.push_back(static_cast<char>(b));
        }
        return out;
    }

    // As Text(), seen as a C string: cut at its first NUL byte.
    std::string CText(uint8_t stop, size_t n = SIZE_MAX) {
        std::string t = Text(stop, n);
        return t.substr(0, t.find('\0'));
    }

    std::string_view Rest() const { return {reinterpret_cast<const char*>(data_), size_}; }
    // The rest as a NUL-terminated string, cut at its first NUL byte.
    std::string RestAsCString() const {
        std::string_view r = Rest();
        return std::string(r.substr(0, r.find('\0')));
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

// A stream reading `bytes` (a copy); empty input reads as end of file at once.
// The caller closes it.
inline FILE* OpenBytes(std::string_view bytes, std::string* keep) {
    *keep = std::string(bytes);
    if (keep->empty()) {
        return fopen("/dev/null", "r");
    }
    return fmemopen(keep->data(), keep->size(), "r");
}

// A directory private to this fuzzing process, in memory when /dev/shm is
// there, removed with its files when the process ends.
inline const std::string& ScratchDir() {
    static std::string dir = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string templ = base + "/upd-fuzz-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        static std::string removeAtExit;
        removeAtExit = "rm -rf '" + templ + "'";
        atexit([] {
            if (system(removeAtExit.c_str()) != 0) {
                fprintf(stderr, "could not remove the scratch directory\n");
            }
        });
        return templ;
    }();
    return dir;
}

// Writes `bytes` to `path`, replacing it; aborts when it cannot, since the
// target would then test nothing.
inline void WriteWhole(const std::string& path, std::string_view bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    FUZZ_CHECK(fd >= 0);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<size_t>(n);
    }
    FUZZ_CHECK(close(fd) == 0);
}

// The whole content of `path`, or false when it cannot be read.
inline bool ReadWhole(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    out->clear();
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        out->reserve(static_cast<size_t>(st.st_size));
    }
    char buf[4096];
    for (ssize_t n; ok && (n = read(fd, buf, sizeof buf)) != 0;) {
        ok = n > 0;
        if (ok) {
            out->append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return ok;
}

}  // namespace upd::fuzz
