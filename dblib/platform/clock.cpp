#include "platform/clock.h"

#include <ctime>

namespace kdm::platform {
namespace {
constexpr int64_t kMsPerDay = 86'400'000;
// 1 January 1601 counted from 1 January 1, and the Unix epoch from 1601.
constexpr int64_t kMsYear1To1601 = 50'491'123'200'000;
constexpr int64_t kMs1601ToUnix = 11'644'473'600'000;

int64_t UnixNowMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}
} // namespace

ClockDateTime SplitMilliseconds(int64_t msSinceYear1) {
    if (msSinceYear1 < 0)
        return {0, 0};
    return {static_cast<uint32_t>(msSinceYear1 % kMsPerDay),
            static_cast<uint32_t>(msSinceYear1 / kMsPerDay + 1)};
}

ClockDateTime FromUnixMilliseconds(int64_t msSinceEpoch) {
    return SplitMilliseconds(msSinceEpoch + kMs1601ToUnix + kMsYear1To1601);
}

ClockDateTime NowUtc() {
    return FromUnixMilliseconds(UnixNowMs());
}

ClockDateTime NowLocal() {
    int64_t ms = UnixNowMs();
    time_t seconds = static_cast<time_t>(ms / 1000);
    tm local;
    if (localtime_r(&seconds, &local) != nullptr)
        ms += int64_t(local.tm_gmtoff) * 1000;
    return FromUnixMilliseconds(ms);
}

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

} // namespace kdm::platform
