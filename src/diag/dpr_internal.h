// The diagnostic facility's shared state, for its own source files and its
// tests: the source filter, the message queue, the error log and debug file,
// the process-name table, the timing records, the locks, and the hooks that
// let tests move the facility's files and clock.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <mutex>

namespace upd::dpr_detail {

// The source filter, loaded from "./.dpr".
struct FilterEntry {
    std::uint16_t kind;  // 1 file-name entry, 2 function-name entry
    char* text;          // owned, allocated with malloc
    FilterEntry* next;
};
extern FilterEntry* filter;

// The queue of kind 6 messages.
struct QueuedMessage {
    char* text;  // owned copy of the complete line
    QueuedMessage* next;
};
extern QueuedMessage* MessageHead;
extern QueuedMessage* MessageTail;
extern std::uint32_t MessageCount;  // nodes appended since the last drain
extern std::uint64_t MessageSpace;  // bytes queued since start, 8 per node included

// Frees a filter or a queue with everything it owns.
void FreeFilter(FilterEntry* entry);
void FreeQueue(QueuedMessage* node);

// Error log and debug file.
constexpr std::uint32_t kErrorLogLimit = 0x40000;  // bytes kept before rotation
constexpr std::uint32_t kSizeCheckEvery = 25;      // writes between size checks
extern FILE* fp_ErrorLogFile;
extern FILE* fp_DebugFile;
extern std::uint32_t ErrorLogCount;

// The process-name table.
constexpr int kMaxThreadNames = 16;
constexpr std::size_t kThreadNameSize = 16;
struct ThreadEntry {
    std::uint32_t pid;
    char name[kThreadNameSize];
};
struct ThreadTable {
    std::int32_t count;
    ThreadEntry entries[kMaxThreadNames];
};
extern ThreadTable ThreadInfo;

// Timing records.
extern timeval StartTime;
extern timeval StopTime;
extern struct timezone TimeZone;

// dprMutex is held by dpr for a whole message and LogMessagesMutex by
// LogMessages for a whole drain. Both take ErrorLogMutex, always second, for
// each touch of the queue, the error log and ErrorLogCount, so that a print
// and a drain running at the same time never race on them.
extern std::mutex dprMutex;
extern std::mutex LogMessagesMutex;
extern std::mutex ErrorLogMutex;

// Rotates the error log into its previous generation once it has grown past
// kErrorLogLimit. 1 when the log is usable, 0 on failure (reported on
// standard error). The caller holds ErrorLogMutex.
int ErrorLogSizeCheck();

// Appends `text` and `end` to the error log, opening it first if needed,
// flushes it, counts the write and runs the size check at every 25th. False
// when the message could not be logged (it then went to standard error) or
// the size check failed; DPR_ERRLOG is cleared in both cases. The caller
// holds ErrorLogMutex; `who` names the caller in messages on standard error.
bool WriteErrorLog(const char* who, const char* text, const char* end);

// Appends a copy of `line` to the message queue; the message is lost when
// memory runs out. The caller holds ErrorLogMutex.
void Enqueue(const char* line);

// The files of the facility.
const char* ErrorLogPath();
const char* ErrorLogPrevPath();
const char* DebugFilePath();

// The clock read by the time field and the timing calls; gettimeofday unless
// a test installed another.
using ClockFunction = int (*)(timeval*, struct timezone*);
int SystemClock(timeval* tv, struct timezone* tz);
extern ClockFunction ReadClock;

// Test hooks: point the three files elsewhere (null restores a default), and
// return the whole facility to its state at process start (files closed,
// queue, filter and name table emptied, flags 0, delay 10, real clock).
void SetPathsForTesting(const char* errlog, const char* errlog_prev, const char* debug_file);
void ResetForTesting();

}  // namespace upd::dpr_detail
