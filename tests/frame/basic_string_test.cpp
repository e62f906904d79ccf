#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "frame/basic_string.h"

using namespace kdm;

namespace {

TEST(BasicString, CopiesShareUntilOneChanges) {
    CBasicString a("recorder");
    CBasicString b = a;
    EXPECT_TRUE(a.SharesBlockWith(b));
    EXPECT_EQ(a.ShareCount(), 2);
    b += " 7";
    EXPECT_FALSE(a.SharesBlockWith(b));
    EXPECT_EQ(a, std::string_view("recorder"));
    EXPECT_EQ(b, std::string_view("recorder 7"));
    EXPECT_EQ(a.ShareCount(), 1);
}

TEST(BasicString, EmptyStringsShareOneUncountedBlock) {
    CBasicString a, b("");
    CBasicString c("x");
    c.Clear();
    EXPECT_TRUE(a.SharesBlockWith(b));
    EXPECT_TRUE(a.SharesBlockWith(c));
    EXPECT_EQ(a.ShareCount(), 0);
    EXPECT_STREQ(a.c_str(), "");
}

TEST(BasicString, CapacityRoundsDownToSixteenPlusSixteen) {
    const std::pair<size_t, size_t> cases[] = {{1, 16}, {15, 16}, {16, 32}, {31, 32}, {100, 112}};
    for (auto [length, capacity] : cases) {
        EXPECT_EQ(CBasicString::CapacityFor(length), capacity);
        CBasicString s(std::string(length, 'a'));
        EXPECT_EQ(s.Capacity(), capacity) << length;
    }
}

TEST(BasicString, AppendingItselfAndTruncateOnShared) {
    CBasicString a("abc");
    a.Append(a.View());
    EXPECT_EQ(a, std::string_view("abcabc"));
    CBasicString b = a;
    b.Truncate(2);
    EXPECT_EQ(a, std::string_view("abcabc"));
    EXPECT_EQ(b, std::string_view("ab"));
    b.UpperCase();
    EXPECT_EQ(b, std::string_view("AB"));
}

TEST(BasicString, CopiesReleasedFromManyThreads) {
    CBasicString shared(std::string(200, 'q'));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([shared] {
            for (int i = 0; i < 10000; ++i) {
                CBasicString copy = shared;
                ASSERT_EQ(copy.Length(), 200u);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shared.ShareCount(), 1);
}

TEST(StaticString, CutToCapacityAndTerminated) {
    CString32 s;
    s = std::string(40, 'z');
    EXPECT_EQ(s.Length(), 32u);
    EXPECT_EQ(s.c_str()[32], '\0');
    CString64 t("abc");
    t.Append(std::string(70, 'y'));
    EXPECT_EQ(t.Length(), 64u);
    EXPECT_EQ(t.View().substr(0, 4), "abcy");
}

} // namespace
