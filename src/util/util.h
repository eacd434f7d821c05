// Small support functions: sub-second sleeps and busy waits, a hexadecimal
// text conversion, a relative difference in percent and scheduling policy names.
#pragma once

namespace upd {

// Sleeps about `ms` milliseconds. A multiple of 10 sleeps 5 ms less (10 sleeps
// 5, 100 sleeps 95), leaving room for the caller's own overhead in periodic
// loops; 0 still yields through usleep(0).
void msleep(unsigned short ms);

// Waits at least `ms` milliseconds by polling the clock, yielding the
// processor between polls. A failing clock falls back to a plain sleep; a clock
// that jumps backward ends the wait.
void mdelay(unsigned long ms);

// Waits at least `us` microseconds by polling the clock without yielding.
void bdelay(unsigned long us);

// The value of the hexadecimal number at the start of `s` (leading blanks and a
// 0x or 0X prefix accepted); 0 when `s` is null or does not start with one.
int htoi(const char* s);

// |value - reference| / reference * 100. Divided by the reference itself, so
// a negative reference gives a negative result. 0 when both are 0, the largest
// finite double when only the reference is 0.
double AbsPctDiff(double reference, double value);

// "SCHED_OTHER", "SCHED_FIFO" or "SCHED_RR" for the Linux policies 0, 1 and 2;
// "<unknown>" for every other value.
const char* SchedulingPolicyName(int policy);

namespace detail {

// The microseconds that msleep(ms) asks usleep for.
constexpr unsigned long MsleepMicros(unsigned short ms) {
    const unsigned long shortened = (ms != 0 && ms % 10 == 0) ? ms - 5UL : ms;
    return shortened * 1000UL;
}

}  // namespace detail

}  // namespace upd
