#include "frame/handles.h"

#include <atomic>
#include <cstdio>

namespace kdm {

namespace {
std::atomic<uint32_t> g_handleCounter{0};
} // namespace

uint32_t NextHandle() {
    uint32_t handle = g_handleCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    if (handle == 0)
        handle = g_handleCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    return handle;
}

void SetHandleCounterForTesting(uint32_t value) {
    g_handleCounter.store(value);
}

CDBIHandleList::CDBIHandleList(const char* kindWord) {
    std::snprintf(m_message, sizeof m_message, "Invalid %s handle.", kindWord);
}

uint32_t CDBIHandleList::Register(TSmartClass* object) {
    TEnterCriticalSection guard(m_lock);
    uint32_t handle = NextHandle();
    // A counter that wrapped around may meet a handle still in use.
    int32_t position;
    while (handle == 0 || m_entries.Find(handle, &position))
        handle = NextHandle();
    m_entries.Insert(position, CDBIHandleEntry{handle, object});
    return handle;
}

TSmartClass* CDBIHandleList::Lookup(uint32_t handle) {
    TEnterCriticalSection guard(m_lock);
    int32_t position;
    if (handle == 0 || !m_entries.Find(handle, &position))
        throw EInvalidHandle(m_message);
    return m_entries[position].object;
}

bool CDBIHandleList::Contains(uint32_t handle) {
    TEnterCriticalSection guard(m_lock);
    int32_t position;
    return handle != 0 && m_entries.Find(handle, &position);
}

TSmartClass* CDBIHandleList::Remove(uint32_t handle) {
    TEnterCriticalSection guard(m_lock);
    int32_t position;
    if (handle == 0 || !m_entries.Find(handle, &position))
        return nullptr;
    TSmartClass* object = m_entries[position].object;
    m_entries.Delete(position);
    return object;
}

void CDBIHandleList::Destroy(uint32_t handle) {
    if (TSmartClass* object = Remove(handle))
        object->Release();
}

uint32_t CDBIHandleList::Enumerate(const std::function<bool(uint32_t)>& visit) {
    TEnterCriticalSection guard(m_lock);
    // Index walk: the callback may destroy or create handles of this kind
    // on the same thread (the lock is re-entrant).
    for (int32_t i = 0; i < m_entries.Count(); ++i) {
        uint32_t handle = m_entries[i].handle;
        if (visit(handle))
            return handle;
        int32_t position;
        bool found = m_entries.Find(handle, &position);
        i = found ? position : position - 1;
    }
    return 0;
}

void CDBIHandleList::Forget() {
    TEnterCriticalSection guard(m_lock);
    m_entries.Clear();
}

int32_t CDBIHandleList::Count() {
    TEnterCriticalSection guard(m_lock);
    return m_entries.Count();
}

// Function-local statics: built on first use, so an export called from
// another library's constructor still finds them.
CDBIHandleList& DatabaseHandles() {
    static CDBIHandleList list("database");
    return list;
}
CDBIHandleList& DataSetHandles() {
    static CDBIHandleList list("dataset");
    return list;
}
CDBIHandleList& SetupClientHandles() {
    static CDBIHandleList list("setup client");
    return list;
}
CDBIHandleList& PictureGrabberHandles() {
    static CDBIHandleList list("picture grabber");
    return list;
}
CDBIHandleList& BackupWriterHandles() {
    static CDBIHandleList list("backupwriter");
    return list;
}
CDBIHandleList& ServerListHandles() {
    static CDBIHandleList list("serverlist");
    return list;
}

} // namespace kdm
