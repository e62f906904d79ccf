#include "sql/schema.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/exceptions.h"
#include "sql/database_structure.h"

namespace kdm::sql {
namespace {

// The recorder's tables as the documentation of the record layouts lists
// them: catalogue position, identifier, record size, field count.
struct TableFigures {
    const char* name;
    uint8_t id;
    uint32_t recordSize;
    uint32_t fieldCount;
    uint32_t firstFieldId;
};

const TableFigures kTables[] = {
    {"PICTURES", 0x00, 96, 14, 0},
    {"EVENTS", 0x01, 252, 22, 14},
    {"VIDEOCHANNELS", 0x20, 116, 9, 36},
    {"EVENTTYPES", 0x21, 164, 6, 45},
    {"VIDEOGROUPS", 0x22, 152, 3, 51},
    {"MONITORS", 0x23, 104, 7, 54},
    {"RECORDERS", 0x24, 116, 3, 61},
    {"RINGBUFFERS", 0x25, 52, 4, 64},
    {"ISEVENTTYPESVIDCH", 0x26, 40, 5, 68},
    {"LOCKEVENTS", 128, 252, 22, 73},
    {"RELAYS", 0x27, 96, 6, 95},
    {"CAMCYCLES", 0x28, 100, 6, 101},
    {"TIMERANGES", 0x29, 276, 3, 107},
    {"_DBEFIELDS", 0x7E, 80, 8, 110},
    {"_DBETABLES", 0x7F, 52, 3, 118},
};

TEST(Schema, TablesInCatalogueOrder) {
    ASSERT_EQ(kCatalogueTableCount, std::size(kTables));
    for (uint32_t no = 0; no < kCatalogueTableCount; ++no) {
        SCOPED_TRACE(kTables[no].name);
        const TKdmStructTableDef& t = CatalogueTable(no);
        EXPECT_STREQ(t.name, kTables[no].name);
        EXPECT_EQ(t.tableId, kTables[no].id);
        EXPECT_EQ(t.recordSize, kTables[no].recordSize);
        EXPECT_EQ(t.fieldCount, kTables[no].fieldCount);
        EXPECT_EQ(CatalogueFirstFieldId(no), kTables[no].firstFieldId);
    }
    EXPECT_EQ(CatalogueFieldCount(), 121u);
}

// Offsets follow from the storage sizes: a typo in a type, a string size or
// an offset breaks the chain or the record size.
TEST(Schema, OffsetsChainThroughStorageSizes) {
    for (uint32_t no = 0; no < kCatalogueTableCount; ++no) {
        const TKdmStructTableDef& t = CatalogueTable(no);
        SCOPED_TRACE(t.name);
        uint32_t offset = 0;
        for (uint32_t f = 0; f < t.fieldCount; ++f) {
            const TKdmStructFieldDef& field = t.fields[f];
            EXPECT_EQ(field.fieldNo, f);
            EXPECT_EQ(field.offset, offset) << field.name;
            EXPECT_EQ(field.reserved, 0);
            EXPECT_EQ(field.strSize != 0, field.type == kTypeVarChar) << field.name;
            EXPECT_EQ(field.keyFlags == 0, field.type == kTypeBlobRef) << field.name;
            offset += StorageSize(field.type, field.strSize);
        }
        EXPECT_EQ((offset + 3) / 4 * 4, t.recordSize);
        EXPECT_EQ(t.fields[0].keyFlags, kKeyPrimary);
        EXPECT_EQ(t.fields[0].type, kTypeHugeInt);
    }
}

TEST(Schema, EventsFieldsAsListed) {
    struct F {
        const char* name;
        uint32_t type;
        uint32_t offset;
        uint8_t strSize;
    };
    const F expected[] = {
        {"EventID", 5, 0, 0},           {"EventPrevID", 5, 9, 0},
        {"EventTypeID", 5, 18, 0},      {"EventStartTime", 12, 27, 0},
        {"EventStopTime", 12, 36, 0},   {"EventPrehistTime", 12, 45, 0},
        {"EventStartGMT", 12, 54, 0},   {"EventStopGMT", 12, 63, 0},
        {"EventPrehistGMT", 12, 72, 0}, {"EventLogicalRing", 2, 81, 0},
        {"EventKind", 4, 83, 0},        {"EventParam1", 5, 88, 0},
        {"EventParam2", 5, 97, 0},      {"EventParam3", 5, 106, 0},
        {"EventParam4", 5, 115, 0},     {"EventDouble1", 10, 124, 0},
        {"EventDouble2", 10, 133, 0},   {"EventTime1", 12, 142, 0},
        {"EventTime2", 12, 151, 0},     {"EventText1", 11, 160, 32},
        {"EventText2", 11, 196, 32},    {"EventData", 13, 232, 0},
    };
    for (uint32_t no : {1u, 9u}) {
        const TKdmStructTableDef& t = CatalogueTable(no);
        ASSERT_EQ(t.fieldCount, std::size(expected));
        for (uint32_t i = 0; i < t.fieldCount; ++i) {
            EXPECT_STREQ(t.fields[i].name, expected[i].name);
            EXPECT_EQ(t.fields[i].type, expected[i].type);
            EXPECT_EQ(t.fields[i].offset, expected[i].offset);
            EXPECT_EQ(t.fields[i].strSize, expected[i].strSize);
        }
    }
}

std::string Name(uint8_t id) {
    const TKdmStructTableDef* t = FindSchemaTableById(id);
    return t ? t->name : "?";
}

TEST(Schema, ForeignKeysNameTheirTables) {
    const std::vector<std::pair<const char*, std::vector<std::string>>> expected = {
        {"PICTURES",
         {"RefPicID>PICTURES", "EventID>EVENTS", "VideoChID>VIDEOCHANNELS",
          "PicLogicalRing>RINGBUFFERS"}},
        {"EVENTS",
         {"EventPrevID>EVENTS", "EventTypeID>EVENTTYPES", "EventLogicalRing>RINGBUFFERS"}},
        {"VIDEOCHANNELS", {"VideoGroupID>VIDEOGROUPS", "RecorderID>RECORDERS"}},
        {"EVENTTYPES", {}},
        {"VIDEOGROUPS", {}},
        {"MONITORS", {"RecorderID>RECORDERS", "DefaultCycleID>CAMCYCLES"}},
        {"RECORDERS", {}},
        {"RINGBUFFERS", {}},
        {"ISEVENTTYPESVIDCH", {"EventTypeID>EVENTTYPES", "VideoChID>VIDEOCHANNELS"}},
        {"LOCKEVENTS",
         {"EventPrevID>EVENTS", "EventTypeID>EVENTTYPES", "EventLogicalRing>RINGBUFFERS"}},
        {"RELAYS", {"RecorderID>RECORDERS"}},
        {"CAMCYCLES", {"RecorderID>RECORDERS"}},
        {"TIMERANGES", {}},
        {"_DBEFIELDS", {"DbeTableID>_DBETABLES", "DbeReferenceFieldID>_DBEFIELDS"}},
        {"_DBETABLES", {}},
    };
    for (uint32_t no = 0; no < kCatalogueTableCount; ++no) {
        const TKdmStructTableDef& t = CatalogueTable(no);
        ASSERT_STREQ(t.name, expected[no].first);
        std::vector<std::string> fks, refs;
        for (uint32_t i = 0; i < t.foreignKeyCount; ++i)
            fks.push_back(std::string(t.foreignKeys[i]->name) + ">" +
                          Name(t.foreignKeys[i]->refTable));
        for (uint32_t i = 0; i < t.fieldCount; ++i)
            if (t.fields[i].refTable != kNoReference)
                refs.push_back(std::string(t.fields[i].name) + ">" + Name(t.fields[i].refTable));
        EXPECT_EQ(fks, expected[no].second) << t.name;
        EXPECT_EQ(refs, fks) << t.name << ": the foreign-key list is the referencing fields";
    }
}

TEST(Schema, StorageSizes) {
    const std::pair<uint32_t, uint32_t> sizes[] = {
        {1, 2}, {2, 2}, {3, 3}, {4, 5}, {5, 9}, {6, 3}, {7, 5}, {9, 5}, {10, 9}, {12, 9}, {13, 17}};
    for (auto [type, size] : sizes)
        EXPECT_EQ(StorageSize(type, 0), size) << EngineTypeName(type);
    EXPECT_EQ(StorageSize(kTypeVarChar, 255), 259u);
    EXPECT_EQ(StorageSize(kTypeVarChar, 32), 36u);
    for (uint32_t bad : {0u, 8u, 14u, 0xFFFFFFFFu}) {
        try {
            StorageSize(bad, 0);
            ADD_FAILURE() << "type " << bad << " has a storage size";
        } catch (const EException& e) {
            EXPECT_STREQ(e.Message(), "Internal error: Invalid field type.");
        }
    }
}

TEST(Schema, EngineTypeNames) {
    const char* names[] = {"BOOL",       "KDMBYTE",     "KDMSMALLINT", "KDMINTEGER", "KDMHUGEINT",
                           "KDMWORD",    "KDMDWORD",    "KDMQWORD",    "FLOAT",      "DOUBLE",
                           "KDMVARCHAR", "KDMDATETIME", "KDMBLOBREF"};
    for (uint32_t t = 1; t <= 13; ++t)
        EXPECT_STREQ(EngineTypeName(t), names[t - 1]);
}

// ---- catalogue --------------------------------------------------------------

class Catalogue : public ::testing::Test {
protected:
    CDatabaseStructure db{RecorderSchemaEngine()};
};

TEST_F(Catalogue, TableNumbersAndFieldIds) {
    EXPECT_EQ(db.TableCount(), 15u);
    EXPECT_EQ(db.FieldCount(), 121u);
    for (uint32_t no = 0; no < 15; ++no) {
        uint32_t got = 99;
        ASSERT_TRUE(db.GetTableNo(kTables[no].name, &got));
        EXPECT_EQ(got, no);
        const CTableDef* t = db.Table(no);
        EXPECT_EQ(t->recordSize, kTables[no].recordSize);
        ASSERT_EQ(t->fields.size(), kTables[no].fieldCount);
        for (uint32_t f = 0; f < kTables[no].fieldCount; ++f)
            EXPECT_EQ(t->fields[f]->fieldId, kTables[no].firstFieldId + f);
    }
    std::string table, field;
    ASSERT_TRUE(db.FindFieldById(14, &table, &field));
    EXPECT_EQ(table, "EVENTS");
    EXPECT_EQ(field, "EVENTID");
    ASSERT_TRUE(db.FindFieldById(35, &table, &field));
    EXPECT_EQ(field, "EVENTDATA");
    ASSERT_TRUE(db.FindFieldById(73, &table, &field));
    EXPECT_EQ(table + "." + field, "LOCKEVENTS.EVENTID");
    ASSERT_TRUE(db.FindFieldById(94, &table, &field));
    EXPECT_EQ(table + "." + field, "LOCKEVENTS.EVENTDATA");
    ASSERT_TRUE(db.FindFieldById(118, &table, &field));
    EXPECT_EQ(table + "." + field, "_DBETABLES.DBETABLEID");
    ASSERT_TRUE(db.FindFieldById(120, &table, &field));
    EXPECT_EQ(field, "DBETABLENAME");
    EXPECT_FALSE(db.FindFieldById(121, &table, &field));
    EXPECT_EQ(db.FindTableOfField(120)->name, "_DBETABLES");
    EXPECT_EQ(db.FindTableOfField(121), nullptr);
}

TEST_F(Catalogue, NamesMatchIgnoringCase) {
    const CFieldDef* a = db.FindField("pictures", "picid");
    const CFieldDef* b = db.FindField("PICTURES", "PicID");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->name, "PICID");
    EXPECT_EQ(db.FindTable("EventTypes"), db.Table(3));
    EXPECT_EQ(db.FindTable(nullptr), nullptr);
    EXPECT_EQ(db.FindField(nullptr, "PicID"), nullptr);
    EXPECT_EQ(db.FindField("PICTURES", nullptr), nullptr);
    EXPECT_EQ(db.FindField("PICTURES", "EventName"), nullptr);
    EXPECT_TRUE(db.IsFieldName("eventname"));
    EXPECT_FALSE(db.IsFieldName("NoSuchField"));
    EXPECT_FALSE(db.GetTableNo("PICTURE", nullptr));
}

TEST_F(Catalogue, FieldAttributesFromTheProvider) {
    const CFieldDef* text = db.FindField("TIMERANGES", "TimeRangeName");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->type, kTypeVarChar);
    EXPECT_EQ(text->strSize, 255u);
    EXPECT_EQ(text->offset, 14u);
    EXPECT_EQ(text->fieldNo, 2u);
    int keys = 0;
    for (const auto& f : db.FindTable("_DBEFIELDS")->fields)
        keys += f->keyFlags == kKeyPrimary;
    EXPECT_EQ(keys, 2);
    EXPECT_EQ(db.FindField("PICTURES", "PicData")->keyFlags, 0);
}

// A provider of hand-made tables, to show how the catalogue treats
// duplicates, misplaced fields and an empty database.
struct FakeProvider {
    std::vector<std::pair<std::string, uint32_t>> tables;
    std::vector<std::pair<std::string, std::string>> fields; // table, field
    static bool Table(void* user, uint32_t no, TTableInfo* info) {
        auto* self = static_cast<FakeProvider*>(user);
        if (no >= self->tables.size())
            return false;
        // Fill the whole name area, no terminator: the catalogue must not read past it.
        std::memset(info->name, 'X', sizeof info->name);
        std::memcpy(info->name, self->tables[no].first.data(),
                    std::min(self->tables[no].first.size(), sizeof info->name));
        if (self->tables[no].first.size() < sizeof info->name)
            info->name[self->tables[no].first.size()] = '\0';
        info->recordSize = self->tables[no].second;
        return true;
    }
    static bool Field(void* user, uint32_t id, TFieldInfo* info) {
        auto* self = static_cast<FakeProvider*>(user);
        if (id >= self->fields.size())
            return false;
        std::strncpy(info->tableName, self->fields[id].first.c_str(), 32);
        std::strncpy(info->fieldName, self->fields[id].second.c_str(), 32);
        info->type = kTypeHugeInt;
        return true;
    }
    TCBDatabaseEngine Engine() {
        TCBDatabaseEngine e{};
        e.size = sizeof e;
        e.user = this;
        e.GetTableInfo = Table;
        e.GetFieldInfo = Field;
        return e;
    }
};

TEST(CatalogueBuild, DuplicateFieldKeepsItsIdConsumed) {
    FakeProvider p;
    p.tables = {{"A", 20}, {"b", 20}};
    p.fields = {{"A", "x"}, {"A", "X"}, {"A", "y"}, {"B", "x"}};
    CDatabaseStructure db(p.Engine());
    ASSERT_EQ(db.Table(0)->fields.size(), 2u);
    EXPECT_EQ(db.FindField("a", "y")->fieldId, 2u);
    EXPECT_EQ(db.FindField("B", "X")->fieldId, 3u);
    EXPECT_EQ(db.Table(1)->name, "B");
    EXPECT_EQ(db.FieldCount(), 4u);
}

TEST(CatalogueBuild, FieldOutOfOrderEndsTheFields) {
    FakeProvider p;
    p.tables = {{"A", 20}, {"B", 20}};
    p.fields = {{"B", "x"}, {"A", "y"}, {"B", "z"}};
    CDatabaseStructure db(p.Engine());
    EXPECT_NE(db.FindField("B", "x"), nullptr);
    EXPECT_EQ(db.FindField("A", "y"), nullptr);
    EXPECT_EQ(db.FindField("B", "z"), nullptr);
    EXPECT_EQ(db.FieldCount(), 1u);
}

TEST(CatalogueBuild, UnterminatedNameIsCut) {
    FakeProvider p;
    p.tables = {{std::string(40, 'T'), 8}};
    CDatabaseStructure db(p.Engine());
    ASSERT_EQ(db.TableCount(), 1u);
    EXPECT_EQ(db.Table(0)->name, std::string(32, 'T'));
}

TEST(CatalogueBuild, EmptyProvider) {
    FakeProvider p;
    CDatabaseStructure db(p.Engine());
    EXPECT_EQ(db.TableCount(), 0u);
    EXPECT_EQ(db.FindTable("PICTURES"), nullptr);
    EXPECT_FALSE(db.IsFieldName("PICID"));
}

TEST_F(Catalogue, DumpLayout) {
    std::string text = db.DumpText();
    std::string rule(80, '-');
    std::string head =
        rule + "\nKDM SQL Database Structure\n" + rule +
        "\nTable Count: 15\nField Count: 121\n\n"
        "Table           Field           TableID/ FieldID  FieldType       "
        "StrSize/Ofs\n"
        "                                RecSize\n" +
        rule + "\nPICTURES                        0/96\n" +
        "                PICID                    0        KDMHUGEINT      0    0    \n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find("                EVENTTEXT1               33       KDMVARCHAR      32   "
                        "160  \n"),
              std::string::npos);
    EXPECT_NE(text.find("_DBETABLES                      14/52\n"), std::string::npos);
    std::string tail = rule + "\nEnd of Database Structure\n" + rule + "\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// ---- data dictionary ------------------------------------------------------------

uint64_t U64(const std::vector<uint8_t>& r, uint32_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | r[at + 1 + i];
    return v;
}
uint32_t U32(const std::vector<uint8_t>& r, uint32_t at) {
    return uint32_t(r[at + 1]) | uint32_t(r[at + 2]) << 8 | uint32_t(r[at + 3]) << 16 |
           uint32_t(r[at + 4]) << 24;
}
std::string Text(const std::vector<uint8_t>& r, uint32_t at) {
    return std::string(reinterpret_cast<const char*>(&r[at + 3]), r[at + 2]);
}

TEST(DataDictionary, RowsDescribeTheCatalogue) {
    TDataDictionary dd = BuildDataDictionary();
    ASSERT_EQ(dd.tables.size(), 15u);
    ASSERT_EQ(dd.fields.size(), 121u);
    // _DBETABLES: DbeTableID 0, DbeRecordSize 9, DbeTableName 14.
    const auto& lock = dd.tables[9];
    ASSERT_EQ(lock.size(), 52u);
    EXPECT_EQ(lock[0], 0x80);
    EXPECT_EQ(U64(lock, 0), 9u);
    EXPECT_EQ(U32(lock, 9), 252u);
    EXPECT_EQ(Text(lock, 14), "LOCKEVENTS");

    // _DBEFIELDS: ID 0, TableID 9, RefFieldID 18, Index 27, Size 32,
    // StrSize 37, Type 39, Name 44.
    const auto& typeId = dd.fields[16]; // EVENTS.EventTypeID
    ASSERT_EQ(typeId.size(), 80u);
    EXPECT_EQ(U64(typeId, 0), 16u);
    EXPECT_EQ(U64(typeId, 9), 1u);
    EXPECT_EQ(typeId[18], 0x80);
    EXPECT_EQ(U64(typeId, 18), 45u); // EVENTTYPES.EventTypeID
    EXPECT_EQ(U32(typeId, 27), 2u);
    EXPECT_EQ(U32(typeId, 32), 9u);
    EXPECT_EQ(typeId[37], 0) << "string size is NULL for a non-text field";
    EXPECT_EQ(U32(typeId, 39), 5u);
    EXPECT_EQ(Text(typeId, 44), "EventTypeID");

    const auto& text = dd.fields[107 + 2]; // TIMERANGES.TimeRangeName
    EXPECT_EQ(text[18], 0) << "no reference: NULL";
    EXPECT_EQ(text[37], 0x80);
    EXPECT_EQ(text[38], 255);
    EXPECT_EQ(U32(text, 32), 259u);

    const auto& selfRef = dd.fields[112]; // _DBEFIELDS.DbeReferenceFieldID
    EXPECT_EQ(U64(selfRef, 18), 110u);
    for (size_t i = 0; i < dd.fields.size(); ++i)
        EXPECT_EQ(U64(dd.fields[i], 0), i) << "ascending keys";
}

} // namespace
} // namespace kdm::sql
