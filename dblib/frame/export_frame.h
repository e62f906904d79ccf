// What every export shares: heap checks, the fault guard, the mapping of
// exceptions to the caller's last-error record.
#pragma once

#include <cstdint>

#include "frame/exceptions.h"
#include "frame/handles.h"
#include "kdmdbi.h"
#include "platform/faults.h"

namespace kdm {

struct TLastError {
    bool flag;
    int32_t code;
    int32_t sub1;
    int32_t sub2;
    char message[500];
};

// The calling thread's record, zero-filled on first use.
TLastError& ThreadLastError();
void RecordError(int32_t code, int32_t sub1, int32_t sub2, const char* message);

// Library switches read at load.
void LibraryInit();
bool HeapCheckBefore();
bool HeapCheckAfter();
void SetHeapChecks(bool before, bool after);

// Heap state of the C library's allocator; a heap that cannot be walked
// counts as intact.
bool HeapIsConsistent(int32_t fill);
bool HeapStatistics(KdmHeapStatistics* stats);

// Raises a code-1 error naming the export and the argument when p is null.
void RequireArg(const void* p, const char* function, const char* argument);

namespace frame_detail {
void BeginCall();
void EndCall();
void MapCurrentException();
} // namespace frame_detail

// Runs body inside the export frame: check-before, body, check-after,
// clear the error flag; any exception lands in the last-error record and
// the export answers false.
template <class Body> KdmBool32 RunExport(Body&& body) {
    try {
        platform::ExportScope scope;
        frame_detail::BeginCall();
        body();
        frame_detail::EndCall();
        return 1;
    } catch (...) {
        frame_detail::MapCurrentException();
        return 0;
    }
}

// The frame without heap checks and without touching the error record on
// success (the heap exports).
template <class Body> KdmBool32 RunBareExport(Body&& body) {
    try {
        platform::ExportScope scope;
        frame_detail::BeginCall();
        body();
        return 1;
    } catch (...) {
        frame_detail::MapCurrentException();
        return 0;
    }
}

template <class T> void ClearOut(T* p) {
    if (p != nullptr)
        *p = T{};
}

} // namespace kdm

namespace kdm {

// Exports whose objects are not built yet: the handle is looked up (so an
// invalid one fails with code 4) and the operation answers "Command not
// implemented.". clear runs first, for out-parameters cleared before use.
template <class Clear>
KdmBool32 PendingHandleExport(CDBIHandleList& registry, KdmHandle handle, Clear&& clear) {
    return RunExport([&] {
        clear();
        registry.Lookup(handle);
        throw ECmdNotImplemented();
    });
}
inline KdmBool32 PendingHandleExport(CDBIHandleList& registry, KdmHandle handle) {
    return PendingHandleExport(registry, handle, [] {});
}
inline KdmBool32 PendingCreateExport() {
    return RunExport([] { throw ECmdNotImplemented(); });
}

} // namespace kdm
