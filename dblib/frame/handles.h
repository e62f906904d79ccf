// The six handle registries. Handles come from one library-wide counter
// that skips 0, so no two objects of any kind share a value.
#pragma once

#include <cstdint>
#include <functional>

#include "frame/critical_section.h"
#include "frame/lists.h"
#include "frame/smart_class.h"

namespace kdm {

struct CDBIHandleEntry {
    uint32_t handle; // key
    TSmartClass* object;
};

struct CDBIHandleEntryKeyOf {
    using Key = uint32_t;
    static const uint32_t& Get(const CDBIHandleEntry& entry) { return entry.handle; }
};

uint32_t NextHandle();
void SetHandleCounterForTesting(uint32_t value);

class CDBIHandleList {
public:
    explicit CDBIHandleList(const char* kindWord);
    CDBIHandleList(const CDBIHandleList&) = delete;
    CDBIHandleList& operator=(const CDBIHandleList&) = delete;

    const char* InvalidMessage() const { return m_message; }

    // Draws a handle and enters the object; the registry holds the
    // reference the object was created with.
    uint32_t Register(TSmartClass* object);
    // Raises EInvalidHandle for 0 and unknown handles. The object is not
    // referenced for the caller: the registry lock is gone on return.
    TSmartClass* Lookup(uint32_t handle);
    bool Contains(uint32_t handle);
    // Removes the entry and returns the object whose reference the caller
    // now owns, or null when the handle is not registered.
    TSmartClass* Remove(uint32_t handle);
    // Removes the entry and releases the registry's reference outside the lock.
    void Destroy(uint32_t handle);
    // Calls visit in ascending handle order under the registry lock until it
    // returns true; that handle is returned, else 0.
    uint32_t Enumerate(const std::function<bool(uint32_t)>& visit);
    // Library unload: forget the entries without touching the objects.
    void Forget();
    int32_t Count();

private:
    TCriticalSection m_lock;
    CSortedList<CDBIHandleEntry, CDBIHandleEntryKeyOf> m_entries;
    char m_message[128];
};

CDBIHandleList& DatabaseHandles();
CDBIHandleList& DataSetHandles();
CDBIHandleList& SetupClientHandles();
CDBIHandleList& PictureGrabberHandles();
CDBIHandleList& BackupWriterHandles();
CDBIHandleList& ServerListHandles();

} // namespace kdm
