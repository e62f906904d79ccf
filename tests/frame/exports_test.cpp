// The export frame seen through the exports, with objects registered the
// way the object kinds will register themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/export_frame.h"
#include "frame/fields.h"
#include "frame/lists.h"
#include "support/diag_capture.h"

using namespace kdm;
using test::DiagCapture;

namespace {

struct LastError {
    bool set = false;
    int32_t code = -99, sub1 = -99, sub2 = -99;
    std::string message;
};

LastError Last() {
    LastError e;
    const char* message = nullptr;
    e.set = DBI_GetLastError(&e.code, &e.sub1, &e.sub2, &message) != 0;
    if (message != nullptr)
        e.message = message;
    return e;
}

class Probe : public TSmartClass {
public:
    explicit Probe(std::vector<std::string>* log) : m_log(log) {}
    ~Probe() override { m_log->push_back("deleted"); }

protected:
    void Shutdown() override { m_log->push_back("shutdown"); }

private:
    std::vector<std::string>* m_log;
};

// Registers a probe and removes what is left of it at the end.
class Registered {
public:
    Registered(CDBIHandleList& registry, std::vector<std::string>* log)
        : m_registry(registry), handle(registry.Register(new Probe(log))) {}
    ~Registered() { m_registry.Destroy(handle); }
    CDBIHandleList& m_registry;
    uint32_t handle;
};

TEST(HandleRegistry, HandlesAreUniqueAcrossKindsAndSkipZero) {
    std::vector<std::string> log;
    SetHandleCounterForTesting(0xFFFFFFFDu);
    std::vector<std::unique_ptr<Registered>> objects;
    CDBIHandleList* registries[] = {&DatabaseHandles(),     &DataSetHandles(),
                                    &SetupClientHandles(),  &PictureGrabberHandles(),
                                    &BackupWriterHandles(), &ServerListHandles()};
    for (int round = 0; round < 3; ++round)
        for (CDBIHandleList* r : registries)
            objects.push_back(std::make_unique<Registered>(*r, &log));
    std::set<uint32_t> seen;
    for (auto& o : objects) {
        EXPECT_NE(o->handle, 0u);
        EXPECT_TRUE(seen.insert(o->handle).second) << o->handle;
    }
    EXPECT_TRUE(seen.count(0xFFFFFFFEu) && seen.count(0xFFFFFFFFu) && seen.count(1u));
}

TEST(HandleRegistry, AHandleOfAnotherKindIsInvalid) {
    std::vector<std::string> log;
    Registered dataset(DataSetHandles(), &log);
    EXPECT_FALSE(Database_SetOptions(dataset.handle, 1));
    LastError e = Last();
    EXPECT_EQ(e.code, 4);
    EXPECT_EQ(e.message, "Invalid database handle.");
    EXPECT_EQ(e.sub1, 0);
    EXPECT_EQ(e.sub2, 0);
}

TEST(HandleRegistry, DestroyReleasesTheRegistrysReference) {
    std::vector<std::string> log;
    auto* probe = new Probe(&log);
    uint32_t handle = DatabaseHandles().Register(probe);
    probe->AddRef(); // another holder, as a database holds its datasets
    EXPECT_TRUE(Database_Destroy(handle));
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(DatabaseHandles().Contains(handle));
    EXPECT_FALSE(Database_Disconnect(handle));
    EXPECT_EQ(Last().code, 4);
    probe->Release();
    EXPECT_EQ(log, (std::vector<std::string>{"shutdown", "deleted"}));
    EXPECT_TRUE(Database_Destroy(handle)) << "a second destroy is no error";
}

struct EnumState {
    std::vector<KdmHandle> seen;
    KdmHandle stopAt = 0;
    KdmHandle destroyAt = 0;
};

KdmBool KDM_API Visit(KdmUserData data, KdmHandle handle) {
    auto* state = reinterpret_cast<EnumState*>(data);
    state->seen.push_back(handle);
    if (handle == state->destroyAt)
        Database_Destroy(handle); // re-entrant: the registry lock is held
    return handle == state->stopAt;
}

TEST(HandleRegistry, EnumerationInHandleOrderStopsAtTrue) {
    std::vector<std::string> log;
    Registered a(DatabaseHandles(), &log), b(DatabaseHandles(), &log), c(DatabaseHandles(), &log);
    EnumState state;
    state.stopAt = b.handle;
    KdmHandle found = 0;
    ASSERT_TRUE(DBI_EnumDatabases(Visit, reinterpret_cast<KdmUserData>(&state), &found));
    EXPECT_EQ(found, b.handle);
    EXPECT_EQ(state.seen, (std::vector<KdmHandle>{a.handle, b.handle}));

    EnumState all;
    all.destroyAt = a.handle;
    ASSERT_TRUE(DBI_EnumDatabases(Visit, reinterpret_cast<KdmUserData>(&all), &found));
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(all.seen, (std::vector<KdmHandle>{a.handle, b.handle, c.handle}));
    EXPECT_EQ(log, (std::vector<std::string>{"shutdown", "deleted"}));
}

struct MappingCase {
    const char* name;
    void (*raise)();
    int32_t code, sub1, sub2;
    const char* message;
    const char* logged; // null: nothing logged
};

void PrintTo(const MappingCase& c, std::ostream* os) {
    *os << c.name;
}

const MappingCase kMappings[] = {
    {"Classified", [] { throw EClassifiedException(9, "server says no", 17, -3); }, 9, 17, -3,
     "server says no", "### ERROR: KDMDBI: server says no (9,17,-3)\n"},
    {"Aborted", [] { throw ECmdAborted(); }, -1, 0, 0, "Command aborted.", nullptr},
    {"Connection", [] { throw CIPConnectionException("X: TCP/IP connection lost.", 5, 6); }, 2, 5,
     6, "X: TCP/IP connection lost.", "### ERROR: KDMDBI: X: TCP/IP connection lost. (2,5,6)\n"},
    {"Plain", [] { throw EException("plain", 300, 100); }, 1, 300, 100, "plain",
     "### ERROR: KDMDBI: plain (1,300,100)\n"},
    {"Collection", [] { ThrowListError(CListException::IndexOutOfRange); }, 1, -1, 200,
     "Collection error; index out of range!",
     "### ERROR: KDMDBI: Collection error; index out of range! (1,-1,200)\n"},
    {"CharString", [] { throw "thrown text"; }, 0, 0, 0, "thrown text",
     "### ERROR: KDMDBI: thrown text (0)\n"},
    {"Foreign", [] { throw std::runtime_error("x"); }, 0, 0, 0, "Unexpected internal error!",
     "### ERROR: KDMDBI: Unexpected internal error! (0)\n"},
};

class ExceptionMapping : public testing::TestWithParam<MappingCase> {};

TEST_P(ExceptionMapping, RecordsCodeNumbersTextAndDebugLine) {
    const MappingCase& c = GetParam();
    DiagCapture capture;
    EXPECT_EQ(RunExport([&] { c.raise(); }), 0);
    LastError e = Last();
    EXPECT_TRUE(e.set);
    EXPECT_EQ(e.code, c.code);
    EXPECT_EQ(e.sub1, c.sub1);
    EXPECT_EQ(e.sub2, c.sub2);
    EXPECT_EQ(e.message, c.message);
    EXPECT_EQ(capture.Text(), c.logged != nullptr ? c.logged : "");
}

INSTANTIATE_TEST_SUITE_P(Frame, ExceptionMapping, testing::ValuesIn(kMappings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LastErrorRecord, MessageCutTo499Characters) {
    std::string longText(700, 'm');
    EXPECT_EQ(RunExport([&] { throw longText.c_str(); }), 0);
    EXPECT_EQ(Last().message, std::string(499, 'm'));
}

TEST(LastErrorRecord, HeapExportsLeaveItAlone) {
    EXPECT_FALSE(Database_Disconnect(0));
    KdmBool ok = 0;
    EXPECT_TRUE(DBI_CheckHeap(0x5A, &ok));
    EXPECT_TRUE(DBI_SetHeapDebugOptions(0, 0));
    EXPECT_EQ(Last().code, 4);
    EXPECT_TRUE(DBI_TestFunction());
    EXPECT_FALSE(Last().set);
}

TEST(LastErrorRecord, NullOutPointerIsACodeOneError) {
    EXPECT_FALSE(DBI_CheckHeap(0, nullptr));
    LastError e = Last();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.message, "DBI_CheckHeap: Argument ok must not be a null pointer.");
}

TEST(FieldExports, HandleIsTheDefinitionAndItsName) {
    TDBIFieldDefs defs;
    defs.Add(new TDBIFieldDef("EventText1", "events", 11, 0, 32, 0));
    TKdmDBIField value(*defs[0]);
    defs[0]->bound = &value;
    uint8_t* buffer = value.Buffer();
    buffer[0] = 0x80;
    buffer[2] = 6;
    std::memcpy(buffer + 3, "abcdef", 6);

    KdmField field = defs[0];
    const char* name = nullptr;
    ASSERT_TRUE(Field_FieldName(field, &name));
    EXPECT_EQ(static_cast<const void*>(name), field);
    EXPECT_STREQ(name, "EVENTTEXT1");
    char text[8];
    uint8_t length = 3;
    ASSERT_TRUE(Field_AsString(field, text, &length));
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(length, 3);
    int32_t number = 5;
    EXPECT_FALSE(Field_AsInt(field, &number));
    LastError e = Last();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.sub1, 2);
    EXPECT_EQ(e.sub2, 270);
    EXPECT_EQ(e.message, "Field type does not match access method! (Field type=String "
                         "AccessMethod=AsInt)");
    EXPECT_EQ(number, 5);
}

TEST(FieldExports, ABrokenHandleIsAProcessorFaultNotACrash) {
    DiagCapture capture(false);
    int32_t type = 0;
    EXPECT_FALSE(Field_FieldType(reinterpret_cast<KdmField>(uintptr_t(16)), &type));
    LastError e = Last();
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.message.rfind("EProcessorException: Access violation at ", 0), 0u) << e.message;
    EXPECT_NE(e.message.find("(Read access to "), std::string::npos) << e.message;
    EXPECT_FALSE(Field_FieldType(nullptr, &type));
    EXPECT_EQ(Last().message, "Field_FieldType: Argument field must not be a null pointer.");
}

} // namespace
