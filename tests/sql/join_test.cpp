// Joins executed: evaluation order, key lookups, outer joins, cross
// products, pruning, and statements over all tables on hostile contents.
#include "sql/join_walk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "sql/support/query.h"

namespace kdm::sql::test {
namespace {

constexpr uint32_t kPictures = 0, kEvents = 1, kRings = 7;

// Events 1 and 3; pictures 1 and 2 of event 1, 3 without event, 4 of a
// missing event 99, 5 of event 3; two ring buffers.
void Fill(CMemDatabase& db) {
    db.Insert(CRecord(kEvents).Int("EventID", 1).Int("EventKind", 1));
    db.Insert(CRecord(kEvents).Int("EventID", 3).Int("EventKind", 5));
    const int64_t events[] = {1, 1, -1, 99, 3};
    for (int64_t i = 0; i < 5; ++i) {
        CRecord pic(kPictures);
        pic.Int("PicID", i + 1).Int("PicArchived", i % 2);
        if (events[i] < 0)
            pic.Null("EventID");
        else
            pic.Int("EventID", events[i]);
        db.Insert(pic);
    }
    db.Insert(CRecord(kRings).Int("RingID", 7).Text("RingName", "a"));
    db.Insert(CRecord(kRings).Int("RingID", 8).Text("RingName", "b"));
}

struct Case {
    const char* sql;
    const char* rows;
};

const char* const kPicEvent = "SELECT PicID, EVENTS.EventID FROM ";

TEST(JoinWalk, StatementsToRows) {
    CMemDatabase db;
    Fill(db);
    CSQLSessionManager m(db.Engine());
    const std::string inner = "PICID=1,EVENTID=1 | PICID=2,EVENTID=1 | PICID=5,EVENTID=3";
    const std::string outer = "PICID=1,EVENTID=1 | PICID=2,EVENTID=1 | PICID=3,EVENTID=NULL | "
                              "PICID=4,EVENTID=NULL | PICID=5,EVENTID=3";
    const Case cases[] = {
        // The referencing table comes first whichever way the join is written.
        {"PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID", inner.c_str()},
        {"EVENTS JOIN PICTURES ON EVENTS.EventID = PICTURES.EventID", inner.c_str()},
        {"PICTURES LEFT OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID", outer.c_str()},
        {"PICTURES LEFT JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID", outer.c_str()},
        {"EVENTS RIGHT OUTER JOIN PICTURES ON EVENTS.EventID = PICTURES.EventID", outer.c_str()},
        // A condition on the missing side counts as satisfied; an event that
        // fails the condition leaves its picture with the missing side.
        {"PICTURES LEFT OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID "
         "WHERE EVENTS.EventKind = 1",
         "PICID=1,EVENTID=1 | PICID=2,EVENTID=1 | PICID=3,EVENTID=NULL | PICID=4,EVENTID=NULL | "
         "PICID=5,EVENTID=NULL"},
        {"PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID WHERE EventKind = 5",
         "PICID=5,EVENTID=3"},
        {"PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID WITH PICTURES.PicArchived = 0",
         "PICID=1,EVENTID=1 | PICID=5,EVENTID=3"},
        {"PICTURES LEFT OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID "
         "WITH EVENTS.EventKind = 5",
         "PICID=5,EVENTID=3"},
        {"PICTURES LEFT OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID "
         "WITH EVENTS.EventKind IS NULL",
         "PICID=1,EVENTID=NULL | PICID=2,EVENTID=NULL | PICID=3,EVENTID=NULL | "
         "PICID=4,EVENTID=NULL | PICID=5,EVENTID=NULL"},
        {"PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID WHERE PicID > 4",
         "PICID=5,EVENTID=3"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RunAll(m, std::string(kPicEvent) + c.sql), c.rows) << c.sql;

    // Cross products come after the joined tables, in FROM order.
    EXPECT_EQ(RunAll(m, "SELECT PicID, RingID FROM RINGBUFFERS, PICTURES JOIN EVENTS ON "
                        "PICTURES.EventID = EVENTS.EventID WHERE PicID < 3"),
              "PICID=1,RINGID=7 | PICID=1,RINGID=8 | PICID=2,RINGID=7 | PICID=2,RINGID=8");
    EXPECT_EQ(RunAll(m, "SELECT RingID, EventID FROM RINGBUFFERS, EVENTS"),
              "RINGID=7,EVENTID=1 | RINGID=7,EVENTID=3 | RINGID=8,EVENTID=1 | RINGID=8,EVENTID=3");
    EXPECT_EQ(RunAll(m, "SELECT RingID, EventID FROM RINGBUFFERS, EVENTS WHERE RingID = 8 AND "
                        "EventKind = 5"),
              "RINGID=8,EVENTID=3");

    // Backward the same combinations come in reverse.
    CCursor c(m, std::string(kPicEvent) +
                     "PICTURES LEFT OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID");
    EXPECT_EQ(c.AllBackward(), "PICID=5,EVENTID=3 | PICID=4,EVENTID=NULL | PICID=3,EVENTID=NULL | "
                               "PICID=2,EVENTID=1 | PICID=1,EVENTID=1");
}

TEST(JoinWalk, KeyTableOfSeveralJoinsNeedsOneReferencingValue) {
    CMemDatabase db;
    constexpr uint32_t kVideoChannels = 2, kMonitors = 5, kRecorders = 6;
    for (int i = 1; i <= 2; ++i) {
        db.Insert(CRecord(kVideoChannels).Int("VideoChID", i).Int("RecorderID", i));
        db.Insert(CRecord(kMonitors).Int("MonitorID", i).Int("RecorderID", i));
        db.Insert(CRecord(kRecorders).Int("RecorderID", i));
    }
    db.Insert(CRecord(kMonitors).Int("MonitorID", 3).Null("RecorderID"));
    CSQLSessionManager m(db.Engine());
    EXPECT_EQ(RunAll(m, "SELECT VideoChID, MonitorID, RECORDERS.RecorderID FROM VIDEOCHANNELS "
                        "JOIN RECORDERS ON VIDEOCHANNELS.RecorderID = RECORDERS.RecorderID, "
                        "MONITORS JOIN RECORDERS ON MONITORS.RecorderID = RECORDERS.RecorderID"),
              "VIDEOCHID=1,MONITORID=1,RECORDERID=1 | VIDEOCHID=2,MONITORID=2,RECORDERID=2");
}

TEST(JoinWalk, WherePrunesEveryDepth) {
    CMemDatabase db;
    Fill(db);
    CSQLSessionManager m(db.Engine());
    db.primKeyCalls = 0;
    EXPECT_EQ(RunAll(m, std::string(kPicEvent) +
                            "PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID "
                            "WHERE PicID = 2"),
              "PICID=2,EVENTID=1");
    // Only the one picture that passes reaches the key lookup.
    EXPECT_EQ(db.primKeyCalls.load(), 1u);
}

TEST(JoinWalk, FailingProviderEndsTheLevel) {
    CMemDatabase db;
    Fill(db);
    CSQLSessionManager m(db.Engine());
    db.failCalls = true;
    EXPECT_EQ(RunAll(m, std::string(kPicEvent) +
                            "PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID"),
              "");
    CMemDatabase empty;
    CSQLSessionManager e(empty.Engine());
    EXPECT_EQ(RunAll(e, "SELECT * FROM PICTURES, EVENTS"), "");
    // No row access at all: the catalogue alone.
    CSQLSessionManager bare(RecorderSchemaEngine());
    EXPECT_EQ(RunAll(bare, std::string(kPicEvent) +
                               "PICTURES LEFT JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID"),
              "");
}

// Every table of the schema with random rows: NULLs, extreme values and
// keys that reference nothing. Every join chain and cross product ends.
TEST(JoinWalk, AllTablesOnHostileContents) {
    CMemDatabase db;
    std::mt19937_64 rng(7);
    const int64_t extremes[] = {0, 1, -1, INT64_MAX, INT64_MIN, 2, 3};
    for (uint32_t t = 0; t < kCatalogueTableCount; ++t) {
        const TKdmStructTableDef& def = CatalogueTable(t);
        for (int64_t key = 1; key <= 2; ++key) {
            CRecord r(t);
            for (uint32_t f = 0; f < def.fieldCount; ++f) {
                const TKdmStructFieldDef& fd = def.fields[f];
                if (f == 0) {
                    r.Int(fd.name, key);
                } else if (rng() % 3 == 0) {
                    r.Null(fd.name);
                } else if (fd.type == kTypeVarChar) {
                    r.Text(fd.name, std::string(rng() % 300, 'x'));
                } else if (fd.type == kTypeDateTime) {
                    r.Date(fd.name, uint32_t(rng()), uint32_t(rng()));
                } else if (fd.type == kTypeBlobRef) {
                    r.Blob(fd.name, rng(), uint32_t(rng()));
                } else if (fd.type == kTypeDouble || fd.type == kTypeFloat) {
                    r.Real(fd.name, rng() % 2 ? 1e308 : -0.0);
                } else {
                    r.Int(fd.name, extremes[rng() % std::size(extremes)]);
                }
            }
            db.Insert(r);
        }
    }
    CSQLSessionManager m(db.Engine());
    std::string all;
    for (uint32_t t = 0; t < kCatalogueTableCount; ++t)
        all += std::string(t ? ", " : "") + CatalogueTable(t).name;
    CCursor wide(m, "SELECT * FROM " + all);
    ASSERT_EQ(wide.report.code, peNoErr);
    int64_t count = 0, row = 0;
    bool aborted = false;
    ASSERT_TRUE(
        m.CountRecords(wide.handle, &count, &row, nullptr, &aborted, &wide.mark, &wide.report));
    EXPECT_EQ(count, int64_t(1) << kCatalogueTableCount);

    // Every foreign key of the schema as a join, inner and outer.
    std::string joins;
    const char* chain[] = {
        "PICTURES LEFT JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID",
        ", PICTURES JOIN VIDEOCHANNELS ON PICTURES.VideoChID = VIDEOCHANNELS.VideoChID",
        ", EVENTS LEFT JOIN EVENTTYPES ON EVENTS.EventTypeID = EVENTTYPES.EventTypeID",
        ", VIDEOCHANNELS LEFT JOIN VIDEOGROUPS ON VIDEOCHANNELS.VideoGroupID = "
        "VIDEOGROUPS.VideoGroupID",
        ", VIDEOCHANNELS LEFT JOIN RECORDERS ON VIDEOCHANNELS.RecorderID = RECORDERS.RecorderID",
        ", MONITORS LEFT JOIN RECORDERS ON MONITORS.RecorderID = RECORDERS.RecorderID",
        ", PICTURES LEFT JOIN RINGBUFFERS ON PICTURES.RefPicID = RINGBUFFERS.RingID",
    };
    for (const char* j : chain) {
        joins += j;
        std::string sql = "SELECT * FROM " + joins +
                          ", TIMERANGES, LOCKEVENTS WHERE "
                          "PicID + 1 > 0 OR EventKind / 0 = 1";
        CCursor c(m);
        if (!c.Open(sql)) {
            ADD_FAILURE() << sql << ": " << c.report.message;
            continue;
        }
        int n = 0;
        for (bool ok = c.Fetch(0, 1); ok && c.found && n < 100000; ok = c.Fetch(2, 1))
            ++n;
        EXPECT_LT(n, 100000) << sql;
        EXPECT_EQ(c.report.code, peNoErr);
        int back = 0;
        for (bool ok = c.Fetch(1, -1); ok && c.found && back < 100000; ok = c.Fetch(2, -1))
            ++back;
        EXPECT_EQ(back, n) << sql;
    }
}

// More tables than a bookmark can describe.
bool ManyTables(void*, uint32_t no, TTableInfo* info) {
    if (no >= 25)
        return false;
    *info = {};
    std::snprintf(info->name, sizeof info->name, "T%u", no);
    info->recordSize = 12;
    return true;
}
bool ManyFields(void*, uint32_t id, TFieldInfo* info) {
    if (id >= 25)
        return false;
    *info = {};
    std::snprintf(info->tableName, sizeof info->tableName, "T%u", id);
    std::snprintf(info->fieldName, sizeof info->fieldName, "K");
    info->type = kTypeHugeInt;
    info->keyFlags = kKeyPrimary;
    return true;
}

TEST(JoinWalk, MoreThanTwentyTablesAreRefused) {
    TCBDatabaseEngine engine{};
    engine.size = sizeof engine;
    engine.GetTableInfo = ManyTables;
    engine.GetFieldInfo = ManyFields;
    CSQLSessionManager m(engine);
    std::string from;
    for (int i = 0; i < 21; ++i)
        from += std::string(i ? ", T" : "T") + std::to_string(i);
    CCursor c(m);
    EXPECT_FALSE(c.Open("SELECT * FROM " + from));
    EXPECT_EQ(c.report.code, peBookm2Big);
    EXPECT_EQ(m.CursorCount(), 0);
    from.resize(from.rfind(','));
    EXPECT_TRUE(c.Open("SELECT * FROM " + from));
    EXPECT_TRUE(c.Fetch(0, 1));
    EXPECT_FALSE(c.found);
}

} // namespace
} // namespace kdm::sql::test
