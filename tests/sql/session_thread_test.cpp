// Cursors of one manager used from several threads; run under
// ThreadSanitizer in the sanitizer build.
#include "sql/sql_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sql/support/query.h"

namespace kdm::sql::test {
namespace {

constexpr uint32_t kPictures = 0, kEvents = 1;

void Fill(CMemDatabase& db) {
    for (int i = 1; i <= 50; ++i)
        db.Insert(CRecord(kEvents).Int("EventID", i).Int("EventKind", i % 3));
    for (int i = 1; i <= 200; ++i)
        db.Insert(CRecord(kPictures).Int("PicID", i).Int("EventID", i % 60));
}

TEST(CursorThreads, TwoCursorsFetchedConcurrently) {
    CMemDatabase db;
    Fill(db);
    CSQLSessionManager m(db.Engine());
    const char* sql[2] = {
        "SELECT PicID FROM PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID "
        "WHERE EventKind = 1",
        "SELECT EventID FROM EVENTS WHERE EventKind <> 1"};
    std::string expected[2], got[2];
    for (int i = 0; i < 2; ++i)
        expected[i] = RunAll(m, sql[i]);
    ASSERT_FALSE(expected[0].empty());
    auto work = [&](int i) {
        CCursor c(m, sql[i]);
        for (int round = 0; round < 20; ++round) {
            got[i] = round % 2 ? c.All() : "";
            int64_t count = 0, row;
            bool aborted;
            m.CountRecords(c.handle, &count, &row, nullptr, &aborted, &c.mark, &c.report);
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(got[0], expected[0]);
    EXPECT_EQ(got[1], expected[1]);
}

TEST(CursorThreads, CloseWhileAnotherThreadFetches) {
    CMemDatabase db;
    Fill(db);
    CSQLSessionManager m(db.Engine());
    CursorHandle handle;
    TSQLErrorReport report;
    ASSERT_TRUE(m.OpenCursor("SELECT * FROM PICTURES, EVENTS", true, &handle, nullptr, &report));
    std::atomic<int> fetched{0};
    std::atomic<bool> closed{false};
    uint8_t lastError = peNoErr;
    std::thread reader([&] {
        TSQLErrorReport r;
        int64_t row;
        bool found, aborted;
        TSQLBookmark mark;
        for (;;) {
            if (!m.FetchCursor(handle, 2, 7, &row, &found, nullptr, &aborted, &mark, &r)) {
                lastError = r.code;
                return;
            }
            ++fetched;
            if (!found)
                m.FetchCursor(handle, 0, 1, &row, &found, nullptr, &aborted, &mark, &r);
        }
    });
    while (fetched < 50)
        std::this_thread::yield();
    EXPECT_TRUE(m.CloseCursor(handle, &report));
    closed = true;
    reader.join();
    EXPECT_EQ(lastError, peInvalCurHan);
    EXPECT_EQ(m.CursorCount(), 0);
}

} // namespace
} // namespace kdm::sql::test
