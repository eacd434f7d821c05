// The diagnostic print facility: a process-wide flag word, messages with a
// header naming the process, source position and time, written to a stream,
// a debug file, a rotating error log or an in-memory queue, and a small
// process-name table.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace upd {

// Bits of dpr_stat.
constexpr std::uint32_t DPR_LABELS = 0x001;     // labelled two-line header layout
constexpr std::uint32_t DPR_MESG = 0x002;       // kind 3 messages are printed
constexpr std::uint32_t DPR_MSG = 0x004;        // kind 4 messages are printed
constexpr std::uint32_t DPR_QUEUE = 0x008;      // kind 6 messages are queued
constexpr std::uint32_t DPR_ERRLOG = 0x010;     // messages also go to the error log
constexpr std::uint32_t DPR_DEBUGFILE = 0x020;  // the debug file replaces the stream
constexpr std::uint32_t DPR_FILTER = 0x040;     // dpr_config(1, ...) reloads "./.dpr"
constexpr std::uint32_t DPR_FLUSH = 0x080;      // the stream is flushed after each message
constexpr std::uint32_t DPR_DELAY = 0x100;      // sleep dpr_delay ms after each message
constexpr std::uint32_t DPR_TIME = 0x200;       // the header carries a time field
constexpr std::uint32_t DPR_DATE = 0x400;       // time field: local date, time and ms
constexpr std::uint32_t DPR_USEC = 0x800;       // time field: seconds.microseconds

// The flag word, 0 at start. Atomic because printing threads clear the bit of
// a resource that fails while other threads read the word.
extern std::atomic<std::uint32_t> dpr_stat;
// Milliseconds slept after each message while DPR_DELAY is set; 10 at start,
// 0 means no delay.
extern std::atomic<std::uint16_t> dpr_delay;

// Operation 0 clears the bits of `flags`, 1 sets them and, when `flags`
// holds DPR_FILTER, reloads the source filter from "./.dpr"; any other
// operation does nothing.
void dpr_config(int op, unsigned int flags);

// Sets dpr_delay; DPR_DELAY is left as it is.
void dpr_sleep(unsigned short ms);

// Called with 0, arms a SIGQUIT handler that re-arms itself, so SIGQUIT
// neither stops the process nor dumps core. SIGQUIT that was ignored stays
// ignored. Other signal numbers do nothing.
void SignalHandler(int sig);

// Prints one message of `kind`:
//   0, 8 and above: the error log only;  1, 2, 7: the stream;
//   3: the stream while DPR_MESG is set; 4: the stream while DPR_MSG is set;
//   5: the bare text, no header and no added line end;
//   6: the message queue while DPR_QUEUE is set.
// Every kind but 6 is also written to the error log while DPR_ERRLOG is set.
// `file`, `func` and `line` are the caller's source position. A format that
// ends in the two characters backslash and 'n' gets no line end added.
void dpr(unsigned short kind, FILE* stream, const char* file, const char* func, int line,
         const char* fmt, ...) __attribute__((format(printf, 6, 7)));

// Drains the message queue: with DPR_ERRLOG set every queued line is written
// to the error log (and, with `echo`, to standard output); without it they
// are discarded. `text` is not used.
void LogMessages(const char* text, int echo);

// Registers `name` (at most 15 characters) for process `pid`. A name already
// registered moves to the new pid. 0 for a null or over-long name or a full
// table (16 names), else 1.
int SetThreadName(unsigned long pid, const char* name);
// The same for the calling process.
int SetThreadName(const char* name);

// The first name registered for `pid` (or for the calling process), or null.
const char* GetThreadName(unsigned long pid);
const char* GetThreadName();

// Read the clock into the start or stop record; 1 on success, 0 with the
// record zeroed when the clock cannot be read.
int StartTiming();
int StopTiming();
// Microseconds from the start to the stop record, wrapping after about 35
// minutes.
std::int32_t ElapsedTime();

}  // namespace upd
