#include "frame/database.h"

#include <cstring>

#include "frame/dataset.h"
#include "frame/handles.h"
#include "frame/picture_grabber.h"

namespace kdm {

void ThrowNotConnected() {
    throw EException("Must be connected for this operation!", 800, 100);
}

uint32_t RegisterDatabase(TKdmDatabase* database) {
    uint32_t handle;
    try {
        handle = DatabaseHandles().Register(database);
    } catch (...) {
        database->Release();
        throw;
    }
    database->SetHandle(handle);
    return handle;
}

namespace {

// Enters a new child into its registry and the parent's list; a failure on
// the way leaves neither holding it.
template <class Child>
uint32_t Adopt(Child* child, CUnsortedList<Child*>& list, CDBIHandleList& registry) {
    try {
        list.Add(child);
    } catch (...) {
        child->Release();
        throw;
    }
    uint32_t handle;
    try {
        handle = registry.Register(child);
    } catch (...) {
        list.Delete(list.Count() - 1);
        child->Release();
        throw;
    }
    child->SetHandle(handle);
    return handle;
}

template <class Child> void Detach(CUnsortedList<Child*>& list, Child* child) {
    int32_t index = list.IndexOf(child);
    if (index >= 0)
        list.Delete(index);
}

// Last to first: the handle leaves its registry, then the shared reference
// is released (a child whose count reaches 0 shuts down and is deleted).
template <class Child> void ReleaseAll(CUnsortedList<Child*>& list, CDBIHandleList& registry) {
    while (list.Count() > 0) {
        Child* child = list[list.Count() - 1];
        list.Delete(list.Count() - 1);
        if (registry.Remove(child->Handle()) != nullptr)
            child->Release();
    }
}

} // namespace

uint32_t TKdmDatabase::CreateDataSet() {
    TEnterCriticalSection guard(Lock());
    if (!IsConnected())
        ThrowNotConnected();
    return Adopt(NewDataSet(), m_dataSets, DataSetHandles());
}

uint32_t TKdmDatabase::CreatePictureGrabber() {
    TEnterCriticalSection guard(Lock());
    if (!IsConnected())
        ThrowNotConnected();
    return Adopt(NewPictureGrabber(), m_grabbers, PictureGrabberHandles());
}

void TKdmDatabase::GetDatabaseInfo(TKdmDatabaseInfoStruct* info) {
    uint32_t size = info->size;
    if (size < kInfoSize)
        throw EException(Format("%s: Size of %s argument too small! Expected: %d or greater; "
                                "Found: %d",
                                "GetDatabaseInfo", "TKdmDatabaseInfoStruct", int(kInfoSize),
                                int(size)),
                         1000, 0);
    TEnterCriticalSection guard(Lock());
    if (!IsConnected())
        ThrowNotConnected();
    TKdmDatabaseInfoStruct local;
    std::memset(&local, 0, sizeof local);
    local.size = kInfoSize;
    FillDatabaseInfo(&local);
    // The caller's size word stays; a larger block is zeroed past ours.
    auto* out = reinterpret_cast<uint8_t*>(info);
    std::memcpy(out + 4, reinterpret_cast<const uint8_t*>(&local) + 4, kInfoSize - 4);
    std::memset(out + kInfoSize, 0, size - kInfoSize);
}

void TKdmDatabase::DetachDataSet(TKdmDataSet* dataSet) {
    TEnterCriticalSection guard(Lock());
    Detach(m_dataSets, dataSet);
}

void TKdmDatabase::DetachPictureGrabber(TKdmPictureGrabber* grabber) {
    TEnterCriticalSection guard(Lock());
    Detach(m_grabbers, grabber);
}

int32_t TKdmDatabase::DataSetCount() {
    TEnterCriticalSection guard(Lock());
    return m_dataSets.Count();
}

void TKdmDatabase::Shutdown() {
    TEnterCriticalSection guard(Lock());
    ReleaseAll(m_dataSets, DataSetHandles());
    ReleaseAll(m_grabbers, PictureGrabberHandles());
    Disconnect();
}

} // namespace kdm
