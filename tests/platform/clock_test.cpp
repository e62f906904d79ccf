#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.h"

using namespace kdm::platform;

namespace {

TEST(Clock, SplitsMillisecondsIntoDayAndTimeOfDay) {
    struct {
        int64_t unixMs;
        uint32_t day;
        uint32_t ms;
    } cases[] = {
        {0, 719163, 0},                   // 1970-01-01
        {86'399'999, 719163, 86'399'999}, //
        {1049677323004, 731312, 3723004}, // 2003-04-07 01:02:03,004
        {-11644473600000, 584389, 0},     // 1601-01-01
    };
    for (const auto& c : cases) {
        ClockDateTime t = FromUnixMilliseconds(c.unixMs);
        EXPECT_EQ(t.day, c.day) << c.unixMs;
        EXPECT_EQ(t.milliseconds, c.ms) << c.unixMs;
    }
    EXPECT_EQ(SplitMilliseconds(0).day, 1u) << "day 1 is 1 January of year 1";
}

TEST(Clock, NowFollowsTheSystemClockAndTimeZone) {
    time_t before = time(nullptr);
    ClockDateTime utc = NowUtc();
    ClockDateTime expected = FromUnixMilliseconds(int64_t(before) * 1000);
    EXPECT_LE(expected.day, utc.day);
    EXPECT_LE(utc.day, expected.day + 1);

    setenv("TZ", "UTC-3", 1); // three hours east of UTC
    tzset();
    ClockDateTime local = NowLocal();
    ClockDateTime now = NowUtc();
    int64_t diff = (int64_t(local.day) - now.day) * 86'400'000 + int64_t(local.milliseconds) -
                   now.milliseconds;
    EXPECT_NEAR(double(diff), 3 * 3'600'000.0, 5000.0);
    unsetenv("TZ");
    tzset();
}

} // namespace
