#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "frame/lists.h"

using namespace kdm;

namespace {

TEST(ListGrowth, AutomaticStepDoublesThenAddsTwoThousand) {
    CUnsortedList<int32_t> list;
    std::vector<int32_t> capacities{list.Capacity()};
    for (int32_t i = 0; i < 6144; ++i) {
        list.Add(i);
        if (list.Capacity() != capacities.back())
            capacities.push_back(list.Capacity());
    }
    std::vector<int32_t> expected{0};
    for (int32_t c = 2; c <= 2048; c *= 2)
        expected.push_back(c);
    expected.push_back(4096);
    expected.push_back(6144);
    EXPECT_EQ(capacities, expected);
}

struct GrowCase {
    int32_t capacity;
    int32_t step;
    int32_t next;
};

TEST(ListGrowth, PolicyTable) {
    const GrowCase cases[] = {{0, -1, 2},       {1, -1, 2},       {2, -1, 4},  {1024, -1, 2048},
                              {2048, -1, 4096}, {4096, -1, 6144}, {10, 5, 15}, {0, 3, 3}};
    for (const auto& c : cases)
        EXPECT_EQ(list_policy::Grow(c.capacity, c.step), c.next) << c.capacity << "/" << c.step;
}

TEST(ListGrowth, StepZeroCannotGrow) {
    CUnsortedList<int32_t> list;
    list.SetStep(0);
    try {
        list.Add(1);
        FAIL() << "no overflow";
    } catch (const CListException& e) {
        EXPECT_STREQ(e.Message(), "Collection overflow - cannot grow!");
        EXPECT_EQ(e.Number1(), -2);
        EXPECT_EQ(e.Number2(), 200);
    }
    EXPECT_EQ(list.Count(), 0);
}

struct ShrinkCase {
    int32_t count;
    int32_t capacity;
    int32_t step;
    int32_t after;
};

TEST(ListShrink, PolicyTable) {
    const ShrinkCase cases[] = {
        {3, 8, -1, 8},                         // 8 - 4 = 4 is below 3 + 2
        {1, 8, -1, 4},                         //
        {0, 8, -1, 0},                         // empty releases the array
        {1, 4, -1, 2},                         // small lists shrink by 2
        {2, 4, -1, 4},                         // 2 < 2 + 1
        {10, 8192, -1, 6144},                  // large lists by 2048
        {5500, 8192, -1, 8192}, {1, 10, 4, 6}, // positive step
        {1, 10, 0, 10},                        // step 0 never shrinks
        {0, 10, 0, 10},         {1, 3, 5, 3},  // step limited to the capacity: 3-3=0 < 1+1
    };
    for (const auto& c : cases)
        EXPECT_EQ(list_policy::Shrink(c.count, c.capacity, c.step), c.after)
            << c.count << "/" << c.capacity << "/" << c.step;
}

TEST(ListShrink, RemovingOneByOneShrinksStepwiseThenReleases) {
    CUnsortedList<int32_t> list;
    for (int32_t i = 0; i < 5; ++i)
        list.Add(i);
    ASSERT_EQ(list.Capacity(), 8);
    list.Delete(0);
    list.Delete(0);
    EXPECT_EQ(list.Capacity(), 8) << "3 left";
    list.Delete(0);
    EXPECT_EQ(list.Capacity(), 4) << "2 left";
    list.Delete(0);
    EXPECT_EQ(list.Capacity(), 2) << "1 left";
    EXPECT_EQ(list[0], 4);
    list.Delete(0);
    EXPECT_EQ(list.Capacity(), 0);
}

TEST(ListErrors, IndexAndUnderflow) {
    CUnsortedList<int32_t> list;
    list.Add(7);
    struct {
        std::function<void()> op;
        const char* text;
        int32_t number;
    } cases[] = {
        {[&] { (void)list[1]; }, "Collection error; index out of range!", -1},
        {[&] { (void)list[-1]; }, "Collection error; index out of range!", -1},
        {[&] { list.Delete(1); }, "Collection error; index out of range!", -1},
        {[&] { list.Insert(3, 1); }, "Collection error; index out of range!", -1},
        {[&] { list.SetCapacity(0); }, "Collection underflow - cannot shrink!", -3},
    };
    for (auto& c : cases) {
        try {
            c.op();
            ADD_FAILURE() << c.text;
        } catch (const CListException& e) {
            EXPECT_STREQ(e.Message(), c.text);
            EXPECT_EQ(e.Number1(), c.number);
            EXPECT_EQ(e.Number2(), 200);
        }
    }
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0], 7);
}

TEST(SortedList, DuplicateRejectedWithOverflowNumber) {
    CSortedList<int32_t> list;
    for (int32_t v : {5, 1, 3})
        list.Add(v);
    try {
        list.Add(3);
        FAIL();
    } catch (const CListException& e) {
        EXPECT_STREQ(e.Message(), "Collection insert error; collection is sorted!");
        EXPECT_EQ(e.Number1(), -2);
    }
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], 1);
    EXPECT_EQ(list[1], 3);
    EXPECT_EQ(list[2], 5);
}

struct Item {
    int32_t key;
    int32_t tag;
};
struct ItemKey {
    using Key = int32_t;
    static const int32_t& Get(const Item& i) { return i.key; }
};

TEST(SortedList, DuplicatesGoBeforeTheirEquals) {
    CSortedList<Item, ItemKey, true> list;
    list.Add({2, 0});
    list.Add({1, 0});
    list.Add({2, 1});
    list.Add({2, 2});
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list[1].tag, 2);
    EXPECT_EQ(list[2].tag, 1);
    EXPECT_EQ(list[3].tag, 0);
}

TEST(SortedList, FindGivesFirstNotSmallerPosition) {
    CSortedList<int32_t> list;
    for (int32_t v : {10, 20, 30})
        list.Add(v);
    struct {
        int32_t key;
        bool found;
        int32_t position;
    } cases[] = {{5, false, 0}, {10, true, 0}, {15, false, 1}, {30, true, 2}, {31, false, 3}};
    for (const auto& c : cases) {
        int32_t position = -7;
        EXPECT_EQ(list.Find(c.key, &position), c.found) << c.key;
        EXPECT_EQ(position, c.position) << c.key;
    }
    CSortedList<int32_t> empty;
    int32_t position = -7;
    EXPECT_FALSE(empty.Find(1, &position));
    EXPECT_EQ(position, 0);
}

struct Counted {
    static int alive;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};
int Counted::alive = 0;

TEST(OwningList, DeletesOnRemoveClearAndDestruction) {
    {
        CUnsortedPtrOwningList<Counted> list;
        for (int i = 0; i < 5; ++i)
            list.Add(new Counted);
        EXPECT_EQ(Counted::alive, 5);
        list.Delete(2);
        EXPECT_EQ(Counted::alive, 4);
        Counted* kept = list.Extract(0);
        EXPECT_EQ(Counted::alive, 4);
        delete kept;
        list.Clear();
        EXPECT_EQ(Counted::alive, 0);
        list.Add(new Counted);
    }
    EXPECT_EQ(Counted::alive, 0);
}

class WordList : public CList {
public:
    WordList() : CList(true, false, kOwnObject) {}
    ~WordList() override { Clear(); }
    std::vector<Word> deleted;

protected:
    // Descending order, to show the virtual compare is used.
    int Compare(Word a, Word b) const override { return a > b ? -1 : (a < b ? 1 : 0); }
    void DeleteObject(Word w) override { deleted.push_back(w); }
};

TEST(UntypedList, VirtualCompareOwnershipAndDuplicateResult) {
    WordList list;
    EXPECT_EQ(list.Add(1), 0);
    EXPECT_EQ(list.Add(3), 0);
    EXPECT_EQ(list.Add(2), 1);
    EXPECT_EQ(list.InsertSorted(2), -1);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Get(0), 3u);
    EXPECT_EQ(list.Get(2), 1u);
    list.Delete(1);
    EXPECT_EQ(list.deleted, std::vector<CList::Word>{2});
}

} // namespace
