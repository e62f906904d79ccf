// Wall-clock time as native date-time values: milliseconds since midnight
// and day number (1 = 1 January of year 1).
#pragma once

#include <cstdint>

namespace kdm::platform {

struct ClockDateTime {
    uint32_t milliseconds;
    uint32_t day;
};

// Splits milliseconds counted from 1 January of year 1.
ClockDateTime SplitMilliseconds(int64_t msSinceYear1);
// The same from milliseconds since the Unix epoch.
ClockDateTime FromUnixMilliseconds(int64_t msSinceEpoch);

ClockDateTime NowUtc();
ClockDateTime NowLocal();

// Monotonic milliseconds for time limits.
int64_t MonotonicMs();

} // namespace kdm::platform
