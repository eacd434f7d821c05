// Measuring an interval: a start and a stop reading of the clock.
#include "diag/dpr.h"
#include "diag/dpr_internal.h"

namespace upd {
namespace dpr_detail {

timeval StartTime{};
timeval StopTime{};
struct timezone TimeZone {};

int SystemClock(timeval* tv, struct timezone* tz) {
    return ::gettimeofday(tv, tz);
}

ClockFunction ReadClock = SystemClock;

}  // namespace dpr_detail

namespace {

int ReadInto(timeval* record) {
    *record = timeval{};
    if (dpr_detail::ReadClock(record, &dpr_detail::TimeZone) != 0) {
        *record = timeval{};
        return 0;
    }
    return 1;
}

}  // namespace

int StartTiming() {
    return ReadInto(&dpr_detail::StartTime);
}

int StopTiming() {
    return ReadInto(&dpr_detail::StopTime);
}

std::int32_t ElapsedTime() {
    using dpr_detail::StartTime;
    using dpr_detail::StopTime;
    // Computed wide, then wrapped to 32 bits.
    const std::int64_t micros =
        (static_cast<std::int64_t>(StopTime.tv_sec) - StartTime.tv_sec) * 1000000 +
        (static_cast<std::int64_t>(StopTime.tv_usec) - StartTime.tv_usec);
    return static_cast<std::int32_t>(micros);
}

}  // namespace upd
