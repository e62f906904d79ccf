// The database and dataset base objects through the exports, on the
// in-memory kind of mem_kinds.h.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame/object_lookup.h"
#include "mem_kinds.h"
#include "support/diag_capture.h"

using namespace kdm;
using test::MemDatabase;
using test::MemRow;

namespace {

struct Err {
    int32_t code = -99, sub1 = -99, sub2 = -99;
    std::string message;
};

Err Last() {
    Err e;
    const char* m = nullptr;
    if (DBI_GetLastError(&e.code, &e.sub1, &e.sub2, &m))
        e.message = m;
    return e;
}

std::vector<MemRow> Rows(int n) {
    std::vector<MemRow> rows;
    for (int i = 1; i <= n; ++i)
        rows.push_back({i * 10, "row" + std::to_string(i)});
    return rows;
}

// A registered, connected in-memory database and one dataset on it.
class Objects : public testing::Test {
protected:
    void Make(int rows, bool connect = true, test::MemCounters* shared = nullptr) {
        db = new MemDatabase(Rows(rows), nullptr, shared);
        dbHandle = RegisterDatabase(db);
        if (connect) {
            int32_t result = -1;
            ASSERT_TRUE(Database_Connect(dbHandle, &result, nullptr, 0, 0, 0, nullptr));
            ASSERT_EQ(result, 0);
            ASSERT_TRUE(Database_CreateDataSet(dbHandle, &ds));
        }
    }
    void TearDown() override { Database_Destroy(dbHandle); }

    struct State {
        bool active, bod, eod;
        bool operator==(const State&) const = default;
    };
    State Flags() {
        KdmBool a = 9, b = 9, e = 9;
        EXPECT_TRUE(DataSet_Active(ds, &a) && DataSet_Bod(ds, &b) && DataSet_Eod(ds, &e));
        return {a != 0, b != 0, e != 0};
    }
    int32_t CurrentId() {
        KdmField field = nullptr;
        int32_t id = -1;
        EXPECT_TRUE(DataSet_FieldByName(ds, "mem.id", &field));
        EXPECT_TRUE(Field_AsInt(field, &id));
        return id;
    }
    bool Step(KdmBool32(KDM_API* fetch)(KdmHandle, KdmBool*)) {
        KdmBool got = 9;
        EXPECT_TRUE(fetch(ds, &got));
        return got != 0;
    }

    MemDatabase* db = nullptr;
    KdmHandle dbHandle = 0;
    KdmHandle ds = 0;
};

TEST_F(Objects, FetchDisciplineWalksBothEnds) {
    Make(3);
    EXPECT_EQ(Flags(), (State{false, true, true})) << "closed";
    ASSERT_TRUE(DataSet_Open(ds));
    EXPECT_EQ(Flags(), (State{true, true, false})) << "open at the beginning";
    EXPECT_EQ(CurrentId(), 10);

    struct {
        KdmBool32(KDM_API* fetch)(KdmHandle, KdmBool*);
        bool got;
        int32_t id;
        State state;
    } steps[] = {
        {DataSet_FetchNext, true, 20, {true, false, false}},
        {DataSet_FetchNext, true, 30, {true, false, false}},
        {DataSet_FetchNext, false, 30, {true, false, true}}, // past the end
        {DataSet_FetchPrev, true, 20, {true, false, false}},
        {DataSet_FetchPrev, true, 10, {true, false, false}},
        {DataSet_FetchPrev, false, 10, {true, true, false}}, // past the beginning
        {DataSet_FetchLast, true, 30, {true, false, true}},
        {DataSet_FetchNewest, true, 30, {true, false, true}},
        {DataSet_FetchFirst, true, 10, {true, true, false}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(Step(steps[i].fetch), steps[i].got) << i;
        EXPECT_EQ(CurrentId(), steps[i].id) << i;
        EXPECT_EQ(Flags(), steps[i].state) << i;
    }
    int64_t recNo = 0, count = 0;
    ASSERT_TRUE(DataSet_RecNo(ds, &recNo) && DataSet_RecordCount(ds, &count));
    EXPECT_EQ(recNo, 1);
    EXPECT_EQ(count, 3);
}

TEST_F(Objects, EmptyResultLeavesBothFlagsAndEveryFetchFails) {
    Make(0);
    ASSERT_TRUE(DataSet_Open(ds));
    EXPECT_EQ(Flags(), (State{true, true, true}));
    KdmBool empty = 0;
    EXPECT_TRUE(DataSet_IsEmpty(ds, &empty));
    EXPECT_TRUE(empty);
    for (auto fetch : {DataSet_FetchFirst, DataSet_FetchLast, DataSet_FetchNewest,
                       DataSet_FetchPrev, DataSet_FetchNext})
        EXPECT_FALSE(Step(fetch));
    EXPECT_EQ(Flags(), (State{true, true, true}));
}

TEST_F(Objects, OptionBitZeroOpensOnTheLastRow) {
    Make(3);
    ASSERT_TRUE(DataSet_SetOptions(ds, 1));
    ASSERT_TRUE(DataSet_Open(ds));
    EXPECT_EQ(Flags(), (State{true, false, true}));
    EXPECT_EQ(CurrentId(), 30);
    ASSERT_TRUE(DataSet_Refresh(ds, 0));
    EXPECT_EQ(CurrentId(), 30);
    EXPECT_EQ(db->counters.reexecute, 1);
}

TEST_F(Objects, RefreshWithModeReturnsToTheBookmarkedRow) {
    Make(3);
    ASSERT_TRUE(DataSet_Open(ds));
    Step(DataSet_FetchNext);
    ASSERT_TRUE(DataSet_Refresh(ds, 1));
    EXPECT_EQ(CurrentId(), 20);
    KdmBookmark mark;
    ASSERT_TRUE(DataSet_GetBookmark(ds, &mark));
    Step(DataSet_FetchLast);
    KdmBool found = 0;
    ASSERT_TRUE(DataSet_LocateBookmark(ds, 0, &mark, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(CurrentId(), 20);
}

TEST_F(Objects, SetStatementClosesAndKeepsTheText) {
    Make(2);
    ASSERT_TRUE(DataSet_Open(ds));
    ASSERT_TRUE(DataSet_SetSQLStatement(ds, "select * from events"));
    EXPECT_EQ(Flags(), (State{false, true, true}));
    EXPECT_EQ(db->counters.closeCursor, 1);

    struct {
        int32_t capacity;
        bool withBuffer;
        const char* text;
    } cases[] = {{100, true, "select * from events"},
                 {7, true, "select"},
                 {1, true, ""},
                 {0, true, "untouched"},
                 {5, false, nullptr}};
    for (const auto& c : cases) {
        char buffer[128] = "untouched";
        int32_t length = c.capacity;
        ASSERT_TRUE(DataSet_GetSQLStatement(ds, c.withBuffer ? buffer : nullptr, &length));
        EXPECT_EQ(length, 20);
        if (c.text != nullptr) {
            EXPECT_STREQ(buffer, c.text) << c.capacity;
        }
    }
}

TEST_F(Objects, OpenOnAnOpenDatasetRunsTheStatementAgainWithItsFields) {
    Make(2);
    ASSERT_TRUE(DataSet_Open(ds));
    ASSERT_TRUE(DataSet_Open(ds));
    int32_t count = 0;
    ASSERT_TRUE(DataSet_FieldCount(ds, &count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(db->counters.execute, 2);
}

TEST_F(Objects, ClosedDatasetRefusesWhatNeedsItOpen) {
    Make(2);
    int32_t count = 0;
    KdmBool got = 0;
    int64_t value = 0;
    KdmField field = nullptr;
    const std::function<KdmBool32()> calls[] = {
        [&] { return DataSet_FieldCount(ds, &count); },
        [&] { return DataSet_FetchNext(ds, &got); },
        [&] { return DataSet_RecNo(ds, &value); },
        [&] { return DataSet_GetField(ds, 0, &field); },
        [&] { return DataSet_Refresh(ds, 0); },
    };
    for (const auto& call : calls) {
        EXPECT_FALSE(call());
        Err e = Last();
        EXPECT_EQ(e.code, 1);
        EXPECT_EQ(e.sub1, 300);
        EXPECT_EQ(e.sub2, 100);
        EXPECT_EQ(e.message, "DataSet must be opened for this operation!");
    }
}

TEST_F(Objects, FieldLookups) {
    Make(1);
    ASSERT_TRUE(DataSet_Open(ds));
    KdmField field = reinterpret_cast<KdmField>(1);
    ASSERT_TRUE(DataSet_FindField(ds, "nothing", &field));
    EXPECT_EQ(field, nullptr);
    EXPECT_FALSE(DataSet_FieldByName(ds, "nothing", &field));
    Err e = Last();
    EXPECT_EQ(e.message, "Field 'nothing' not found in this DataSet!");
    EXPECT_EQ(e.sub1, 302);
    EXPECT_EQ(e.sub2, 100);
    std::string longName(200, 'x');
    EXPECT_FALSE(DataSet_FieldByName(ds, longName.c_str(), &field));
    EXPECT_EQ(Last().message.size(), 99u);
    EXPECT_FALSE(DataSet_GetField(ds, 2, &field));
    e = Last();
    EXPECT_EQ(e.message, "Collection error; index out of range!");
    EXPECT_EQ(e.sub1, -1);
    ASSERT_TRUE(DataSet_GetField(ds, 1, &field));
    char name[40];
    uint8_t length = 39;
    ASSERT_TRUE(Field_AsString(field, name, &length));
    EXPECT_STREQ(name, "row1");
}

TEST_F(Objects, StepWidthBelowOneStoresOneAndRepeatsAreSilent) {
    Make(5);
    int32_t width = 0;
    ASSERT_TRUE(DataSet_SetStepWidth(ds, 0));
    ASSERT_TRUE(DataSet_GetStepWidth(ds, &width));
    EXPECT_EQ(width, 1);
    EXPECT_EQ(db->counters.stepWidthChanged, 0) << "1 was the width already";
    ASSERT_TRUE(DataSet_SetStepWidth(ds, 2));
    ASSERT_TRUE(DataSet_SetStepWidth(ds, 2));
    EXPECT_EQ(db->counters.stepWidthChanged, 1);
    ASSERT_TRUE(DataSet_Open(ds));
    Step(DataSet_FetchNext);
    EXPECT_EQ(CurrentId(), 30);
}

TEST_F(Objects, CreateDataSetNeedsAConnection) {
    Make(1, false);
    KdmHandle h = 77;
    EXPECT_FALSE(Database_CreateDataSet(dbHandle, &h));
    EXPECT_EQ(h, 0u) << "cleared first";
    Err e = Last();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.sub1, 800);
    EXPECT_EQ(e.sub2, 100);
    EXPECT_EQ(e.message, "Must be connected for this operation!");
}

TEST_F(Objects, DatabaseInfoSizeRules) {
    Make(0);
    std::vector<uint8_t> block(400, 0xEE);
    auto* info = reinterpret_cast<TKdmDatabaseInfoStruct*>(block.data());
    info->size = 319;
    EXPECT_FALSE(Database_GetDatabaseInfo(dbHandle, info));
    Err e = Last();
    EXPECT_EQ(e.message, "GetDatabaseInfo: Size of TKdmDatabaseInfoStruct argument too small! "
                         "Expected: 320 or greater; Found: 319");
    EXPECT_EQ(e.sub1, 1000);
    EXPECT_EQ(e.sub2, 0);

    info->size = 400;
    ASSERT_TRUE(Database_GetDatabaseInfo(dbHandle, info));
    EXPECT_EQ(info->size, 400u);
    EXPECT_STREQ(info->name, "memory");
    for (size_t i = 264; i < 320; ++i)
        EXPECT_EQ(block[i], 0x11) << i;
    for (size_t i = 320; i < 400; ++i)
        EXPECT_EQ(block[i], 0) << i;

    ASSERT_TRUE(Database_Disconnect(dbHandle));
    EXPECT_FALSE(Database_GetDatabaseInfo(dbHandle, info));
    EXPECT_EQ(Last().sub1, 800);
}

struct MonitorLog {
    std::vector<std::pair<int, KdmHandle>> calls;
};

void KDM_API MonitorA(KdmUserData data, KdmHandle handle) {
    reinterpret_cast<MonitorLog*>(data)->calls.push_back({1, handle});
}
void KDM_API MonitorB(KdmUserData data, KdmHandle handle) {
    reinterpret_cast<MonitorLog*>(data)->calls.push_back({2, handle});
}

TEST_F(Objects, DisconnectMonitorsRunOncePerPair) {
    Make(0);
    MonitorLog log;
    auto data = reinterpret_cast<KdmUserData>(&log);
    ASSERT_TRUE(Database_RegisterDisconnectMonitor(dbHandle, MonitorA, data));
    ASSERT_TRUE(Database_RegisterDisconnectMonitor(dbHandle, MonitorA, data));
    ASSERT_TRUE(Database_RegisterDisconnectMonitor(dbHandle, MonitorB, data));
    ASSERT_TRUE(Database_Disconnect(dbHandle));
    ASSERT_TRUE(Database_Disconnect(dbHandle)) << "not connected: nothing runs";
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[0].second, dbHandle);
    EXPECT_EQ(db->disconnects.load(), 1);

    ASSERT_TRUE(Database_UnregisterDisconnectMonitor(dbHandle, MonitorA, data));
    ASSERT_TRUE(Database_UnregisterDisconnectMonitor(dbHandle, MonitorA, data));
    int32_t result = 0;
    ASSERT_TRUE(Database_Connect(dbHandle, &result, nullptr, 0, 0, 0, nullptr));
    ASSERT_TRUE(Database_Disconnect(dbHandle));
    ASSERT_EQ(log.calls.size(), 3u);
    EXPECT_EQ(log.calls[2].first, 2);
}

struct ProgressLog {
    std::vector<std::pair<int32_t, int32_t>> calls;
};

int32_t KDM_API Progress(KdmUserData data, int32_t position, int32_t total) {
    reinterpret_cast<ProgressLog*>(data)->calls.push_back({position, total});
    return 1;
}

TEST_F(Objects, ConnectPassesProgressAndNegotiation) {
    Make(0, false);
    ProgressLog log;
    int32_t result = -1, info = 55;
    ASSERT_TRUE(Database_Connect(dbHandle, &result, Progress, reinterpret_cast<KdmUserData>(&log),
                                 0, 9, &info));
    EXPECT_EQ(info, 55) << "no negotiation, no info";
    EXPECT_EQ(log.calls, (std::vector<std::pair<int32_t, int32_t>>{{1, 3}}));
    ASSERT_TRUE(Database_Disconnect(dbHandle));
    ASSERT_TRUE(Database_Connect(dbHandle, &result, nullptr, 0, 1, 9, &info));
    EXPECT_EQ(info, 9);
    KdmBool negotiated = 0;
    int32_t value = 0;
    ASSERT_TRUE(Database_GetNegotiationState(dbHandle, &negotiated, &value));
    EXPECT_TRUE(negotiated);
    EXPECT_EQ(value, 9);
    ASSERT_TRUE(Database_Disconnect(dbHandle));
    ASSERT_TRUE(Database_GetNegotiationState(dbHandle, &negotiated, &value));
    EXPECT_FALSE(negotiated);

    db->connectResult = 303;
    ASSERT_TRUE(Database_Connect(dbHandle, &result, nullptr, 0, 0, 0, nullptr));
    EXPECT_EQ(result, 303);
    KdmBool connected = 1;
    ASSERT_TRUE(Database_Connected(dbHandle, &connected));
    EXPECT_FALSE(connected);
}

TEST(ProgressReports, ClampedAndScaled) {
    MemDatabase db;
    ProgressLog log;
    // Outside a connect there is no callback: the answer is "go on".
    EXPECT_TRUE(db.CallProgressCallback(5, 10));
    struct {
        int64_t position, total;
        bool wide;
        std::pair<int32_t, int32_t> seen;
    } cases[] = {
        {-5, 10, false, {0, 10}},
        {5, 0, false, {1, 1}},
        {20, 10, false, {10, 10}},
        {-1, -1, true, {0, 1}},
        {int64_t(1) << 40, int64_t(1) << 41, true, {1073741823, 2147483647}},
        {7, 9, true, {7, 9}},
    };
    class Probe : public MemDatabase {
    public:
        std::function<void()> during;
        int32_t DoConnect(int32_t, int32_t) override {
            during();
            return 0;
        }
    } probe;
    probe.during = [&] {
        for (const auto& c : cases) {
            if (c.wide)
                probe.CallProgressCallback64(c.position, c.total);
            else
                probe.CallProgressCallback(static_cast<int32_t>(c.position),
                                           static_cast<int32_t>(c.total));
        }
    };
    probe.Connect(Progress, reinterpret_cast<KdmUserData>(&log), 0, 0, nullptr);
    ASSERT_EQ(log.calls.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(log.calls[i], cases[i].seen) << i;
}

volatile uintptr_t g_nowhere = 0;

// Client callbacks that take a processor fault.
__attribute__((noinline, no_sanitize_address, no_sanitize("undefined"))) int32_t KDM_API
FaultingProgress(KdmUserData, int32_t, int32_t) {
    *reinterpret_cast<volatile int*>(g_nowhere) = 1;
    return 0;
}
__attribute__((noinline, no_sanitize_address, no_sanitize("undefined"))) void KDM_API
FaultingMonitor(KdmUserData, KdmHandle) {
    *reinterpret_cast<volatile int*>(g_nowhere) = 1;
}

TEST_F(Objects, FaultsInClientCallbacksAreReportedAndTheOperationGoesOn) {
    Make(0, false);
    test::DiagCapture capture;
    int32_t result = -1;
    ASSERT_TRUE(Database_Connect(dbHandle, &result, FaultingProgress, 0, 0, 0, nullptr));
    EXPECT_EQ(result, 0) << "a failed report counts as go on";
    ASSERT_TRUE(Database_RegisterDisconnectMonitor(dbHandle, FaultingMonitor, 0));
    ASSERT_TRUE(Database_Disconnect(dbHandle));
    KdmBool connected = 1;
    ASSERT_TRUE(Database_Connected(dbHandle, &connected));
    EXPECT_FALSE(connected);
    std::string text = capture.Text();
    EXPECT_NE(text.find("### ERROR: CallProgressCallback: Structured exception occurred.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("### ERROR: Exception in DisconnectMonitor."), std::string::npos) << text;
}

KdmBool KDM_API Refuses(KdmUserData, int32_t, const void*) {
    return 0;
}

TEST(ServerNotifications, FalseResultIsAWarningOnly) {
    test::DiagCapture capture;
    MemDatabase db;
    db.NotifyServer(1, nullptr); // no callback: nothing
    db.SetCBNotification(Refuses, 0);
    db.NotifyServer(1, nullptr);
    EXPECT_EQ(capture.Text(),
              "### WARNING: ServerNotificationCallback should always return true.\n");
}

TEST_F(Objects, DestroyingTheDatabaseClosesItsDatasetsAndWithdrawsTheirHandles) {
    test::MemCounters counters;
    Make(2, true, &counters);
    KdmHandle second = 0, grabber = 0;
    ASSERT_TRUE(Database_CreateDataSet(dbHandle, &second));
    ASSERT_TRUE(Database_CreatePictureGrabber(dbHandle, &grabber));
    KdmHandle owner = 0;
    ASSERT_TRUE(PictureGrabber_GetDatabase(grabber, &owner));
    EXPECT_EQ(owner, dbHandle);
    int32_t count = 0;
    EXPECT_FALSE(PictureGrabber_FieldCount(grabber, &count));
    Err closed = Last();
    EXPECT_EQ(closed.message, "PictureGrabber must be opened for this operation!");
    EXPECT_EQ(closed.sub1, 400);
    EXPECT_EQ(closed.sub2, 100);
    ASSERT_TRUE(DataSet_GetDatabase(second, &owner));
    EXPECT_EQ(owner, dbHandle);
    ASSERT_TRUE(DataSet_Open(ds));
    ASSERT_TRUE(DataSet_Open(second));
    ASSERT_TRUE(Database_Destroy(dbHandle));
    EXPECT_EQ(counters.closeCursor, 2);
    KdmBool active = 0;
    EXPECT_FALSE(DataSet_Active(ds, &active));
    EXPECT_EQ(Last().message, "Invalid dataset handle.");
    EXPECT_FALSE(PictureGrabber_GetDatabase(grabber, &owner));
    EXPECT_EQ(Last().message, "Invalid picture grabber handle.");
    EXPECT_TRUE(DataSet_Destroy(second)) << "a withdrawn handle is just unknown";
}

TEST_F(Objects, DestroyingADatasetDetachesItFromItsDatabase) {
    Make(1);
    ASSERT_EQ(db->DataSetCount(), 1);
    ASSERT_TRUE(DataSet_Open(ds));
    ASSERT_TRUE(DataSet_Destroy(ds));
    EXPECT_EQ(db->DataSetCount(), 0);
    EXPECT_EQ(db->counters.closeCursor, 1);
}

TEST_F(Objects, LockDataSetKeepsOtherThreadsOut) {
    Make(2);
    ASSERT_TRUE(DataSet_Open(ds));
    ASSERT_TRUE(DataSet_LockDataSet(ds));
    std::atomic<bool> fetched{false};
    std::thread other([&] {
        KdmBool got = 0;
        DataSet_FetchNext(ds, &got);
        fetched = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(fetched.load());
    KdmBool bod = 0;
    EXPECT_TRUE(DataSet_Bod(ds, &bod)) << "the flag readers take no lock";
    ASSERT_TRUE(DataSet_AbortOperation(ds)) << "nor does abort";
    EXPECT_EQ(db->counters.abort, 1);
    ASSERT_TRUE(DataSet_UnlockDataSet(ds));
    other.join();
    EXPECT_TRUE(fetched.load());
}

TEST_F(Objects, ConnectionTextsAndGuid) {
    KdmGuid guid{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    db = new MemDatabase({}, &guid);
    dbHandle = RegisterDatabase(db);
    const char* name = nullptr;
    const char *user = nullptr, *user2 = nullptr;
    ASSERT_TRUE(Database_GetAliasname(dbHandle, &name));
    EXPECT_STREQ(name, "memory");
    ASSERT_TRUE(Database_GetUsername(dbHandle, &user, &user2));
    EXPECT_STREQ(user, "");
    KdmGuid back{};
    ASSERT_TRUE(Database_GetAliasGuid(dbHandle, &back));
    EXPECT_EQ(std::memcmp(&back, &guid, sizeof guid), 0);
    int32_t caps = 0;
    ASSERT_TRUE(Database_AggregateFunctionCapabilities(dbHandle, 4, &caps));
    EXPECT_EQ(caps, 8);
    // Slots a kind does not fill.
    EXPECT_FALSE(Database_ReleaseLockEvent(dbHandle, 1));
    EXPECT_EQ(Last().code, -2);
    KdmBool available = 1;
    EXPECT_FALSE(Database_RecorderAvailable(dbHandle, 1, &available));
    EXPECT_EQ(Last().message, "Command not implemented.");
}

} // namespace
