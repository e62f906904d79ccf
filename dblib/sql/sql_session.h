// The SQL engine's front for one opened database: the cursor list, the
// shared syntax graph and catalogue, and the cursor operations. A cursor
// holds no result set; every move walks the tables anew from the
// positions it keeps, so rows come in key order of the join order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "frame/critical_section.h"
#include "platform/sync.h"
#include "sql/database_structure.h"
#include "sql/evaluator.h"
#include "sql/join_walk.h"
#include "sql/sql_parser.h"
#include "sql/sql_syntax.h"
#include "sql/sql_tokens.h"

namespace kdm::sql {

using CursorHandle = uintptr_t; // the cursor's address

inline constexpr size_t kBookmarkSize = 264;
inline constexpr uint32_t kMaxBookmarkTables = 20;

// 0: table count; 4: low 32 bits of the cursor handle; 8: cursor identity;
// 16: row number (-1 before the first row, -2 after the last); 24: per
// table 12 bytes, table number (4) and position (8); unused entries 0.
struct TSQLBookmark {
    uint8_t bytes[kBookmarkSize] = {};

    uint32_t TableCount() const;
    uint32_t Handle() const;
    uint64_t Identity() const;
    int64_t RowNumber() const;
    uint32_t TableNo(uint32_t i) const;
    int64_t Position(uint32_t i) const;
};
static_assert(sizeof(TSQLBookmark) == kBookmarkSize);

class CSQLSessionManager;

// One cursor: a compiled SELECT with its navigation state.
class CSQLSession {
public:
    CSQLSession(const CDatabaseStructure& db, const CSQLSyntax& syntax);
    CSQLSession(const CSQLSession&) = delete;
    CSQLSession& operator=(const CSQLSession&) = delete;

    CSQLParser& Parser() { return m_parser; }
    // The p-code test of a row provider: `record` as the link's current
    // row, tables without a current row absent.
    bool RecordMatches(CTableLink* link, const uint8_t* record);
    bool PollAbort() { return m_abort.Poll(); }

private:
    friend class CSQLSessionManager;

    bool Prepare(); // after a successful compile
    void MakeBookmark(TSQLBookmark* bookmark) const;
    bool SamePositions(const std::vector<int64_t>& positions) const;
    std::vector<int64_t> Positions() const;
    void StepRowNumber(bool backward);
    // Steps |steps| rows; false when a step failed with an error state.
    bool Move(int64_t steps, bool* found, uint8_t* state);
    int64_t RecountTo(bool* ok);
    bool AtBookmarkRow(const TSQLBookmark& bookmark) const;

    int32_t m_refs = 1; // guarded by the manager lock
    TCriticalSection m_lock;
    CSQLParser m_parser;
    std::unique_ptr<CEvaluator> m_evaluator;
    std::unique_ptr<CJoinWalk> m_walk;
    std::atomic<bool> m_executable{false};
    bool m_counted = false;
    int64_t m_rowCount = 0;
    int64_t m_rowNumber = -1;
    uint64_t m_identity;
    CAbortState m_abort;
};

// For row providers: the cursor argument of the row callbacks.
bool SqlCursorRecordMatches(void* cursor, CTableLink* link, const uint8_t* record);
bool SqlCursorAborted(void* cursor);

class CSQLSessionManager {
    friend class CSQLCursorRef;

public:
    explicit CSQLSessionManager(const TCBDatabaseEngine& engine);
    ~CSQLSessionManager();
    CSQLSessionManager(const CSQLSessionManager&) = delete;
    CSQLSessionManager& operator=(const CSQLSessionManager&) = delete;

    const CDatabaseStructure& Database() const { return m_db; }
    int32_t CursorCount();

    // Every operation sets the report to success or to its error and
    // returns whether it succeeded. An aborted move returns false with
    // *aborted set, a success report and the cursor where it was.
    bool OpenCursor(const char* statement, bool executable, CursorHandle* handle,
                    const std::vector<TResultColumn>** columns, TSQLErrorReport* report);
    bool CloseCursor(CursorHandle handle, TSQLErrorReport* report);
    bool ExecuteCursor(CursorHandle handle, TSQLErrorReport* report);
    // mode 0 from the start, 1 from the end, 2 relative, 3 wait for a new
    // last row (retried until it appears or the event is set).
    bool FetchCursor(CursorHandle handle, int32_t mode, int64_t steps, int64_t* rowNumber,
                     bool* found, const platform::Event* abortEvent, bool* aborted,
                     TSQLBookmark* bookmark, TSQLErrorReport* report);
    bool CountRecords(CursorHandle handle, int64_t* count, int64_t* rowNumber,
                      const platform::Event* abortEvent, bool* aborted, TSQLBookmark* bookmark,
                      TSQLErrorReport* report);
    // kind 0 the row or the next, 1 the row or the previous, 2 only the
    // row, 3 and 4 |steps| rows after or before it.
    bool LocateBookmark(CursorHandle handle, int32_t kind, const TSQLBookmark& target,
                        int64_t steps, int64_t* rowNumber, bool* found,
                        const platform::Event* abortEvent, bool* aborted, TSQLBookmark* bookmark,
                        TSQLErrorReport* report);
    // mode 0 first match, 1 last, 2 next after the current row (wrapping),
    // 3 previous (wrapping).
    bool LocateWhere(CursorHandle handle, int32_t mode, const char* condition, int64_t* rowNumber,
                     bool* found, const platform::Event* abortEvent, bool* aborted,
                     TSQLBookmark* bookmark, TSQLErrorReport* report);
    bool GetBookmark(CursorHandle handle, TSQLBookmark* bookmark, TSQLErrorReport* report);
    // Reads a blob column of the current row from its start.
    bool FetchCursorBlob(const TResultColumn& column, void* buffer, uint32_t bufferSize, bool* done,
                         TSQLErrorReport* report);

private:
    CSQLSession* Lookup(CursorHandle handle, bool executable, TSQLErrorReport* report);
    void Release(CSQLSession* session);
    bool Fetch(CSQLSession& s, int32_t mode, int64_t steps, int64_t* rowNumber, bool* found,
               bool* aborted, TSQLBookmark* bookmark, TSQLErrorReport* report);
    bool Locate(CSQLSession& s, int32_t kind, const TSQLBookmark& target, int64_t steps,
                int64_t* rowNumber, bool* found, bool* aborted, TSQLBookmark* bookmark,
                TSQLErrorReport* report);
    bool WaitRetry(CSQLSession& s, int64_t ms);

    CSQLSyntax m_syntax;
    TCBDatabaseEngine m_engine;
    CDatabaseStructure m_db;
    TCriticalSection m_lock;
    std::vector<CSQLSession*> m_cursors;
};

} // namespace kdm::sql
