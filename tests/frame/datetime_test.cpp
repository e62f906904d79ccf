#include "frame/datetime.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

namespace kdm {
namespace {

std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>
Fields(const TGenericDateTime& g) {
    return {g.year, g.month, g.day, g.dayOfWeek, g.hour, g.minute, g.second, g.millisecond};
}

struct NativeCase {
    TNativeDateTime native;
    TGenericDateTime generic;
};

class NativeToGenericTest : public ::testing::TestWithParam<NativeCase> {};

TEST_P(NativeToGenericTest, Converts) {
    const NativeCase& c = GetParam();
    EXPECT_EQ(Fields(NativeToGeneric(c.native)), Fields(c.generic));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NativeToGenericTest,
    ::testing::Values(NativeCase{{0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
                      NativeCase{{0, 731312}, {2003, 4, 7, 1, 0, 0, 0, 0}}, // a Monday
                      NativeCase{{3723004, 731312}, {2003, 4, 7, 1, 1, 2, 3, 4}},
                      NativeCase{{3723004, 0}, {0, 0, 0, 0, 1, 2, 3, 4}},
                      NativeCase{{0, 1}, {1, 1, 1, 1, 0, 0, 0, 0}},         // 0001-01-01, Monday
                      NativeCase{{0, 730120}, {2000, 1, 1, 6, 0, 0, 0, 0}}, // a Saturday
                      NativeCase{{0, 730179}, {2000, 2, 29, 2, 0, 0, 0, 0}},
                      NativeCase{{0, 1649434}, {4516, 12, 30, 1649434 % 7, 0, 0, 0, 0}},
                      NativeCase{{0, 1649435},
                                 {0, 0, 0, 0, 0, 0, 0, 0}}, // 31 December 4516: beyond the range
                      NativeCase{{0, UINT32_MAX}, {0, 0, 0, 0, 0, 0, 0, 0}},
                      NativeCase{{86399999, 0}, {0, 0, 0, 0, 23, 59, 59, 999}},
                      NativeCase{{86400000, 1}, {1, 1, 1, 1, 0, 0, 0, 0}}, // time out of range: 0
                      NativeCase{{UINT32_MAX, 0}, {0, 0, 0, 0, 0, 0, 0, 0}}));

struct GenericCase {
    const char* name;
    TGenericDateTime generic;
    bool valid;
    TNativeDateTime native;
};
void PrintTo(const GenericCase& c, std::ostream* os) {
    *os << c.name;
}

class GenericToNativeTest : public ::testing::TestWithParam<GenericCase> {};

TEST_P(GenericToNativeTest, ConvertsOrRejects) {
    const GenericCase& c = GetParam();
    TNativeDateTime out{12345, 67890};
    EXPECT_EQ(GenericToNative(c.generic, &out), c.valid);
    EXPECT_EQ(out.ms, c.native.ms);
    EXPECT_EQ(out.day, c.native.day);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GenericToNativeTest,
    ::testing::Values(GenericCase{"NoDate", {0, 0, 0, 0, 1, 2, 3, 4}, true, {3723004, 0}},
                      GenericCase{"LastMs", {0, 0, 0, 0, 23, 59, 59, 999}, true, {86399999, 0}},
                      GenericCase{"Day1", {1, 1, 1, 0, 0, 0, 0, 0}, true, {0, 1}},
                      GenericCase{"Apr2003", {2003, 4, 7, 0, 1, 2, 3, 4}, true, {3723004, 731312}},
                      GenericCase{
                          "DayOfWeekIgnored", {2003, 4, 7, 5, 0, 0, 0, 0}, true, {0, 731312}},
                      GenericCase{"Leap2004", {2004, 2, 29, 0, 0, 0, 0, 0}, true, {0, 731640}},
                      GenericCase{"Century2000", {2000, 2, 29, 0, 0, 0, 0, 0}, true, {0, 730179}},
                      GenericCase{"Century1600", {1600, 2, 29, 0, 0, 0, 0, 0}, true, {0, 584082}},
                      GenericCase{"NonLeap2003", {2003, 2, 29, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Century1900", {1900, 2, 29, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Century2100", {2100, 2, 29, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Year0", {0, 1, 1, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Month0", {2003, 0, 1, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Month13", {2003, 13, 1, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Day0", {2003, 4, 0, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"April31", {2003, 4, 31, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"PartialZeroDate", {0, 0, 1, 0, 0, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Hour24", {2003, 4, 7, 0, 24, 0, 0, 0}, false, {0, 0}},
                      GenericCase{"Minute60", {0, 0, 0, 0, 0, 60, 0, 0}, false, {0, 0}},
                      GenericCase{"Second60", {0, 0, 0, 0, 0, 0, 60, 0}, false, {0, 0}},
                      GenericCase{"Ms1000", {0, 0, 0, 0, 0, 0, 0, 1000}, false, {0, 0}},
                      // The day number would not fit 32 bits.
                      GenericCase{"HugeYear", {20000000, 1, 1, 0, 0, 0, 0, 0}, false, {0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Walks the calendar one day at a time, independently of the period
// arithmetic of the converter, over the whole convertible range.
TEST(DateTimeRoundTrip, EveryDayMatchesCalendarWalk) {
    uint32_t year = 1, month = 1, day = 1, dayOfWeek = 1;
    for (uint32_t d = 1; d < kDateDayLimit; ++d) {
        TGenericDateTime g = NativeToGeneric({d % kMsPerDay, d});
        ASSERT_EQ(g.year, year) << "day " << d;
        ASSERT_EQ(g.month, month) << "day " << d;
        ASSERT_EQ(g.day, day) << "day " << d;
        ASSERT_EQ(g.dayOfWeek, dayOfWeek) << "day " << d;
        TNativeDateTime back{};
        ASSERT_TRUE(GenericToNative(g, &back)) << "day " << d;
        ASSERT_EQ(back.day, d);
        ASSERT_EQ(back.ms, d % kMsPerDay);
        dayOfWeek = (dayOfWeek + 1) % 7;
        if (++day > DaysInMonth(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    // The first day left out is 31 December 4516.
    EXPECT_EQ(year, 4516u);
    EXPECT_EQ(month, 12u);
    EXPECT_EQ(day, 31u);
}

TEST(DateTimeCalendar, MonthLengths) {
    const uint32_t lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (uint32_t m = 1; m <= 12; ++m)
        EXPECT_EQ(DaysInMonth(2003, m), lengths[m - 1]) << m;
    EXPECT_EQ(DaysInMonth(2004, 2), 29u);
    EXPECT_EQ(DaysInMonth(1900, 2), 28u);
    EXPECT_EQ(DaysInMonth(2000, 2), 29u);
    EXPECT_EQ(DaysInMonth(2003, 0), 0u);
    EXPECT_EQ(DaysInMonth(2003, 13), 0u);
}

struct TextCase {
    TGenericDateTime value;
    int32_t destSize;
    const char* text;
};

class DateTimeTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(DateTimeTextTest, FormatsAndCuts) {
    const TextCase& c = GetParam();
    char dest[80];
    std::memset(dest, 'x', sizeof dest);
    int32_t n = FormatDateTimeText(dest, c.destSize, c.value);
    EXPECT_STREQ(dest, c.text);
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_EQ(dest[c.destSize], 'x') << "wrote beyond destSize";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DateTimeTextTest,
    ::testing::Values(TextCase{{0, 0, 0, 0, 1, 2, 3, 4}, 64, "01:02:03,004"},
                      TextCase{{2003, 4, 7, 1, 1, 2, 3, 4}, 64, "2003/04/07 01:02:03,004"},
                      TextCase{{0, 1, 0, 0, 0, 0, 0, 0}, 64, "0000/01/00 00:00:00,000"},
                      TextCase{{1, 1, 1, 1, 23, 59, 59, 999}, 64, "0001/01/01 23:59:59,999"},
                      TextCase{{2003, 4, 7, 1, 1, 2, 3, 4}, 24, "2003/04/07 01:02:03,004"},
                      TextCase{{2003, 4, 7, 1, 1, 2, 3, 4}, 23, "2003/04/07 01:02:03,00"},
                      TextCase{{2003, 4, 7, 1, 1, 2, 3, 4}, 5, "2003"},
                      TextCase{{0, 0, 0, 0, 1, 2, 3, 4}, 1, ""}));

TEST(DateTimeText, NoRoomWritesNothing) {
    for (int32_t size : {0, -1, INT32_MIN}) {
        char dest[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(FormatDateTimeText(dest, size, 2003, 4, 7, 1, 2, 3, 4), 0);
        EXPECT_EQ(std::string(dest, 4), "xxxx") << size;
    }
    EXPECT_EQ(FormatDateTimeText(nullptr, 10, 2003, 4, 7, 1, 2, 3, 4), 0);
}

} // namespace
} // namespace kdm
