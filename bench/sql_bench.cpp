// The SQL engine over the in-memory provider against SQLite in memory, on
// the same 100 000 EVENTS and 1 000 000 PICTURES rows: a filtered full
// scan, key lookups, the PICTURES-to-EVENTS join over a time range and a
// count. Prints the best of several runs and the ratio engine / SQLite.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "sql/sql_session.h"
#include "sql/support/mem_db.h"

using namespace kdm::sql;
using namespace kdm::sql::test;

namespace {

constexpr int kEvents = 100000;
constexpr int kPictures = 1000000;
constexpr int kLookups = 10000;
constexpr uint32_t kDay = 731312;
constexpr int kRuns = 3;

double BestMs(const std::function<int64_t()>& run, int64_t* result) {
    double best = 1e300;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        *result = run();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", error);
        std::exit(1);
    }
}

// Milliseconds of the day of picture i: one picture every 80 ms.
uint32_t PicMs(int i) {
    return static_cast<uint32_t>(i) * 80u;
}

int64_t SqliteRows(sqlite3* db, const char* sql) {
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    int64_t n = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
        ++n;
    sqlite3_finalize(st);
    return n;
}

int64_t EngineRows(CSQLSessionManager& m, const char* sql) {
    CursorHandle h;
    TSQLErrorReport r;
    if (!m.OpenCursor(sql, true, &h, nullptr, &r)) {
        std::fprintf(stderr, "engine: %s\n", r.message);
        std::exit(1);
    }
    int64_t n = 0, row;
    bool found, aborted;
    TSQLBookmark mark;
    for (m.FetchCursor(h, 0, 1, &row, &found, nullptr, &aborted, &mark, &r); found;
         m.FetchCursor(h, 2, 1, &row, &found, nullptr, &aborted, &mark, &r))
        ++n;
    m.CloseCursor(h, &r);
    return n;
}

void Report(const char* name, double engine, int64_t engineRows, double lite, int64_t liteRows) {
    std::printf("%-34s engine %9.1f ms  sqlite %8.1f ms  ratio %6.2f  rows %lld/%lld\n", name,
                engine, lite, engine / lite, static_cast<long long>(engineRows),
                static_cast<long long>(liteRows));
}

} // namespace

int main() {
    CMemDatabase mem;
    sqlite3* lite;
    sqlite3_open(":memory:", &lite);
    Exec(lite, "CREATE TABLE events (EventID INTEGER PRIMARY KEY, EventKind INTEGER, "
               "EventStartTime INTEGER, EventText1 TEXT)");
    Exec(lite, "CREATE TABLE pictures (PicID INTEGER PRIMARY KEY, EventID INTEGER, "
               "VideoChID INTEGER, PicTime INTEGER, PicCompAlg INTEGER, PicArchived INTEGER)");
    Exec(lite, "BEGIN");
    sqlite3_stmt* ins;
    sqlite3_prepare_v2(lite, "INSERT INTO events VALUES (?, ?, ?, ?)", -1, &ins, nullptr);
    for (int i = 1; i <= kEvents; ++i) {
        uint64_t start = (uint64_t(kDay) << 32) | PicMs(i * 10);
        mem.Insert(CRecord(1)
                       .Int("EventID", i)
                       .Int("EventKind", i % 5)
                       .Date("EventStartTime", kDay, PicMs(i * 10))
                       .Text("EventText1", "event"));
        sqlite3_bind_int64(ins, 1, i);
        sqlite3_bind_int64(ins, 2, i % 5);
        sqlite3_bind_int64(ins, 3, static_cast<int64_t>(start));
        sqlite3_bind_text(ins, 4, "event", -1, SQLITE_STATIC);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_prepare_v2(lite, "INSERT INTO pictures VALUES (?, ?, ?, ?, ?, ?)", -1, &ins, nullptr);
    for (int i = 1; i <= kPictures; ++i) {
        int event = (i - 1) / 10 + 1;
        uint64_t time = (uint64_t(kDay) << 32) | PicMs(i);
        mem.Insert(CRecord(0)
                       .Int("PicID", i)
                       .Int("EventID", event)
                       .Int("VideoChID", i % 16)
                       .Date("PicTime", kDay, PicMs(i))
                       .Int("PicCompAlg", i % 7)
                       .Int("PicArchived", i % 2));
        sqlite3_bind_int64(ins, 1, i);
        sqlite3_bind_int64(ins, 2, event);
        sqlite3_bind_int64(ins, 3, i % 16);
        sqlite3_bind_int64(ins, 4, static_cast<int64_t>(time));
        sqlite3_bind_int64(ins, 5, i % 7);
        sqlite3_bind_int64(ins, 6, i % 2);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    Exec(lite, "COMMIT");
    CSQLSessionManager m(mem.Engine());
    int64_t a, b;
    double te, ts;

    // 1. Full scan of PICTURES with a filter that passes one row in seven.
    te = BestMs([&] { return EngineRows(m, "SELECT PicID FROM PICTURES WHERE PicCompAlg = 3"); },
                &a);
    ts = BestMs([&] { return SqliteRows(lite, "SELECT PicID FROM pictures WHERE PicCompAlg = 3"); },
                &b);
    Report("filtered scan, 1M PICTURES", te, a, ts, b);

    // 2. 10 000 EVENTS rows by key: the engine positions a cursor on a
    // bookmark (the provider's read at a key), SQLite runs a keyed select.
    CursorHandle h;
    TSQLErrorReport r;
    m.OpenCursor("SELECT * FROM EVENTS", true, &h, nullptr, &r);
    TSQLBookmark mark;
    int64_t row;
    bool found, aborted;
    m.FetchCursor(h, 0, 1, &row, &found, nullptr, &aborted, &mark, &r);
    te = BestMs(
        [&] {
            int64_t n = 0;
            TSQLBookmark target = mark, out;
            for (int i = 0; i < kLookups; ++i) {
                int64_t key = 1 + (int64_t(i) * 7919) % kEvents;
                std::memcpy(target.bytes + 28, &key, sizeof key);
                m.LocateBookmark(h, 2, target, 0, &row, &found, nullptr, &aborted, &out, &r);
                n += found;
            }
            return n;
        },
        &a);
    m.CloseCursor(h, &r);
    sqlite3_stmt* q;
    sqlite3_prepare_v2(lite, "SELECT * FROM events WHERE EventID = ?", -1, &q, nullptr);
    ts = BestMs(
        [&] {
            int64_t n = 0;
            for (int i = 0; i < kLookups; ++i) {
                sqlite3_bind_int64(q, 1, 1 + (int64_t(i) * 7919) % kEvents);
                while (sqlite3_step(q) == SQLITE_ROW)
                    ++n;
                sqlite3_reset(q);
            }
            return n;
        },
        &b);
    sqlite3_finalize(q);
    Report("10 000 key lookups, EVENTS", te, a, ts, b);

    // 3. Pictures of a time range (a tenth of the day's pictures) with their events.
    char engineJoin[400], liteJoin[400];
    std::snprintf(engineJoin, sizeof engineJoin,
                  "SELECT PicID, EVENTS.EventKind FROM PICTURES JOIN EVENTS ON "
                  "PICTURES.EventID = EVENTS.EventID WHERE PicTime >= \"2003/04/07 06:00:00,000\" "
                  "AND PicTime < \"2003/04/07 08:00:00,000\"");
    std::snprintf(liteJoin, sizeof liteJoin,
                  "SELECT p.PicID, e.EventKind FROM pictures p JOIN events e ON "
                  "p.EventID = e.EventID WHERE p.PicTime >= %lld AND p.PicTime < %lld",
                  static_cast<long long>((uint64_t(kDay) << 32) | 6u * 3600000u),
                  static_cast<long long>((uint64_t(kDay) << 32) | 8u * 3600000u));
    te = BestMs([&] { return EngineRows(m, engineJoin); }, &a);
    ts = BestMs([&] { return SqliteRows(lite, liteJoin); }, &b);
    Report("join PICTURES-EVENTS, time range", te, a, ts, b);

    // 4. Counting the archived pictures.
    te = BestMs(
        [&] {
            m.OpenCursor("SELECT * FROM PICTURES WHERE PicArchived = 1", true, &h, nullptr, &r);
            int64_t count = 0;
            m.CountRecords(h, &count, &row, nullptr, &aborted, &mark, &r);
            m.CloseCursor(h, &r);
            return count;
        },
        &a);
    ts = BestMs(
        [&] {
            sqlite3_stmt* c;
            sqlite3_prepare_v2(lite, "SELECT count(*) FROM pictures WHERE PicArchived = 1", -1, &c,
                               nullptr);
            sqlite3_step(c);
            int64_t n = sqlite3_column_int64(c, 0);
            sqlite3_finalize(c);
            return n;
        },
        &b);
    Report("count, 1M PICTURES", te, a, ts, b);
    sqlite3_close(lite);
    return 0;
}
