// The compiled-in recorder schema: the fifteen tables of a recorder
// database with their fields, storage offsets, key flags and references.
// The local database, the medium readers and the backup writer lay out
// their records from it; the catalogue order fixes table numbers and field
// ids for the SQL engine.
#pragma once

#include <cstdint>
#include <vector>

namespace kdm::sql {

// Field type codes as the engine prints them. Code 8 is an evaluation type
// (unsigned integers and integer literals), never a column type.
enum EngineType : uint32_t {
    kTypeBool = 1,
    kTypeByte = 2,
    kTypeSmallInt = 3,
    kTypeInteger = 4,
    kTypeHugeInt = 5,
    kTypeWord = 6,
    kTypeDWord = 7,
    kTypeQWord = 8,
    kTypeFloat = 9,
    kTypeDouble = 10,
    kTypeVarChar = 11,
    kTypeDateTime = 12,
    kTypeBlobRef = 13,
};

// "BOOL" ... "KDMBLOBREF"; "UNKNOWN" for codes outside 1..13.
const char* EngineTypeName(uint32_t type);
bool IsNumericType(uint32_t type); // 2..10
bool IsIntegerType(uint32_t type); // 2..8

// Key flags of a field.
inline constexpr uint8_t kKeyPrimary = 3;
inline constexpr uint8_t kKeyValue = 1;
inline constexpr uint8_t kKeyBlob = 0;
inline constexpr uint8_t kNoReference = 0xFF;

// Storage of a field inside a record, presence byte included. Raises
// EException "Internal error: Invalid field type." for 8 and unknown codes.
uint32_t StorageSize(uint32_t type, uint32_t strSize);
// The same without raising: 0 for a type that has no storage.
uint32_t StorageSizeOrZero(uint32_t type, uint32_t strSize);

struct TKdmStructFieldDef {
    uint32_t fieldNo; // 0-based position in its table
    const char* name;
    uint32_t offset;
    uint32_t type;
    uint8_t keyFlags;
    uint8_t strSize;  // KDMVARCHAR only
    uint8_t refTable; // table identifier, kNoReference when no foreign key
    uint8_t reserved;
};

struct TKdmStructTableDef {
    uint8_t tableId;
    const char* name;
    uint32_t fieldCount;
    uint32_t foreignKeyCount;
    const TKdmStructFieldDef* const* foreignKeys; // in field order
    const TKdmStructFieldDef* fields;
    uint32_t recordSize; // field storage rounded up to a multiple of 4
};

// Table identifiers.
inline constexpr uint8_t kIdPictures = 0x00;
inline constexpr uint8_t kIdEvents = 0x01;
inline constexpr uint8_t kIdVideoChannels = 0x20;
inline constexpr uint8_t kIdEventTypes = 0x21;
inline constexpr uint8_t kIdVideoGroups = 0x22;
inline constexpr uint8_t kIdMonitors = 0x23;
inline constexpr uint8_t kIdRecorders = 0x24;
inline constexpr uint8_t kIdRingBuffers = 0x25;
inline constexpr uint8_t kIdIsEventTypesVidCh = 0x26;
inline constexpr uint8_t kIdRelays = 0x27;
inline constexpr uint8_t kIdCamCycles = 0x28;
inline constexpr uint8_t kIdTimeRanges = 0x29;
inline constexpr uint8_t kIdDbeFields = 0x7E;
inline constexpr uint8_t kIdDbeTables = 0x7F;
inline constexpr uint8_t kIdLockEvents = 128; // outside the local table index

// Catalogue order: position = table number.
inline constexpr uint32_t kCatalogueTableCount = 15;
const TKdmStructTableDef& CatalogueTable(uint32_t tableNo);
// Table number of an identifier, or -1.
int32_t CatalogueTableNo(uint8_t tableId);
// Id of field 0 of the table; field ids run over all tables in order.
uint32_t CatalogueFirstFieldId(uint32_t tableNo);
uint32_t CatalogueFieldCount();
const TKdmStructTableDef* FindSchemaTableById(uint8_t tableId);

// The data dictionary of a local database: one _DBETABLES record per
// catalogue table and one _DBEFIELDS record per field, each in its table's
// record layout, in ascending key order.
struct TDataDictionary {
    std::vector<std::vector<uint8_t>> tables;
    std::vector<std::vector<uint8_t>> fields;
};
TDataDictionary BuildDataDictionary();

} // namespace kdm::sql
