#include "sql/schema.h"

#include <cstring>

#include "frame/exceptions.h"
#include "frame/field_types.h"

namespace kdm::sql {

namespace {

constexpr uint8_t N = kNoReference;

// Abbreviations keep the tables below readable as the layout they are.
constexpr uint32_t HUGE = kTypeHugeInt, DT = kTypeDateTime, INT = kTypeInteger, BYTE = kTypeByte,
                   BLOB = kTypeBlobRef, DBL = kTypeDouble, VC = kTypeVarChar, DW = kTypeDWord;

constexpr TKdmStructFieldDef kPictures[] = {
    {0, "PicID", 0, HUGE, 3, 0, N, 0},
    {1, "RefPicID", 9, HUGE, 1, 0, kIdPictures, 0},
    {2, "EventID", 18, HUGE, 1, 0, kIdEvents, 0},
    {3, "VideoChID", 27, HUGE, 1, 0, kIdVideoChannels, 0},
    {4, "PicTime", 36, DT, 1, 0, N, 0},
    {5, "PicGMT", 45, DT, 1, 0, N, 0},
    {6, "PicTimeStamp", 54, HUGE, 1, 0, N, 0},
    {7, "PicCompAlg", 63, INT, 1, 0, N, 0},
    {8, "PicSignalType", 68, BYTE, 1, 0, N, 0},
    {9, "PicVideoType", 70, BYTE, 1, 0, N, 0},
    {10, "PicTopField", 72, BYTE, 1, 0, N, 0},
    {11, "PicLogicalRing", 74, BYTE, 1, 0, kIdRingBuffers, 0},
    {12, "PicArchived", 76, BYTE, 1, 0, N, 0},
    {13, "PicData", 78, BLOB, 0, 0, N, 0},
};

// EVENTS and LOCKEVENTS share this layout.
constexpr TKdmStructFieldDef kEvents[] = {
    {0, "EventID", 0, HUGE, 3, 0, N, 0},
    {1, "EventPrevID", 9, HUGE, 1, 0, kIdEvents, 0},
    {2, "EventTypeID", 18, HUGE, 1, 0, kIdEventTypes, 0},
    {3, "EventStartTime", 27, DT, 1, 0, N, 0},
    {4, "EventStopTime", 36, DT, 1, 0, N, 0},
    {5, "EventPrehistTime", 45, DT, 1, 0, N, 0},
    {6, "EventStartGMT", 54, DT, 1, 0, N, 0},
    {7, "EventStopGMT", 63, DT, 1, 0, N, 0},
    {8, "EventPrehistGMT", 72, DT, 1, 0, N, 0},
    {9, "EventLogicalRing", 81, BYTE, 1, 0, kIdRingBuffers, 0},
    {10, "EventKind", 83, INT, 1, 0, N, 0},
    {11, "EventParam1", 88, HUGE, 1, 0, N, 0},
    {12, "EventParam2", 97, HUGE, 1, 0, N, 0},
    {13, "EventParam3", 106, HUGE, 1, 0, N, 0},
    {14, "EventParam4", 115, HUGE, 1, 0, N, 0},
    {15, "EventDouble1", 124, DBL, 1, 0, N, 0},
    {16, "EventDouble2", 133, DBL, 1, 0, N, 0},
    {17, "EventTime1", 142, DT, 1, 0, N, 0},
    {18, "EventTime2", 151, DT, 1, 0, N, 0},
    {19, "EventText1", 160, VC, 1, 32, N, 0},
    {20, "EventText2", 196, VC, 1, 32, N, 0},
    {21, "EventData", 232, BLOB, 0, 0, N, 0},
};

constexpr TKdmStructFieldDef kVideoChannels[] = {
    {0, "VideoChID", 0, HUGE, 3, 0, N, 0},
    {1, "VideoGroupID", 9, HUGE, 1, 0, kIdVideoGroups, 0},
    {2, "RecorderID", 18, HUGE, 1, 0, kIdRecorders, 0},
    {3, "VideoChLocal", 27, BYTE, 1, 0, N, 0},
    {4, "VideoChActive", 29, BYTE, 1, 0, N, 0},
    {5, "VideoChGlobal", 31, DW, 1, 0, N, 0},
    {6, "VideoChText", 36, VC, 1, 64, N, 0},
    {7, "VideoChCaps", 104, DW, 1, 0, N, 0},
    {8, "VideoChTelemetrySystem", 109, DW, 1, 0, N, 0},
};

constexpr TKdmStructFieldDef kEventTypes[] = {
    {0, "EventTypeID", 0, HUGE, 3, 0, N, 0}, {1, "EventActive", 9, BYTE, 1, 0, N, 0},
    {2, "EventName", 11, VC, 1, 32, N, 0},   {3, "EventText", 47, VC, 1, 100, N, 0},
    {4, "EventSystem", 151, DW, 1, 0, N, 0}, {5, "ViewerCoord", 156, DW, 1, 0, N, 0},
};

constexpr TKdmStructFieldDef kVideoGroups[] = {
    {0, "VideoGroupID", 0, HUGE, 3, 0, N, 0},
    {1, "VideoGroupName", 9, VC, 1, 32, N, 0},
    {2, "VideoGroupDesc", 45, VC, 1, 100, N, 0},
};

constexpr TKdmStructFieldDef kMonitors[] = {
    {0, "MonitorID", 0, HUGE, 3, 0, N, 0},
    {1, "RecorderID", 9, HUGE, 1, 0, kIdRecorders, 0},
    {2, "DefaultCycleID", 18, HUGE, 1, 0, kIdCamCycles, 0},
    {3, "MonitorLocal", 27, BYTE, 1, 0, N, 0},
    {4, "MonitorActive", 29, BYTE, 1, 0, N, 0},
    {5, "MonitorGlobal", 31, DW, 1, 0, N, 0},
    {6, "MonitorText", 36, VC, 1, 64, N, 0},
};

constexpr TKdmStructFieldDef kRecorders[] = {
    {0, "RecorderID", 0, HUGE, 3, 0, N, 0},
    {1, "RecorderName", 9, VC, 1, 64, N, 0},
    {2, "RecorderIntName", 77, VC, 1, 32, N, 0},
};

constexpr TKdmStructFieldDef kRingBuffers[] = {
    {0, "RingID", 0, HUGE, 3, 0, N, 0},
    {1, "RingName", 9, VC, 1, 32, N, 0},
    {2, "RingActive", 45, BYTE, 1, 0, N, 0},
    {3, "RingSize", 47, DW, 1, 0, N, 0},
};

constexpr TKdmStructFieldDef kIsEventTypesVidCh[] = {
    {0, "PrimaryKey", 0, HUGE, 3, 0, N, 0},
    {1, "EventTypeID", 9, HUGE, 1, 0, kIdEventTypes, 0},
    {2, "VideoChID", 18, HUGE, 1, 0, kIdVideoChannels, 0},
    {3, "ViewerCoord", 27, DW, 1, 0, N, 0},
    {4, "ViewerMode", 32, DW, 1, 0, N, 0},
};

constexpr TKdmStructFieldDef kRelays[] = {
    {0, "RelayID", 0, HUGE, 3, 0, N, 0},
    {1, "RelayActive", 9, BYTE, 1, 0, N, 0},
    {2, "RelayLocal", 11, BYTE, 1, 0, N, 0},
    {3, "RelayGlobal", 13, DW, 1, 0, N, 0},
    {4, "RecorderID", 18, HUGE, 1, 0, kIdRecorders, 0},
    {5, "RelayText", 27, VC, 1, 64, N, 0},
};

constexpr TKdmStructFieldDef kCamCycles[] = {
    {0, "CycleID", 0, HUGE, 3, 0, N, 0},
    {1, "CycleActive", 9, BYTE, 1, 0, N, 0},
    {2, "CycleGlobal", 11, DW, 1, 0, N, 0},
    {3, "CycleDwellTime", 16, DW, 1, 0, N, 0},
    {4, "RecorderID", 21, HUGE, 1, 0, kIdRecorders, 0},
    {5, "CycleText", 30, VC, 1, 64, N, 0},
};

constexpr TKdmStructFieldDef kTimeRanges[] = {
    {0, "TimeRangeID", 0, HUGE, 3, 0, N, 0},
    {1, "TimeRangeOrder", 9, DW, 1, 0, N, 0},
    {2, "TimeRangeName", 14, VC, 1, 255, N, 0},
};

constexpr TKdmStructFieldDef kDbeFields[] = {
    {0, "DbeFieldID", 0, HUGE, 3, 0, N, 0},
    {1, "DbeTableID", 9, HUGE, 1, 0, kIdDbeTables, 0},
    {2, "DbeReferenceFieldID", 18, HUGE, 3, 0, kIdDbeFields, 0},
    {3, "DbeFieldIndex", 27, DW, 1, 0, N, 0},
    {4, "DbeFieldSize", 32, DW, 1, 0, N, 0},
    {5, "DbeFieldStrSize", 37, BYTE, 1, 0, N, 0},
    {6, "DbeFieldType", 39, DW, 1, 0, N, 0},
    {7, "DbeFieldName", 44, VC, 1, 32, N, 0},
};

constexpr TKdmStructFieldDef kDbeTables[] = {
    {0, "DbeTableID", 0, HUGE, 3, 0, N, 0},
    {1, "DbeRecordSize", 9, DW, 1, 0, N, 0},
    {2, "DbeTableName", 14, VC, 1, 32, N, 0},
};

constexpr const TKdmStructFieldDef* kPicturesFk[] = {&kPictures[1], &kPictures[2], &kPictures[3],
                                                     &kPictures[11]};
constexpr const TKdmStructFieldDef* kEventsFk[] = {&kEvents[1], &kEvents[2], &kEvents[9]};
constexpr const TKdmStructFieldDef* kVideoChannelsFk[] = {&kVideoChannels[1], &kVideoChannels[2]};
constexpr const TKdmStructFieldDef* kMonitorsFk[] = {&kMonitors[1], &kMonitors[2]};
constexpr const TKdmStructFieldDef* kIsEventTypesVidChFk[] = {&kIsEventTypesVidCh[1],
                                                              &kIsEventTypesVidCh[2]};
constexpr const TKdmStructFieldDef* kRelaysFk[] = {&kRelays[4]};
constexpr const TKdmStructFieldDef* kCamCyclesFk[] = {&kCamCycles[4]};
constexpr const TKdmStructFieldDef* kDbeFieldsFk[] = {&kDbeFields[1], &kDbeFields[2]};

template <size_t F> constexpr uint32_t Count(const TKdmStructFieldDef (&)[F]) {
    return static_cast<uint32_t>(F);
}
template <size_t F> constexpr uint32_t Count(const TKdmStructFieldDef* const (&)[F]) {
    return static_cast<uint32_t>(F);
}

#define KDM_TABLE(id, name, fields, fk, size)                                                      \
    TKdmStructTableDef {                                                                           \
        id, name, Count(fields), Count(fk), fk, fields, size                                       \
    }
#define KDM_TABLE_NOFK(id, name, fields, size)                                                     \
    TKdmStructTableDef {                                                                           \
        id, name, Count(fields), 0, nullptr, fields, size                                          \
    }

// Catalogue order; the position is the table number.
constexpr TKdmStructTableDef kCatalogue[kCatalogueTableCount] = {
    KDM_TABLE(kIdPictures, "PICTURES", kPictures, kPicturesFk, 96),
    KDM_TABLE(kIdEvents, "EVENTS", kEvents, kEventsFk, 252),
    KDM_TABLE(kIdVideoChannels, "VIDEOCHANNELS", kVideoChannels, kVideoChannelsFk, 116),
    KDM_TABLE_NOFK(kIdEventTypes, "EVENTTYPES", kEventTypes, 164),
    KDM_TABLE_NOFK(kIdVideoGroups, "VIDEOGROUPS", kVideoGroups, 152),
    KDM_TABLE(kIdMonitors, "MONITORS", kMonitors, kMonitorsFk, 104),
    KDM_TABLE_NOFK(kIdRecorders, "RECORDERS", kRecorders, 116),
    KDM_TABLE_NOFK(kIdRingBuffers, "RINGBUFFERS", kRingBuffers, 52),
    KDM_TABLE(kIdIsEventTypesVidCh, "ISEVENTTYPESVIDCH", kIsEventTypesVidCh, kIsEventTypesVidChFk,
              40),
    KDM_TABLE(kIdLockEvents, "LOCKEVENTS", kEvents, kEventsFk, 252),
    KDM_TABLE(kIdRelays, "RELAYS", kRelays, kRelaysFk, 96),
    KDM_TABLE(kIdCamCycles, "CAMCYCLES", kCamCycles, kCamCyclesFk, 100),
    KDM_TABLE_NOFK(kIdTimeRanges, "TIMERANGES", kTimeRanges, 276),
    KDM_TABLE(kIdDbeFields, "_DBEFIELDS", kDbeFields, kDbeFieldsFk, 80),
    KDM_TABLE_NOFK(kIdDbeTables, "_DBETABLES", kDbeTables, 52),
};

#undef KDM_TABLE
#undef KDM_TABLE_NOFK

constexpr const char* kEngineTypeNames[] = {
    "UNKNOWN",  "BOOL",     "KDMBYTE", "KDMSMALLINT", "KDMINTEGER", "KDMHUGEINT",  "KDMWORD",
    "KDMDWORD", "KDMQWORD", "FLOAT",   "DOUBLE",      "KDMVARCHAR", "KDMDATETIME", "KDMBLOBREF",
};

// Record writers for the data dictionary (field storage of the record layout).
void PutPresent(uint8_t* at) {
    at[0] = kValuePresent;
}
void PutU64(uint8_t* record, uint32_t offset, uint64_t value) {
    PutPresent(record + offset);
    for (int i = 0; i < 8; ++i)
        record[offset + 1 + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutU32(uint8_t* record, uint32_t offset, uint32_t value) {
    PutPresent(record + offset);
    for (int i = 0; i < 4; ++i)
        record[offset + 1 + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutU8(uint8_t* record, uint32_t offset, uint8_t value) {
    PutPresent(record + offset);
    record[offset + 1] = value;
}
void PutText(uint8_t* record, uint32_t offset, uint32_t strSize, const char* text) {
    size_t length = std::strlen(text);
    if (length > strSize)
        length = strSize;
    PutPresent(record + offset);
    record[offset + kStringLengthOffset] = static_cast<uint8_t>(length);
    std::memcpy(record + offset + kStringTextOffset, text, length);
}

} // namespace

const char* EngineTypeName(uint32_t type) {
    if (type >= sizeof kEngineTypeNames / sizeof kEngineTypeNames[0])
        return kEngineTypeNames[0];
    return kEngineTypeNames[type];
}

bool IsNumericType(uint32_t type) {
    return type >= kTypeByte && type <= kTypeDouble;
}

bool IsIntegerType(uint32_t type) {
    return type >= kTypeByte && type <= kTypeQWord;
}

uint32_t StorageSize(uint32_t type, uint32_t strSize) {
    // The record layout is the value buffer layout; code 8 has neither.
    if (type > static_cast<uint32_t>(kFieldBlob))
        throw EException("Internal error: Invalid field type.", 0, 0);
    return FieldBufferSize(static_cast<int32_t>(type), strSize);
}

uint32_t StorageSizeOrZero(uint32_t type, uint32_t strSize) {
    if (!IsValidFieldType(static_cast<int32_t>(type)))
        return 0;
    return FieldBufferSize(static_cast<int32_t>(type), strSize);
}

const TKdmStructTableDef& CatalogueTable(uint32_t tableNo) {
    if (tableNo >= kCatalogueTableCount)
        throw EException("Internal error: Invalid table number.", 0, 0);
    return kCatalogue[tableNo];
}

int32_t CatalogueTableNo(uint8_t tableId) {
    for (uint32_t i = 0; i < kCatalogueTableCount; ++i)
        if (kCatalogue[i].tableId == tableId)
            return static_cast<int32_t>(i);
    return -1;
}

uint32_t CatalogueFirstFieldId(uint32_t tableNo) {
    uint32_t id = 0;
    for (uint32_t i = 0; i < tableNo && i < kCatalogueTableCount; ++i)
        id += kCatalogue[i].fieldCount;
    return id;
}

uint32_t CatalogueFieldCount() {
    return CatalogueFirstFieldId(kCatalogueTableCount);
}

const TKdmStructTableDef* FindSchemaTableById(uint8_t tableId) {
    int32_t no = CatalogueTableNo(tableId);
    return no < 0 ? nullptr : &kCatalogue[no];
}

TDataDictionary BuildDataDictionary() {
    const TKdmStructTableDef& tablesDef = kCatalogue[CatalogueTableNo(kIdDbeTables)];
    const TKdmStructTableDef& fieldsDef = kCatalogue[CatalogueTableNo(kIdDbeFields)];
    TDataDictionary out;
    uint32_t fieldId = 0;
    for (uint32_t no = 0; no < kCatalogueTableCount; ++no) {
        const TKdmStructTableDef& table = kCatalogue[no];
        std::vector<uint8_t> row(tablesDef.recordSize, 0);
        PutU64(row.data(), kDbeTables[0].offset, no);
        PutU32(row.data(), kDbeTables[1].offset, table.recordSize);
        PutText(row.data(), kDbeTables[2].offset, kDbeTables[2].strSize, table.name);
        out.tables.push_back(std::move(row));

        for (uint32_t f = 0; f < table.fieldCount; ++f, ++fieldId) {
            const TKdmStructFieldDef& field = table.fields[f];
            std::vector<uint8_t> rec(fieldsDef.recordSize, 0);
            uint8_t* r = rec.data();
            PutU64(r, kDbeFields[0].offset, fieldId);
            PutU64(r, kDbeFields[1].offset, no);
            if (field.refTable != kNoReference) {
                int32_t refNo = CatalogueTableNo(field.refTable);
                if (refNo >= 0)
                    PutU64(r, kDbeFields[2].offset,
                           CatalogueFirstFieldId(static_cast<uint32_t>(refNo)));
            }
            PutU32(r, kDbeFields[3].offset, field.fieldNo);
            PutU32(r, kDbeFields[4].offset, StorageSize(field.type, field.strSize));
            if (field.type == kTypeVarChar)
                PutU8(r, kDbeFields[5].offset, field.strSize);
            PutU32(r, kDbeFields[6].offset, field.type);
            PutText(r, kDbeFields[7].offset, kDbeFields[7].strSize, field.name);
            out.fields.push_back(std::move(rec));
        }
    }
    return out;
}

} // namespace kdm::sql
