// The error log with its rotation into a previous generation, the queue of
// kind 6 messages and its drain into the log.
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "diag/dpr.h"
#include "diag/dpr_internal.h"
#include "files/file.h"
#include "platform/platform.h"

namespace upd {
namespace dpr_detail {

FILE* fp_ErrorLogFile = nullptr;
std::uint32_t ErrorLogCount = 0;

QueuedMessage* MessageHead = nullptr;
QueuedMessage* MessageTail = nullptr;
std::uint32_t MessageCount = 0;
std::uint64_t MessageSpace = 0;

std::mutex dprMutex;
std::mutex LogMessagesMutex;
std::mutex ErrorLogMutex;

namespace {

constexpr char kErrorLog[] = "/home/Orlend/log/Updateerrlog.txt";
constexpr char kErrorLogPrev[] = "/home/Orlend/log/Updateerrlogprev.txt";
constexpr char kDebugFile[] = "/home/Orlend/bin/debug.txt";

// Set only by tests, before any message is printed.
std::string errlog_override;
std::string errlog_prev_override;
std::string debug_file_override;

const char* PathOr(const std::string& override_path, const char* fixed) {
    return override_path.empty() ? fixed : override_path.c_str();
}

// Reports a failed rename of the log: the line for Rename's code, if that
// code has one, then the general line.
void ReportRenameFailure(int code, const char* log, const char* prev) {
    switch (code) {
        case kRenameAccessDenied:
            std::fprintf(stderr, "Can't rename file \"%s\" to \"%s\" (EACCES).\n", log, prev);
            break;
        case kRenameNoEntry:
            std::fprintf(stderr, "Can't rename file \"%s\" to \"%s\" (ENOENT).\n", log, prev);
            break;
        case kRenameCrossDevice:
            std::fprintf(stderr, "Can't rename file \"%s\" to \"%s\" (EXDEV).\n", log, prev);
            break;
        case kRenameTargetExists:
            std::fprintf(stderr,
                         "Can't rename file \"%s\" to \"%s\".  A file named \"%s\" already "
                         "exists.\n",
                         log, prev, prev);
            break;
        case kRenameOldMissing:
            std::fprintf(stderr,
                         "Can't rename file \"%s\" to \"%s\".  The file \"%s\" does not exist.\n",
                         log, prev, log);
            break;
        default:
            break;
    }
    std::fprintf(stderr, "Can't rename file \"%s\" to \"%s\".\n", log, prev);
}

// Opens the error log for appending (creating it) the first time a message
// is to be written to it. On failure says why on standard error.
bool OpenErrorLog(const char* who) {
    if (fp_ErrorLogFile != nullptr) {
        return true;
    }
    fp_ErrorLogFile = std::fopen(ErrorLogPath(), "a");
    if (fp_ErrorLogFile == nullptr) {
        std::fprintf(stderr, "%s : can't open error log \"%s\" (%s), message written here\n", who,
                     ErrorLogPath(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

void FreeQueue(QueuedMessage* node) {
    while (node != nullptr) {
        QueuedMessage* next = node->next;
        delete[] node->text;
        delete node;
        node = next;
    }
}

const char* ErrorLogPath() {
    return PathOr(errlog_override, kErrorLog);
}
const char* ErrorLogPrevPath() {
    return PathOr(errlog_prev_override, kErrorLogPrev);
}
const char* DebugFilePath() {
    return PathOr(debug_file_override, kDebugFile);
}

void SetPathsForTesting(const char* errlog, const char* errlog_prev, const char* debug_file) {
    errlog_override = errlog ? errlog : "";
    errlog_prev_override = errlog_prev ? errlog_prev : "";
    debug_file_override = debug_file ? debug_file : "";
}

int ErrorLogSizeCheck() {
    if (fp_ErrorLogFile == nullptr) {
        return 0;
    }
    const std::int32_t size = filelen_fp(fp_ErrorLogFile);
    if (size < 0) {
        std::fputs("ErrorLogSizeCheck : \"filelen_fp\" failed", stderr);
        return 0;
    }
    if (static_cast<std::uint32_t>(size) <= kErrorLogLimit) {
        return 1;
    }
    const char* log = ErrorLogPath();
    const char* prev = ErrorLogPrevPath();
    if (exists(prev) && !RemoveFile(prev)) {
        std::fputs("ErrorLogSizeCheck : \"RemoveFile\" failed", stderr);
        return 0;
    }
    // fclose releases the stream even when it reports a failure.
    const int closed = std::fclose(fp_ErrorLogFile);
    fp_ErrorLogFile = nullptr;
    if (closed != 0) {
        std::fputs("ErrorLogSizeCheck : \"fclose\" failed", stderr);
        return 0;
    }
    if (const int code = Rename(log, prev); code != kRenameDone) {
        ReportRenameFailure(code, log, prev);
        return 0;
    }
    fp_ErrorLogFile = std::fopen(log, "a");
    if (fp_ErrorLogFile == nullptr) {
        std::fputs("ErrorLogSizeCheck : \"fopen\" failed", stderr);
        return 0;
    }
    return 1;
}

bool WriteErrorLog(const char* who, const char* text, const char* end) {
    if (!OpenErrorLog(who)) {
        std::fputs(text, stderr);
        std::fputs(end, stderr);
        dpr_stat &= ~DPR_ERRLOG;
        return false;
    }
    std::fputs(text, fp_ErrorLogFile);
    std::fputs(end, fp_ErrorLogFile);
    std::fflush(fp_ErrorLogFile);
    ++ErrorLogCount;
    if (ErrorLogCount % kSizeCheckEvery == 0 && !ErrorLogSizeCheck()) {
        dpr_stat &= ~DPR_ERRLOG;
        return false;
    }
    return true;
}

void Enqueue(const char* line) {
    const std::size_t size = std::strlen(line) + 1;
    auto* node = new (std::nothrow) QueuedMessage{};
    char* copy = new (std::nothrow) char[size];
    if (node == nullptr || copy == nullptr) {
        delete node;
        delete[] copy;
        return;
    }
    std::memcpy(copy, line, size);
    node->text = copy;
    if (MessageTail == nullptr) {
        MessageHead = node;
    } else {
        MessageTail->next = node;
    }
    MessageTail = node;
    ++MessageCount;
    MessageSpace += size + 8;
}

}  // namespace dpr_detail

void LogMessages(const char* /*text*/, int echo) {
    using namespace dpr_detail;
    std::lock_guard lock(LogMessagesMutex);
    std::fputc('\n', stdout);

    // The queue is taken whole under the log lock; messages queued while it
    // is written out wait for the next drain instead of being freed unseen.
    QueuedMessage* taken = nullptr;
    {
        std::lock_guard log_lock(ErrorLogMutex);
        taken = MessageHead;
        MessageHead = MessageTail = nullptr;
        MessageCount = 0;
    }

    for (QueuedMessage* node = taken; node != nullptr && (dpr_stat & DPR_ERRLOG);
         node = node->next) {
        if (echo) {
            std::puts(node->text);
        }
        std::lock_guard log_lock(ErrorLogMutex);
        WriteErrorLog("LogMessages", node->text, "\n");
    }
    platform::Current().Sync();
    FreeQueue(taken);
}

}  // namespace upd
