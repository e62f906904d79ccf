// The SQL engine's catalogue: tables and fields as a database provider
// announces them through its callback record. Every name the scanner and
// parser meet is resolved here; p-code names fields only by field id.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kdm::sql {

class CTableLink;

inline constexpr size_t kNameCapacity = 32; // characters, without the NUL

struct TTableInfo {
    char name[kNameCapacity + 1];
    uint32_t recordSize;
};

struct TFieldInfo {
    char tableName[kNameCapacity + 1];
    char fieldName[kNameCapacity + 1];
    uint32_t type;
    uint32_t strSize;
    uint32_t offset; // field offset plus the table's base offset
    uint32_t reserved;
    uint8_t keyFlags;
    uint32_t fieldNo;
};

// The provider's callback record, copied by value by its users. The row
// callbacks are used by query execution; compiling needs only the first two.
struct TCBDatabaseEngine {
    uint32_t size; // sizeof(TCBDatabaseEngine)
    void* user;    // first argument of every callback
    // True while tableNo is below the table count.
    bool (*GetTableInfo)(void* user, uint32_t tableNo, TTableInfo* info);
    // True while fieldId is below the field count; fields come grouped by
    // table in catalogue order.
    bool (*GetFieldInfo)(void* user, uint32_t fieldId, TFieldInfo* info);
    // mode 0 the row at *position, 1 the next, 2 the previous one.
    int32_t (*FetchRow)(void* user, CTableLink* link, int32_t mode, int64_t* position, bool* found,
                        void* cursor);
    int32_t (*FetchRowBlob)(void* user, uint32_t tableNo, const uint8_t* row,
                            const uint8_t* fieldStorage, uint32_t length, void* buffer);
    int32_t (*FetchPrimKey)(void* user, const uint8_t* keyStorage, bool* found, bool outer,
                            void* cursor, CTableLink* link);
};

static_assert(sizeof(void*) != 4 || sizeof(TCBDatabaseEngine) == 28,
              "the record is 28 bytes on 32-bit x86");

// A provider over the compiled-in recorder schema in catalogue order, with
// no row access. The local database answers the same two callbacks.
TCBDatabaseEngine RecorderSchemaEngine();

struct CFieldDef {
    std::string name; // upper case
    uint32_t fieldId = 0;
    uint32_t type = 0;
    uint32_t strSize = 0;
    uint32_t offset = 0;
    uint32_t reserved = 0;
    uint8_t keyFlags = 0;
    uint32_t fieldNo = 0;
};

struct CTableDef {
    std::string name; // upper case
    uint32_t recordSize = 0;
    uint32_t tableNo = 0;
    std::vector<std::unique_ptr<CFieldDef>> fields; // in field order

    const CFieldDef* FindField(const char* fieldName) const;
    // Room a row buffer needs: the record size, or more when a field's
    // storage reaches beyond it.
    uint32_t RowBufferSize() const;
};

class CDatabaseStructure {
public:
    // Builds the catalogue at once; read-only afterwards.
    explicit CDatabaseStructure(const TCBDatabaseEngine& engine);
    CDatabaseStructure(const CDatabaseStructure&) = delete;
    CDatabaseStructure& operator=(const CDatabaseStructure&) = delete;

    const TCBDatabaseEngine& Engine() const { return m_engine; }
    uint32_t TableCount() const { return static_cast<uint32_t>(m_tables.size()); }
    // Field ids handed out, duplicates included.
    uint32_t FieldCount() const { return m_fieldCount; }
    const CTableDef* Table(uint32_t tableNo) const;

    // Names compare case-insensitively; a null name finds nothing.
    const CTableDef* FindTable(const char* name) const;
    bool GetTableNo(const char* name, uint32_t* tableNo) const;
    const CFieldDef* FindField(const char* tableName, const char* fieldName) const;
    bool IsFieldName(const char* name) const;
    bool FindFieldById(uint32_t fieldId, std::string* tableName, std::string* fieldName) const;
    const CTableDef* FindTableOfField(uint32_t fieldId) const;
    const CFieldDef* FieldById(uint32_t fieldId) const;

    std::string DumpText() const;
    // Appends DumpText to the diagnostic file when the switch is on.
    void Dump() const;

private:
    TCBDatabaseEngine m_engine;
    std::vector<std::unique_ptr<CTableDef>> m_tables;
    uint32_t m_fieldCount = 0;
};

bool EqualNoCase(const char* a, const char* b);
std::string UpperAscii(const char* text);

} // namespace kdm::sql
