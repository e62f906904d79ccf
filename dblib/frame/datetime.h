// The two date-time forms: the native one in which values are stored,
// transferred and compared, and the broken-down generic one.
#pragma once

#include <cstdint>

namespace kdm {

// Day 1 is 1 January of year 1 (proleptic Gregorian); {0, 0} is no date-time.
struct TNativeDateTime {
    uint32_t ms;  // since midnight, 0..86,399,999
    uint32_t day; // 0: no date
};
static_assert(sizeof(TNativeDateTime) == 8);

struct TGenericDateTime {
    uint32_t year;
    uint32_t month;     // 1..12
    uint32_t day;       // 1..31
    uint32_t dayOfWeek; // 0 Sunday .. 6 Saturday
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
    uint32_t millisecond;
};
static_assert(sizeof(TGenericDateTime) == 32);

inline constexpr uint32_t kMsPerDay = 86400000;
// First day number that no longer converts to a date (31 December 4516).
inline constexpr uint32_t kDateDayLimit = 1649435;

bool IsLeapYear(uint32_t year);
// 0 for a month outside 1..12.
uint32_t DaysInMonth(uint32_t year, uint32_t month);

// Out-of-range milliseconds or day numbers leave the time or the date zero;
// never fails.
TGenericDateTime NativeToGeneric(const TNativeDateTime& native);

// False, with *native = {0, 0}, for an invalid value: a date other than
// 0/0/0 outside the calendar, a time field out of range, or a date whose
// day number does not fit 32 bits. The day of week is ignored.
bool GenericToNative(const TGenericDateTime& generic, TNativeDateTime* native);

// "YYYY/MM/DD hh:mm:ss,mmm", or "hh:mm:ss,mmm" when year, month and day are
// all 0. Cut to destSize - 1 characters and always terminated; destSize <= 0
// or a null dest writes nothing. Returns the number of characters stored.
int32_t FormatDateTimeText(char* dest, int32_t destSize, uint32_t year, uint32_t month,
                           uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                           uint32_t millisecond);
int32_t FormatDateTimeText(char* dest, int32_t destSize, const TGenericDateTime& value);

} // namespace kdm
