// Cursor operations: fetch modes and step counts, row numbering before and
// after counting, bookmarks, locating by condition, blobs, abort, errors.
#include "sql/sql_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sql/support/query.h"

namespace kdm::sql::test {
namespace {

constexpr uint32_t kPictures = 0, kEvents = 1;

// Events 10, 20, ... with kinds 1, 2, 1, 2, 1.
void FillEvents(CMemDatabase& db, int count) {
    for (int i = 1; i <= count; ++i)
        db.Insert(CRecord(kEvents).Int("EventID", 10 * i).Int("EventKind", 2 - i % 2));
}

struct Fixture : ::testing::Test {
    CMemDatabase db;
    std::unique_ptr<CSQLSessionManager> m;
    void Make(int events) {
        FillEvents(db, events);
        m = std::make_unique<CSQLSessionManager>(db.Engine());
    }
    int64_t Count(CCursor& c) {
        int64_t count = -1;
        EXPECT_TRUE(
            m->CountRecords(c.handle, &count, &c.row, nullptr, &c.aborted, &c.mark, &c.report));
        return count;
    }
    bool Locate(CCursor& c, int32_t kind, const TSQLBookmark& b, int64_t steps = 0) {
        return m->LocateBookmark(c.handle, kind, b, steps, &c.row, &c.found, nullptr, &c.aborted,
                                 &c.mark, &c.report);
    }
    bool Where(CCursor& c, int32_t mode, const char* condition) {
        return m->LocateWhere(c.handle, mode, condition, &c.row, &c.found, nullptr, &c.aborted,
                              &c.mark, &c.report);
    }
};

using Cursors = Fixture;

// (mode, steps) from a fresh cursor -> row, row number.
TEST_F(Cursors, FetchModesAndStepCounts) {
    Make(3);
    CCursor c(*m, "SELECT EventID FROM EVENTS");
    struct {
        int32_t mode;
        int64_t steps;
        const char* row;
        int64_t number;
    } seq[] = {
        {0, 3, "EVENTID=30", 0},  {0, 5, "-", -2},         {1, -1, "EVENTID=30", 0},
        {2, -1, "EVENTID=20", 0}, {2, 0, "EVENTID=20", 0}, {2, -5, "-", -1},
        {2, 1, "EVENTID=10", 0},  {0, 0, "-", -1},         {1, 0, "-", -2},
        {1, -3, "EVENTID=10", 0}, {0, INT64_MAX, "-", -2}, {0, INT64_MIN, "-", -1},
    };
    for (const auto& s : seq) {
        ASSERT_TRUE(c.Fetch(s.mode, s.steps)) << s.mode << "/" << s.steps;
        EXPECT_EQ(c.Row(), s.row) << s.mode << "/" << s.steps;
        EXPECT_EQ(c.row, s.number) << s.mode << "/" << s.steps;
    }
    EXPECT_FALSE(c.Fetch(4, 1));
    EXPECT_EQ(c.report.code, peCritical);
}

TEST_F(Cursors, RowNumbersBeforeAndAfterCounting) {
    Make(3);
    CCursor c(*m, "SELECT EventID FROM EVENTS");
    c.Fetch(0, 2);
    EXPECT_EQ(c.row, 0) << "not counted yet";
    EXPECT_EQ(Count(c), 3);
    EXPECT_EQ(c.row, 1) << "counting finds the current row";
    EXPECT_EQ(c.Row(), "EVENTID=20") << "counting keeps the position";
    std::vector<int64_t> forward, backward;
    for (bool ok = c.Fetch(0, 1); ok && c.found; ok = c.Fetch(2, 1))
        forward.push_back(c.row);
    EXPECT_EQ(c.row, -2);
    for (bool ok = c.Fetch(1, -1); ok && c.found; ok = c.Fetch(2, -1))
        backward.push_back(c.row);
    EXPECT_EQ(c.row, -1);
    EXPECT_EQ(forward, (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(backward, (std::vector<int64_t>{2, 1, 0}));
    c.Fetch(0, 2);
    EXPECT_EQ(c.row, 1);
    EXPECT_EQ(Count(c), 3) << "stored";

    CCursor empty(*m, "SELECT EventID FROM EVENTS WHERE EventID > 99");
    EXPECT_EQ(Count(empty), 0);
    EXPECT_EQ(empty.row, -1);
}

TEST_F(Cursors, OrderByDoesNotReorder) {
    Make(3);
    EXPECT_EQ(RunAll(*m, "SELECT * FROM EVENTS ORDER BY EventID DESC"),
              RunAll(*m, "SELECT * FROM EVENTS"));
    EXPECT_EQ(RunAll(*m, "SELECT EventID FROM EVENTS ORDER BY EventID DESC"),
              "EVENTID=10 | EVENTID=20 | EVENTID=30");
}

TEST_F(Cursors, BookmarksPositionCursorsOfTheSameStatement) {
    Make(5);
    const std::string sql = "SELECT EventID FROM EVENTS";
    CCursor a(*m, sql), b(*m, sql);
    a.Fetch(0, 2);
    TSQLBookmark at20 = a.mark;
    EXPECT_EQ(at20.TableCount(), 1u);
    EXPECT_EQ(at20.TableNo(0), kEvents);
    EXPECT_EQ(at20.Position(0), 20);

    // Foreign bookmark on a counted cursor: the row number is recounted.
    EXPECT_EQ(Count(b), 5);
    ASSERT_TRUE(Locate(b, 2, at20));
    EXPECT_EQ(b.Row(), "EVENTID=20");
    EXPECT_EQ(b.row, 1);
    // Its own bookmark after counting carries the number.
    b.Fetch(0, 4);
    TSQLBookmark at40 = b.mark;
    EXPECT_EQ(at40.RowNumber(), 3);
    b.Fetch(0, 1);
    ASSERT_TRUE(Locate(b, 3, at40, 1));
    EXPECT_EQ(b.Row(), "EVENTID=50");
    EXPECT_EQ(b.row, 4);
    ASSERT_TRUE(Locate(b, 4, at40, 2));
    EXPECT_EQ(b.Row(), "EVENTID=20");
    EXPECT_EQ(b.row, 1);
    ASSERT_TRUE(Locate(b, 3, at40, 5));
    EXPECT_FALSE(b.found);
    EXPECT_EQ(b.row, -2);

    // The bookmarked row is gone: kinds 0 and 1 take a neighbour, kind 2
    // misses and leaves the cursor where it was.
    db.Clear(kEvents);
    for (int id : {10, 30, 40, 50})
        db.Insert(CRecord(kEvents).Int("EventID", id));
    a.Fetch(0, 1);
    ASSERT_TRUE(Locate(a, 0, at20));
    EXPECT_EQ(a.Row(), "EVENTID=30");
    ASSERT_TRUE(Locate(a, 1, at20));
    EXPECT_EQ(a.Row(), "EVENTID=10");
    a.Fetch(0, 3);
    ASSERT_TRUE(Locate(a, 2, at20));
    EXPECT_FALSE(a.found);
    a.Fetch(2, 0);
    EXPECT_EQ(a.Row(), "EVENTID=40");
    // Nothing after the bookmark: kind 0 falls back to the row before it.
    TSQLBookmark beyond = at20;
    std::memcpy(beyond.bytes + 28, "\x3c\0\0\0\0\0\0\0", 8); // position 60
    ASSERT_TRUE(Locate(a, 0, beyond));
    EXPECT_EQ(a.Row(), "EVENTID=50");

    // Markers: before the first row and after the last.
    CCursor fresh(*m, sql);
    TSQLBookmark before = fresh.mark;
    fresh.Fetch(0, 0);
    before = fresh.mark;
    ASSERT_TRUE(Locate(a, 0, before));
    EXPECT_EQ(a.Row(), "EVENTID=10");

    // A bookmark of other tables is refused.
    CCursor pics(*m, "SELECT * FROM PICTURES");
    EXPECT_FALSE(Locate(pics, 0, at20));
    EXPECT_EQ(pics.report.code, peInvalBookmark);
    TSQLBookmark broken = at20;
    broken.bytes[0] = 21;
    EXPECT_FALSE(Locate(a, 0, broken));
    EXPECT_EQ(a.report.code, peInvalBookmark);
}

TEST_F(Cursors, BookmarksOfJoinedRows) {
    Make(2);
    for (int i = 1; i <= 4; ++i)
        db.Insert(CRecord(kPictures).Int("PicID", i).Int("EventID", i <= 2 ? 10 : 20));
    CCursor c(*m, "SELECT PicID FROM PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID");
    c.Fetch(0, 3);
    EXPECT_EQ(c.Row(), "PICID=3");
    TSQLBookmark mark = c.mark;
    EXPECT_EQ(mark.TableCount(), 2u);
    EXPECT_EQ(mark.Position(0), 3);
    EXPECT_EQ(mark.Position(1), 20);
    c.Fetch(0, 1);
    ASSERT_TRUE(Locate(c, 2, mark));
    EXPECT_EQ(c.Row(), "PICID=3");
    ASSERT_TRUE(Locate(c, 3, mark, 1));
    EXPECT_EQ(c.Row(), "PICID=4");
}

TEST_F(Cursors, LocateWhere) {
    Make(5);
    CCursor c(*m, "SELECT EventID, EventKind FROM EVENTS");
    c.Fetch(0, 1);
    struct {
        int32_t mode;
        const char* condition;
        const char* row;
    } seq[] = {
        {2, "EventKind = 1", "EVENTID=30,EVENTKIND=1"},
        {2, "EventKind = 1", "EVENTID=50,EVENTKIND=1"},
        {2, "EventKind = 1", "EVENTID=10,EVENTKIND=1"}, // wraps around
        {3, "EventKind = 1", "EVENTID=50,EVENTKIND=1"}, // and backward
        {3, "EventKind = 1", "EVENTID=30,EVENTKIND=1"},
        {0, "EventKind = 2", "EVENTID=20,EVENTKIND=2"},
        {1, "WHERE EventKind = 2", "EVENTID=40,EVENTKIND=2"},
        {0, "WITH EVENTS.EventKind = 1", "EVENTID=10,EVENTKIND=1"},
        {2, "EventKind = 2", "EVENTID=20,EVENTKIND=2"},
        {2, "EventKind = 2 AND EventID > 20", "EVENTID=40,EVENTKIND=2"},
    };
    for (const auto& s : seq) {
        ASSERT_TRUE(Where(c, s.mode, s.condition)) << s.condition << ": " << c.report.message;
        EXPECT_TRUE(c.found);
        c.Fetch(2, 0);
        EXPECT_EQ(c.Row(), s.row) << s.mode << " " << s.condition;
    }
    // No match: the cursor stays.
    ASSERT_TRUE(Where(c, 0, "EventKind = 7"));
    EXPECT_FALSE(c.found);
    c.Fetch(2, 0);
    EXPECT_EQ(c.Row(), "EVENTID=40,EVENTKIND=2");
    EXPECT_FALSE(Where(c, 0, "   "));
    EXPECT_EQ(c.report.code, peMissWhere);
    EXPECT_FALSE(Where(c, 0, "EventKind = "));
    EXPECT_EQ(c.report.code, peSyntax);
    EXPECT_FALSE(Where(c, 0, "Nonsense = 1"));
    EXPECT_EQ(c.report.code, peInvalidField);
    c.Fetch(2, 0);
    EXPECT_EQ(c.Row(), "EVENTID=40,EVENTKIND=2");

    // The cursor's own WHERE and WITH stay part of the search; row numbers
    // of a counted cursor follow.
    CCursor w(*m, "NOTOPT SELECT EventID FROM EVENTS WHERE EventID > 10 WITH EVENTS.EventID < 50");
    EXPECT_EQ(Count(w), 3);
    ASSERT_TRUE(Where(w, 1, "EventKind = 1"));
    w.Fetch(2, 0);
    EXPECT_EQ(w.Row(), "EVENTID=30");
    EXPECT_EQ(w.row, 1);
    EXPECT_EQ(m->CursorCount(), 2) << "search cursors are gone";
}

TEST_F(Cursors, AbortLeavesTheCursorWhereItWas) {
    Make(5);
    CCursor c(*m, "SELECT EventID FROM EVENTS");
    c.Fetch(0, 2);
    platform::Event stop(true);
    EXPECT_FALSE(c.Fetch(2, 2, &stop));
    EXPECT_TRUE(c.aborted);
    EXPECT_EQ(c.report.code, peNoErr);
    int64_t count = 7, row;
    bool aborted = false;
    EXPECT_FALSE(m->CountRecords(c.handle, &count, &row, &stop, &aborted, &c.mark, &c.report));
    EXPECT_TRUE(aborted);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(m->LocateWhere(c.handle, 0, "EventID = 50", &row, &c.found, &stop, &aborted,
                                &c.mark, &c.report));
    EXPECT_TRUE(aborted);
    ASSERT_TRUE(c.Fetch(2, 0));
    EXPECT_FALSE(c.aborted) << "the next operation starts without abort";
    EXPECT_EQ(c.Row(), "EVENTID=20");
    EXPECT_EQ(Count(c), 5);
}

TEST_F(Cursors, WaitingFetchReturnsANewLastRow) {
    Make(3);
    CCursor c(*m, "SELECT EventID FROM EVENTS");
    c.Fetch(1, -1);
    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        db.Insert(CRecord(kEvents).Int("EventID", 35));
    });
    ASSERT_TRUE(c.Fetch(3, 0));
    writer.join();
    EXPECT_EQ(c.Row(), "EVENTID=35");

    platform::Event stop;
    std::thread aborter([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        stop.Set();
    });
    EXPECT_FALSE(c.Fetch(3, 0, &stop));
    aborter.join();
    EXPECT_TRUE(c.aborted);
    c.Fetch(2, 0);
    EXPECT_EQ(c.Row(), "EVENTID=35");
}

TEST_F(Cursors, HandlesAndExecutability) {
    Make(2);
    CCursor c(*m);
    EXPECT_FALSE(c.Open("SELECT EventID FROM EVENTS WHERE EventID = ", true));
    EXPECT_EQ(c.report.code, peSyntax);
    EXPECT_GT(c.report.position, 33u) << "after WHERE";
    EXPECT_NE(c.report.message[0], '\0');
    EXPECT_EQ(m->CursorCount(), 0);
    ASSERT_TRUE(c.Open("SELECT EventID FROM EVENTS", false));
    EXPECT_FALSE(c.Fetch(0, 1));
    EXPECT_EQ(c.report.code, peNotExecAble);
    ASSERT_TRUE(m->ExecuteCursor(c.handle, &c.report));
    ASSERT_TRUE(c.Fetch(0, 1));
    EXPECT_EQ(c.Row(), "EVENTID=10");
    TSQLBookmark b;
    ASSERT_TRUE(m->GetBookmark(c.handle, &b, &c.report));
    EXPECT_EQ(b.Position(0), 10);
    EXPECT_EQ(b.Handle(), static_cast<uint32_t>(c.handle));
    EXPECT_TRUE(m->CloseCursor(c.handle, &c.report));
    EXPECT_TRUE(m->CloseCursor(c.handle, &c.report)) << "unknown handles close quietly";
    EXPECT_FALSE(c.Fetch(0, 1));
    EXPECT_EQ(c.report.code, peInvalCurHan);
    EXPECT_FALSE(m->ExecuteCursor(12345, &c.report));
    EXPECT_EQ(c.report.code, peInvalCurHan);
    c.handle = 0;
}

TEST_F(Cursors, BlobsAreReadFromTheirStart) {
    Make(0);
    uint64_t ref = db.AddBlob({1, 2, 3, 4, 5});
    db.Insert(CRecord(kPictures).Int("PicID", 1).Blob("PicData", ref, 5));
    db.Insert(CRecord(kPictures).Int("PicID", 2).Null("PicData"));
    db.Insert(CRecord(kPictures).Int("PicID", 3).Blob("PicData", 999, 5));
    CCursor c(*m, "SELECT PicID, PicData FROM PICTURES");
    ASSERT_TRUE(c.Fetch(0, 1));
    const TResultColumn& data = (*c.columns)[1];
    uint8_t buf[8] = {};
    bool done = false;
    ASSERT_TRUE(m->FetchCursorBlob(data, buf, sizeof buf, &done, &c.report));
    EXPECT_TRUE(done);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0}));
    uint8_t small[3] = {};
    ASSERT_TRUE(m->FetchCursorBlob(data, small, sizeof small, &done, &c.report));
    EXPECT_EQ(std::vector<uint8_t>(small, small + 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(m->FetchCursorBlob((*c.columns)[0], buf, sizeof buf, &done, &c.report));
    EXPECT_EQ(c.report.code, peWrongBlobRef);
    c.Fetch(2, 1);
    std::memset(buf, 9, sizeof buf);
    ASSERT_TRUE(m->FetchCursorBlob(data, buf, sizeof buf, &done, &c.report));
    EXPECT_TRUE(done) << "a NULL blob reads nothing";
    EXPECT_EQ(buf[0], 9);
    c.Fetch(2, 1);
    ASSERT_TRUE(m->FetchCursorBlob(data, buf, sizeof buf, &done, &c.report));
    EXPECT_FALSE(done) << "the provider cannot find the data";
}

} // namespace
} // namespace kdm::sql::test
