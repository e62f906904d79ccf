// An in-memory row provider over the recorder schema for the SQL engine's
// tests, fuzzing and benchmarks: each table a key-ordered array of records
// in the schema's layout, filtered in FetchRow the way the local database
// filters (WITH criteria, then the query's p-code).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sql/database_structure.h"
#include "sql/link_lists.h"
#include "sql/schema.h"

namespace kdm::sql::test {

// One record being built, fields by name in the table's layout.
class CRecord {
public:
    explicit CRecord(uint32_t tableNo);
    uint32_t TableNo() const { return m_tableNo; }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

    // Integers of any width, BOOL, FLOAT and DOUBLE (converted).
    CRecord& Int(const char* field, int64_t value);
    CRecord& Real(const char* field, double value);
    CRecord& Text(const char* field, const std::string& text);
    CRecord& Date(const char* field, uint32_t day, uint32_t ms);
    // A blob reference: the provider's blob index and the blob's length.
    CRecord& Blob(const char* field, uint64_t ref, uint32_t length);
    CRecord& Null(const char* field);

private:
    uint8_t* Storage(const char* field, uint32_t* type);
    uint32_t m_tableNo;
    std::vector<uint8_t> m_bytes;
};

class CMemDatabase {
public:
    CMemDatabase();
    CMemDatabase(const CMemDatabase&) = delete;
    CMemDatabase& operator=(const CMemDatabase&) = delete;

    TCBDatabaseEngine Engine();

    // False for a record without key. A record with a key already present
    // replaces it. Appending in ascending key order costs no search.
    bool Insert(const CRecord& record);
    bool InsertBytes(uint32_t tableNo, const uint8_t* record);
    void Clear(uint32_t tableNo);
    size_t RowCount(uint32_t tableNo);
    uint64_t AddBlob(std::vector<uint8_t> bytes);

    // Every row callback fails (returns 0) while set.
    std::atomic<bool> failCalls{false};
    std::atomic<uint64_t> fetchRowCalls{0};
    std::atomic<uint64_t> primKeyCalls{0};

private:
    struct Table {
        uint32_t recordSize = 0;
        std::vector<uint8_t> data;
        size_t Rows() const { return recordSize ? data.size() / recordSize : 0; }
        const uint8_t* Row(size_t i) const { return data.data() + i * recordSize; }
        int64_t Key(size_t i) const;
        size_t LowerBound(int64_t key) const; // first row with key >= key
        // Scans continue where the last read ended: the row found then is
        // checked before searching.
        mutable size_t hint = 0;
    };

    static int32_t FetchRow(void* user, CTableLink* link, int32_t mode, int64_t* position,
                            bool* found, void* cursor);
    static int32_t FetchRowBlob(void* user, uint32_t tableNo, const uint8_t* row,
                                const uint8_t* fieldStorage, uint32_t length, void* buffer);
    static int32_t FetchPrimKey(void* user, const uint8_t* keyStorage, bool* found, bool outer,
                                void* cursor, CTableLink* link);
    static bool Passes(CTableLink* link, const uint8_t* record, uint32_t size, void* cursor);
    static void Take(CTableLink* link, const uint8_t* record, uint32_t size);

    std::mutex m_lock;
    std::vector<Table> m_tables;
    std::vector<std::vector<uint8_t>> m_blobs;
};

// The current row of a cursor's result columns as "name=value,..." with
// NULL for NULL values; blobs as their length.
std::string RowText(const std::vector<TResultColumn>& columns);

} // namespace kdm::sql::test
