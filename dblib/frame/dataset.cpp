#include "frame/dataset.h"

#include <cstring>

#include "frame/database.h"

namespace kdm {

void ThrowFieldNotFound(const char* name) {
    // The message must fit 99 characters.
    std::string shown(name != nullptr ? name : "");
    constexpr size_t kRoom = 99 - (sizeof("Field '' not found in this DataSet!") - 1);
    if (shown.size() > kRoom)
        shown.resize(kRoom);
    throw EException(Format("Field '%s' not found in this DataSet!", shown.c_str()), 302, 100);
}

void TKdmDataSet::Shutdown() {
    try {
        if (m_database != nullptr)
            m_database->DetachDataSet(this);
    } catch (...) {
    }
    TEnterCriticalSection guard(m_lock);
    Close();
}

void TKdmDataSet::RequireActive() const {
    if (!m_active.load(std::memory_order_relaxed))
        throw EException("DataSet must be opened for this operation!", 300, 100);
}

void TKdmDataSet::SetSQLStatement(const char* sql) {
    TEnterCriticalSection guard(m_lock);
    try {
        Close();
    } catch (...) {
    }
    m_hasSql = sql != nullptr;
    m_sql = sql != nullptr ? sql : "";
}

void TKdmDataSet::GetSQLStatement(char* buffer, int32_t* length) {
    TEnterCriticalSection guard(m_lock);
    size_t full = m_sql.size();
    if (buffer != nullptr && *length > 0) {
        size_t n = full < size_t(*length - 1) ? full : size_t(*length - 1);
        std::memcpy(buffer, m_sql.data(), n);
        buffer[n] = '\0';
    }
    *length = full > INT32_MAX ? INT32_MAX : static_cast<int32_t>(full);
}

void TKdmDataSet::Reset() {
    m_bod.store(true);
    m_eod.store(true);
    ClearRow();
    m_fields.Clear();
}

void TKdmDataSet::FirstRow() {
    m_eod.store(!Fetch(kFetchFirst, true));
    m_bod.store(true);
}

void TKdmDataSet::LastRow(int32_t mode) {
    m_bod.store(!Fetch(mode, false));
    m_eod.store(true);
}

void TKdmDataSet::Step(bool forward) {
    if (Fetch(kFetchStep, forward)) {
        m_bod.store(false);
        m_eod.store(false);
    } else if (forward) {
        m_bod.store(!Fetch(kFetchLast, false));
        m_eod.store(true);
    } else {
        m_eod.store(!Fetch(kFetchFirst, true));
        m_bod.store(true);
    }
}

void TKdmDataSet::PositionAfterOpen() {
    if ((m_options.load() & 1) != 0)
        LastRow(kFetchLast);
    else
        FirstRow();
}

void TKdmDataSet::Open() {
    TEnterCriticalSection guard(m_lock);
    // Opening an open dataset runs its statement again: a reset alone would
    // leave it open without fields.
    if (m_active.load())
        Close();
    Reset();
    Execute();
    m_active.store(true);
    PositionAfterOpen();
}

void TKdmDataSet::Close() {
    TEnterCriticalSection guard(m_lock);
    if (m_active.load()) {
        try {
            CloseCursor();
        } catch (...) {
        }
    }
    Reset();
    m_cursor = 0;
    m_active.store(false);
}

void TKdmDataSet::Refresh(int32_t mode) {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    if (mode != 0) {
        KdmBookmark bookmark;
        GetBookmark(&bookmark);
        Reexecute();
        Locate(0, &bookmark, 1);
    } else {
        Reexecute();
        PositionAfterOpen();
    }
}

bool TKdmDataSet::FetchFirst() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    FirstRow();
    return !m_eod.load();
}

bool TKdmDataSet::FetchLast() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    LastRow(kFetchLast);
    return !m_bod.load();
}

bool TKdmDataSet::FetchNewest() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    LastRow(IsStatic() ? kFetchLast : kFetchNewest);
    return !m_bod.load();
}

bool TKdmDataSet::FetchPrev() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    Step(false);
    return !m_bod.load();
}

bool TKdmDataSet::FetchNext() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    Step(true);
    return !m_eod.load();
}

void TKdmDataSet::SetStepWidth(int32_t width) {
    if (width < 1)
        width = 1;
    TEnterCriticalSection guard(m_lock);
    if (width != m_stepWidth.load()) {
        m_stepWidth.store(width);
        StepWidthChanged();
    }
}

void TKdmDataSet::GetBookmarkChecked(KdmBookmark* bookmark) {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    GetBookmark(bookmark);
}

bool TKdmDataSet::LocateWhereChecked(int32_t mode, const char* condition) {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    return LocateWhere(mode, condition);
}

bool TKdmDataSet::LocateBookmark(int32_t kind, const void* data) {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    return Locate(kind, data, 1);
}

bool TKdmDataSet::IsEmpty() {
    TEnterCriticalSection guard(m_lock);
    return m_bod.load() && m_eod.load();
}

int64_t TKdmDataSet::RecordCount() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    int64_t recNo = 0, count = 0;
    GetPosition(&recNo, &count);
    return count;
}

int64_t TKdmDataSet::RecNo() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    int64_t recNo = 0, count = 0;
    GetPosition(&recNo, &count);
    return recNo;
}

int32_t TKdmDataSet::FieldCount() {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    return m_fields.Count();
}

TDBIFieldDef* TKdmDataSet::GetField(int32_t index) {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    return m_fields[index];
}

TDBIFieldDef* TKdmDataSet::FindField(const char* name) {
    TEnterCriticalSection guard(m_lock);
    RequireActive();
    int32_t index = m_fields.FindColumn(name);
    return index == TDBIFieldDefs::kNotFound ? nullptr : m_fields[index];
}

TDBIFieldDef* TKdmDataSet::FieldByName(const char* name) {
    TDBIFieldDef* field = FindField(name);
    if (field == nullptr)
        ThrowFieldNotFound(name);
    return field;
}

bool TKdmDataSet::IsSequential() {
    return m_database->IsSequential();
}

} // namespace kdm
