// Sleeps, busy waits and small conversions of the support library.
#include "util/util.h"

#include <sched.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

namespace upd {

namespace {

// Sleeps `us` microseconds. usleep serves waits below one second (usleep(0)
// included); POSIX lets usleep refuse a second or more, so longer waits go
// through nanosleep, resumed after a signal until the whole time has passed.
void SleepMicros(unsigned long long us) {
    if (us < 1000000ULL) {
        ::usleep(static_cast<useconds_t>(us));
        return;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1000000ULL);
    ts.tv_nsec = static_cast<long>(us % 1000000ULL) * 1000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Time between two clock readings, the microsecond difference brought into
// 0..999999 by borrowing a second. Negative when the clock went backward.
struct Span {
    long long seconds;
    long long micros;
};

Span Between(const timeval& start, const timeval& now) {
    Span s{static_cast<long long>(now.tv_sec) - start.tv_sec,
           static_cast<long long>(now.tv_usec) - start.tv_usec};
    if (s.micros < 0) {
        s.micros += 1000000;
        s.seconds -= 1;
    }
    return s;
}

}  // namespace

void msleep(unsigned short ms) {
    SleepMicros(detail::MsleepMicros(ms));
}

void mdelay(unsigned long ms) {
    timeval start{};
    if (::gettimeofday(&start, nullptr) != 0) {
        SleepMicros(static_cast<unsigned long long>(ms) * 1000ULL);
        return;
    }
    // The elapsed time is compared unsigned, so a clock that jumps backward
    // (negative elapsed) ends the wait at once.
    long long elapsed = 0;
    while (static_cast<unsigned long long>(elapsed) < ms) {
        timeval now{};
        if (::gettimeofday(&now, nullptr) != 0) {
            ::sched_yield();
            SleepMicros(static_cast<unsigned long long>(ms) * 1000ULL);
            return;
        }
        const Span s = Between(start, now);
        elapsed = s.seconds * 1000 + s.micros / 1000;
        ::sched_yield();
    }
}

void bdelay(unsigned long us) {
    timeval start{};
    if (::gettimeofday(&start, nullptr) != 0) {
        SleepMicros(us);
        return;
    }
    long long elapsed = 0;
    while (static_cast<unsigned long long>(elapsed) < us) {
        timeval now{};
        if (::gettimeofday(&now, nullptr) != 0) {
            SleepMicros(us);
            return;
        }
        const Span s = Between(start, now);
        elapsed = s.seconds * 1000000 + s.micros;
    }
}

int htoi(const char* s) {
    if (s == nullptr) {
        return 0;
    }
    unsigned int value = 0;
    if (std::sscanf(s, "%x", &value) != 1) {
        return 0;
    }
    return static_cast<int>(value);
}

double AbsPctDiff(double reference, double value) {
    if (reference == 0.0) {
        return value == 0.0 ? 0.0 : std::numeric_limits<double>::max();
    }
    return std::fabs(value - reference) / reference * 100.0;
}

const char* SchedulingPolicyName(int policy) {
    switch (policy) {
        case 0:
            return "SCHED_OTHER";
        case 1:
            return "SCHED_FIFO";
        case 2:
            return "SCHED_RR";
        default:
            return "<unknown>";
    }
}

}  // namespace upd
