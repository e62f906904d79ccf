#include "frame/datetime.h"

#include <cstdio>

namespace kdm {

namespace {
constexpr uint32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr uint32_t kMsPerHour = 3600000;
constexpr uint32_t kMsPerMinute = 60000;
constexpr uint32_t kDaysPer400Years = 146097;
constexpr uint32_t kDaysPer100Years = 36524;
constexpr uint32_t kDaysPer4Years = 1461;
constexpr uint32_t kDaysPerYear = 365;

uint64_t DaysBeforeYear(uint64_t year) {
    uint64_t y = year - 1;
    return y * 365 + y / 4 - y / 100 + y / 400;
}
} // namespace

bool IsLeapYear(uint32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
    if (month < 1 || month > 12)
        return 0;
    if (month == 2 && IsLeapYear(year))
        return 29;
    return kMonthDays[month - 1];
}

TGenericDateTime NativeToGeneric(const TNativeDateTime& native) {
    TGenericDateTime out{};
    if (native.ms > 0 && native.ms < kMsPerDay) {
        uint32_t ms = native.ms;
        out.hour = ms / kMsPerHour;
        ms %= kMsPerHour;
        out.minute = ms / kMsPerMinute;
        ms %= kMsPerMinute;
        out.second = ms / 1000;
        out.millisecond = ms % 1000;
    }
    if (native.day > 0 && native.day < kDateDayLimit) {
        out.dayOfWeek = native.day % 7;
        // Whole 400-, 100-, 4- and 1-year periods before the day; the last
        // day of a 400- or 4-year period belongs to its final, longer year,
        // which the clamps of the 100- and 1-year counts account for.
        uint32_t d = native.day - 1;
        uint32_t n400 = d / kDaysPer400Years;
        d %= kDaysPer400Years;
        uint32_t n100 = d / kDaysPer100Years;
        if (n100 == 4)
            n100 = 3;
        d -= n100 * kDaysPer100Years;
        uint32_t n4 = d / kDaysPer4Years;
        d %= kDaysPer4Years;
        uint32_t n1 = d / kDaysPerYear;
        if (n1 == 4)
            n1 = 3;
        d -= n1 * kDaysPerYear;
        out.year = n400 * 400 + n100 * 100 + n4 * 4 + n1 + 1;
        out.month = 1;
        for (uint32_t length; d >= (length = DaysInMonth(out.year, out.month)); ++out.month)
            d -= length;
        out.day = d + 1;
    }
    return out;
}

bool GenericToNative(const TGenericDateTime& generic, TNativeDateTime* native) {
    TNativeDateTime result{0, 0};
    bool noDate = generic.year == 0 && generic.month == 0 && generic.day == 0;
    bool valid = generic.hour <= 23 && generic.minute < 60 && generic.second < 60 &&
                 generic.millisecond < 1000;
    if (valid && !noDate)
        valid = generic.year >= 1 && generic.day >= 1 &&
                generic.day <= DaysInMonth(generic.year, generic.month);
    if (valid) {
        result.ms = generic.hour * kMsPerHour + generic.minute * kMsPerMinute +
                    generic.second * 1000 + generic.millisecond;
        if (!noDate) {
            uint64_t day = DaysBeforeYear(generic.year) + generic.day;
            for (uint32_t m = 1; m < generic.month; ++m)
                day += DaysInMonth(generic.year, m);
            // Years beyond about 11.7 million would wrap the 32-bit day.
            if (day > UINT32_MAX)
                valid = false;
            else
                result.day = static_cast<uint32_t>(day);
        }
    }
    if (!valid)
        result = TNativeDateTime{0, 0};
    if (native != nullptr)
        *native = result;
    return valid;
}

int32_t FormatDateTimeText(char* dest, int32_t destSize, uint32_t year, uint32_t month,
                           uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                           uint32_t millisecond) {
    if (dest == nullptr || destSize <= 0)
        return 0;
    size_t size = static_cast<size_t>(destSize);
    int n;
    if (year == 0 && month == 0 && day == 0)
        n = std::snprintf(dest, size, "%02u:%02u:%02u,%03u", hour, minute, second, millisecond);
    else
        n = std::snprintf(dest, size, "%04u/%02u/%02u %02u:%02u:%02u,%03u", year, month, day, hour,
                          minute, second, millisecond);
    if (n < 0) {
        dest[0] = '\0';
        return 0;
    }
    return n < destSize ? n : destSize - 1;
}

int32_t FormatDateTimeText(char* dest, int32_t destSize, const TGenericDateTime& value) {
    return FormatDateTimeText(dest, destSize, value.year, value.month, value.day, value.hour,
                              value.minute, value.second, value.millisecond);
}

} // namespace kdm
