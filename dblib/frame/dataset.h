// The dataset base object: statement, state, the fetch discipline, step
// width, options, bookmarks and the field list.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "frame/critical_section.h"
#include "frame/fields.h"
#include "frame/smart_class.h"
#include "kdmdbi.h"

namespace kdm {

class TKdmDatabase;

// "Field '%s' not found in this DataSet!" (302, 100), for datasets and
// grabbers alike.
[[noreturn]] void ThrowFieldNotFound(const char* name);

class TKdmDataSet : public TSmartClass {
public:
    enum FetchMode : int32_t { kFetchFirst = 0, kFetchLast = 1, kFetchStep = 2, kFetchNewest = 3 };

    explicit TKdmDataSet(TKdmDatabase* database) : m_database(database) {}

    uint32_t Handle() const { return m_handle; }
    void SetHandle(uint32_t handle) { m_handle = handle; }
    TKdmDatabase* Database() const { return m_database; }
    TCriticalSection& Lock() { return m_lock; }

    void SetSQLStatement(const char* sql);
    // Copies at most *length - 1 characters when buffer is given and
    // *length > 0; *length becomes the statement's full length.
    void GetSQLStatement(char* buffer, int32_t* length);
    void Open();
    void Close();
    void Refresh(int32_t mode);
    bool FetchFirst();
    bool FetchLast();
    bool FetchNewest();
    bool FetchPrev();
    bool FetchNext();
    void SetStepWidth(int32_t width);
    int32_t GetStepWidth() const { return m_stepWidth.load(std::memory_order_relaxed); }
    void SetOptions(int32_t options) { m_options.store(options, std::memory_order_relaxed); }
    int32_t GetOptions() const { return m_options.load(std::memory_order_relaxed); }
    void GetBookmarkChecked(KdmBookmark* bookmark);
    bool LocateWhereChecked(int32_t mode, const char* condition);
    bool LocateBookmark(int32_t kind, const void* data);
    bool IsEmpty();
    bool Bod() const { return m_bod.load(std::memory_order_relaxed); }
    bool Eod() const { return m_eod.load(std::memory_order_relaxed); }
    bool Active() const { return m_active.load(std::memory_order_relaxed); }
    int64_t RecordCount();
    int64_t RecNo();
    int32_t FieldCount();
    TDBIFieldDef* GetField(int32_t index);
    TDBIFieldDef* FindField(const char* name); // null when absent
    TDBIFieldDef* FieldByName(const char* name);
    bool IsSequential();
    void AbortOperation() { Abort(); }
    void LockDataSet() { m_lock.Enter(); }
    void UnlockDataSet() { m_lock.Leave(); }

    // Slots filled by the kinds.
    virtual void StepWidthChanged() {}
    virtual void GetBookmark(KdmBookmark* bookmark) = 0;
    virtual void ClearRow() = 0;
    virtual void Abort() = 0;
    virtual void Execute() = 0;
    virtual void Reexecute() = 0;
    virtual void CloseCursor() = 0;
    virtual void GetPosition(int64_t* recNo, int64_t* count) = 0;
    virtual bool Fetch(int32_t mode, bool forward) = 0;
    virtual bool LocateWhere(int32_t mode, const char* condition) = 0;
    virtual bool Locate(int32_t kind, const void* data, int32_t rowCount) = 0;
    virtual bool LocateKeys(const void* items, int32_t count) = 0;
    virtual bool IsStatic() = 0;

protected:
    // Leaves the database's child list, then closes.
    void Shutdown() override;
    TDBIFieldDefs& Fields() { return m_fields; }
    uint32_t& CursorWord() { return m_cursor; }
    // "DataSet must be opened for this operation!"
    void RequireActive() const;

private:
    void Reset();
    void PositionAfterOpen();
    void FirstRow();
    void LastRow(int32_t mode);
    void Step(bool forward);

    std::string m_sql;
    bool m_hasSql = false;
    TCriticalSection m_lock;
    TKdmDatabase* m_database;
    uint32_t m_cursor = 0;
    // Read without the lock by the flag exports.
    std::atomic<bool> m_active{false};
    std::atomic<int32_t> m_stepWidth{1};
    std::atomic<bool> m_bod{true};
    std::atomic<bool> m_eod{true};
    std::atomic<int32_t> m_options{0};
    TDBIFieldDefs m_fields;
    uint32_t m_handle = 0;
};

} // namespace kdm
