// The diagnostic print operation: the gate by kind, the header with the
// process name, source position and time, and the destinations (stream,
// debug file, message queue, error log).
#include <cstdarg>
#include <cstring>

#include "diag/dpr.h"
#include "diag/dpr_internal.h"
#include "time/date.h"
#include "util/util.h"

namespace upd {
namespace dpr_detail {

FILE* fp_DebugFile = nullptr;

}  // namespace dpr_detail

namespace {

constexpr std::size_t kTextSize = 1024;  // the expanded message, cut to 1023
constexpr std::size_t kTimeSize = 32;
constexpr std::size_t kLineSize = 1280;  // a whole line: header, text, line end
// File and function names longer than this are cut in the header.
constexpr std::size_t kFieldMax = 64;

using dpr_detail::kThreadNameSize;

// The longest header, in the labelled layout with time, with every field at
// its longest; the whole line must fit kLineSize with no cut.
constexpr std::size_t kLongestLine =
    sizeof "THREAD " - 1 + (kThreadNameSize - 1) + sizeof " :: FILE " - 1 + kFieldMax +
    sizeof " @" - 1 + sizeof "-2147483648" - 1 + sizeof " :: FUNC " - 1 + kFieldMax +
    sizeof " :: TIME " - 1 + (kTimeSize - 1) + sizeof "\n  " - 1 + (kTextSize - 1) + 2;
static_assert(kLongestLine < kLineSize);

bool PassesGate(unsigned short kind) {
    const std::uint32_t flags = dpr_stat;
    switch (kind) {
        case 3:
            return flags & DPR_MESG;
        case 4:
            return flags & DPR_MSG;
        case 6:
            return flags & DPR_QUEUE;
        default:
            return true;
    }
}

// Copies at most N-1 characters of text.
template <std::size_t N>
void CopyCut(char (&out)[N], const char* text, std::size_t length) {
    const std::size_t n = length < N - 1 ? length : N - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// The last component of path as POSIX basename names it ("." for a null or
// empty path, "/" for the root), cut to kFieldMax characters.
void BaseName(const char* path, char (&out)[kFieldMax + 1]) {
    if (path == nullptr || path[0] == '\0') {
        CopyCut(out, ".", 1);
        return;
    }
    std::size_t end = std::strlen(path);
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    if (end == 1 && path[0] == '/') {
        CopyCut(out, "/", 1);
        return;
    }
    std::size_t start = end;
    while (start > 0 && path[start - 1] != '/') {
        --start;
    }
    CopyCut(out, path + start, end - start);
}

// Fills the time field from the clock. A clock that cannot be read leaves it
// empty. False when the time cannot be formatted: that is reported on
// standard error and DPR_TIME is cleared.
bool TimeField(char (&field)[kTimeSize]) {
    field[0] = '\0';
    timeval now{};
    if (dpr_detail::ReadClock(&now, nullptr) != 0) {
        return true;
    }
    const std::uint32_t flags = dpr_stat;
    if (!(flags & DPR_DATE) && (flags & DPR_USEC)) {
        // Wide enough for 64-bit seconds on the 32-bit instrument too.
        std::snprintf(field, sizeof field, "%lld.%06ld", static_cast<long long>(now.tv_sec),
                      static_cast<long>(now.tv_usec));
        return true;
    }
    // The empty pattern gives the time of day alone.
    const char* pattern = (flags & DPR_DATE) ? "yyyy-mon-dd" : "";
    int code = 0;
    if (!FormatDateTime(now.tv_sec, pattern, 1, field, sizeof field, &code)) {
        std::fprintf(stderr, "dpr : \"FormatDateTime\" failed, ErrorCode = %d\n", code);
        dpr_stat &= ~DPR_TIME;
        return false;
    }
    const std::size_t length = std::strlen(field);
    std::snprintf(field + length, sizeof field - length, ".%03lu",
                  static_cast<unsigned long>(now.tv_usec) / 1000);
    return true;
}

// True when the caller's format ends in the two characters backslash and
// 'n', which then stand for the line end.
bool EndsInEscapedNewline(const char* fmt) {
    const std::size_t length = std::strlen(fmt);
    return length >= 2 && fmt[length - 2] == '\\' && fmt[length - 1] == 'n';
}

struct Header {
    const char* name;
    char file[kFieldMax + 1];
    int line;
    char func[kFieldMax + 1];
    bool with_time;
    char time[kTimeSize];
};

// Composes header, text and line end into out.
void ComposeLine(const Header& h, const char* text, const char* line_end, char (&out)[kLineSize]) {
    const bool labels = dpr_stat & DPR_LABELS;
    // Room is kept for the line end.
    const std::size_t room = sizeof out - 2;
    int n = 0;
    if (h.with_time && labels) {
        n = std::snprintf(out, room,
                          "THREAD %-6s :: FILE %-14s @%4d :: FUNC %-16s :: TIME %s\n  %s", h.name,
                          h.file, h.line, h.func, h.time, text);
    } else if (h.with_time) {
        n = std::snprintf(out, room, "%-6s :: %-14s @%4d :: %-16s :: %-12s :: %s", h.name, h.file,
                          h.line, h.func, h.time, text);
    } else if (labels) {
        n = std::snprintf(out, room, "THREAD %-6s :: FILE %-14s @%4d :: FUNC %s\n  %s", h.name,
                          h.file, h.line, h.func, text);
    } else {
        n = std::snprintf(out, room, "%-6s :: %-14s @%4d :: %-16s :: %s", h.name, h.file, h.line,
                          h.func, text);
    }
    std::size_t length = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (length > room - 1) {
        length = room - 1;
    }
    std::strcpy(out + length, line_end);
}

// The stream a message goes to: the debug file while DPR_DEBUGFILE is set,
// opened at its first use; the caller's stream if it cannot be opened.
FILE* Destination(FILE* stream) {
    if (!(dpr_stat & DPR_DEBUGFILE)) {
        return stream;
    }
    if (dpr_detail::fp_DebugFile == nullptr) {
        dpr_detail::fp_DebugFile = std::fopen(dpr_detail::DebugFilePath(), "a");
        if (dpr_detail::fp_DebugFile == nullptr) {
            dpr_stat &= ~DPR_DEBUGFILE;
            return stream;
        }
    }
    return dpr_detail::fp_DebugFile;
}

}  // namespace

void dpr(unsigned short kind, FILE* stream, const char* file, const char* func, int line,
         const char* fmt, ...) {
    std::lock_guard lock(dpr_detail::dprMutex);
    if (!PassesGate(kind) || fmt == nullptr) {
        return;
    }

    Header header{};
    header.name = GetThreadName();
    if (header.name == nullptr) {
        header.name = "???";
    }

    char text[kTextSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);

    // Kind 5 is the text alone; every other kind gets the header and a line
    // end, which for queued lines is the two characters backslash and 'n'.
    char composed[kLineSize] = "";
    const char* message = text;
    if (kind != 5) {
        if (dpr_stat & DPR_TIME) {
            header.with_time = TimeField(header.time);
        }
        BaseName(file, header.file);
        CopyCut(header.func, func ? func : "", func ? std::strlen(func) : 0);
        header.line = line;
        const char* line_end = EndsInEscapedNewline(fmt) ? "" : (kind == 6 ? "\\n" : "\n");
        ComposeLine(header, text, line_end, composed);
        message = composed;
    }

    FILE* out = Destination(stream);
    switch (kind) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 7:
            // A null stream would crash the C library: such a message goes
            // only where else it is due.
            if (out != nullptr) {
                std::fputs(message, out);
                if (dpr_stat & DPR_FLUSH) {
                    std::fflush(out);
                }
            }
            break;
        case 6:
            if (composed[0] != '\0') {
                std::lock_guard log_lock(dpr_detail::ErrorLogMutex);
                dpr_detail::Enqueue(composed);
            }
            break;
        default:
            break;
    }

    if (kind != 6 && (dpr_stat & DPR_ERRLOG)) {
        std::lock_guard log_lock(dpr_detail::ErrorLogMutex);
        dpr_detail::WriteErrorLog("dpr", message, "");
    }

    const std::uint16_t delay = dpr_delay;
    if ((dpr_stat & DPR_DELAY) && delay != 0) {
        msleep(delay);
    }
}

}  // namespace upd
