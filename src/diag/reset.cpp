// Returning the diagnostic facility to its state at process start, for tests
// that exercise it several times in one process.
#include "diag/dpr.h"
#include "diag/dpr_internal.h"

namespace upd::dpr_detail {

void ResetForTesting() {
    std::scoped_lock lock(dprMutex, LogMessagesMutex);
    std::lock_guard log_lock(ErrorLogMutex);
    if (fp_ErrorLogFile != nullptr) {
        std::fclose(fp_ErrorLogFile);
        fp_ErrorLogFile = nullptr;
    }
    if (fp_DebugFile != nullptr) {
        std::fclose(fp_DebugFile);
        fp_DebugFile = nullptr;
    }
    ErrorLogCount = 0;
    FreeQueue(MessageHead);
    MessageHead = MessageTail = nullptr;
    MessageCount = 0;
    MessageSpace = 0;
    dpr_stat = 0;
    dpr_delay = 10;
    FreeFilter(filter);
    filter = nullptr;
    ThreadInfo = ThreadTable{};
    StartTime = StopTime = timeval{};
    ReadClock = SystemClock;
}

}  // namespace upd::dpr_detail
