// The line reader and its blank and comment tests.
#include "manifest/line.h"

#include "util/str.h"

namespace upd {

namespace {

constexpr int kTabStop = 8;

bool IsBlankChar(int ch) {
    return ch == ' ' || ch == '\t';
}

// Holds a stream's lock for as long as it lives.
class StreamLock {
  public:
    explicit StreamLock(FILE* stream) : stream_(stream) { flockfile(stream_); }
    ~StreamLock() { funlockfile(stream_); }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

  private:
    FILE* stream_;
};

}  // namespace

int nextline(FILE* stream, char* buf, int size, int mode, int* skipped) {
    int ignored = 0;
    if (skipped == nullptr) {
        skipped = &ignored;
    }
    *skipped = 0;
    for (;;) {
        if (buf == nullptr || size <= 1) {
            return -3;
        }
        if (stream == nullptr) {
            buf[0] = '\0';
            return -3;
        }
        const int limit = size - 1;
        int len = 0;
        bool too_long = false;
        int ch;
        // The stream is locked once for the line rather than once for each
        // character it holds.
        const StreamLock lock(stream);
        while ((ch = getc_unlocked(stream)) != EOF && ch != '\n') {
            if (ch == '\r') {
                continue;
            }
            if (len == limit) {
                // A full buffer swallows blanks: they would be trimmed anyway.
                if (!IsBlankChar(ch)) {
                    too_long = true;
                }
                continue;
            }
            if (ch == '\t') {
                const int stop = (len / kTabStop + 1) * kTabStop;
                while (len < stop && len < limit) {
                    buf[len++] = ' ';
                }
                continue;
            }
            buf[len++] = static_cast<char>(ch);
        }
        buf[len] = '\0';
        if (ferror(stream)) {
            return -3;
        }
        if (!too_long && len == 0 && feof(stream)) {
            return -1;
        }
        if (((mode & kSkipBlankLines) && IsBlank(buf)) ||
            ((mode & kSkipCommentLines) && iscomm(buf))) {
            ++*skipped;
            continue;
        }
        if (too_long) {
            return -2;
        }
        while (len > 0 && IsBlankChar(static_cast<unsigned char>(buf[len - 1]))) {
            --len;
        }
        buf[len] = '\0';
        return len;
    }
}

int IsBlank(const char* s) {
    if (s == nullptr) {
        return 1;
    }
    return *SkipSpaces(s) == '\0' ? 1 : 0;
}

int iscomm(const char* s) {
    if (s == nullptr) {
        return 0;
    }
    const char first = *SkipSpaces(s);
    return first == '#' || first == ';' ? 1 : 0;
}

}  // namespace upd
