#include "frame/export_frame.h"

#include <atomic>
#include <cstring>
#include <malloc.h>
#include <mutex>

#include "frame/processor_exception.h"
#include "frame/registry.h"
#include "platform/config_store.h"
#include "platform/diag.h"
#include "platform/faults.h"

namespace kdm {
namespace {

constexpr const char kKdmDbiKey[] = "SOFTWARE\\Halvorsken\\KDMII\\KdmDBI";

std::atomic<bool> g_checkBefore{false};
std::atomic<bool> g_checkAfter{false};

thread_local TLastError t_lastError{};

void CheckHeap(const char* message) {
    if (!HeapIsConsistent(0x5A))
        throw EHeapError(message);
}

} // namespace

TLastError& ThreadLastError() {
    return t_lastError;
}

void RecordError(int32_t code, int32_t sub1, int32_t sub2, const char* message) {
    TLastError& e = t_lastError;
    e.flag = true;
    e.code = code;
    e.sub1 = sub1;
    e.sub2 = sub2;
    size_t n = message != nullptr ? std::strlen(message) : 0;
    if (n > sizeof e.message - 1)
        n = sizeof e.message - 1;
    if (n > 0)
        std::memcpy(e.message, message, n);
    e.message[n] = '\0';
}

void LibraryInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_checkBefore.store(RegReadBool(kKdmDbiKey, "CheckHeapBeforeFunc", false));
        g_checkAfter.store(RegReadBool(kKdmDbiKey, "CheckHeapAfterFunc", false));
        diag::SetEnabled(RegReadInteger(kKdmDbiKey, "DebugOutput", 0) != 0);
        // A store that does not parse was read before the output was on.
        platform::ConfigStore::Default().ReportProblems();
        InstallProcessorFaultHandler();
    });
}

bool HeapCheckBefore() {
    return g_checkBefore.load(std::memory_order_relaxed);
}
bool HeapCheckAfter() {
    return g_checkAfter.load(std::memory_order_relaxed);
}
void SetHeapChecks(bool before, bool after) {
    g_checkBefore.store(before);
    g_checkAfter.store(after);
}

bool HeapIsConsistent(int32_t) {
    // glibc offers no walk of a live heap; its own checks abort on the
    // corruption they find, so a heap that got here counts as intact.
    return true;
}

bool HeapStatistics(KdmHeapStatistics* stats) {
    std::memset(stats, 0, sizeof *stats);
    struct mallinfo2 info = mallinfo2();
    auto clamp = [](size_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); };
    // The allocator counts free chunks but not used ones; the used count
    // is the number of blocks it maps separately.
    stats->usedBlocks = clamp(info.hblks);
    stats->usedBytes = clamp(info.uordblks + info.hblkhd);
    stats->freeBlocks = clamp(info.ordblks + info.smblks);
    stats->freeBytes = clamp(info.fordblks + info.fsmblks);
    return true;
}

void RequireArg(const void* p, const char* function, const char* argument) {
    if (p == nullptr)
        throw EException(Format("%s: Argument %s must not be a null pointer.", function, argument));
}

namespace frame_detail {

void BeginCall() {
    LibraryInit();
    platform::EnsureThreadFaultStack();
    if (HeapCheckBefore())
        CheckHeap("DBI-Heap corrupted before function call.");
}

void EndCall() {
    if (HeapCheckAfter())
        CheckHeap("DBI-Heap corrupted after function call.");
    t_lastError.flag = false;
}

void MapCurrentException() {
    try {
        throw;
    } catch (const EClassifiedException& e) {
        if (e.Classification() != kErrAborted)
            diag::Error("KDMDBI: %s (%d,%d,%d)\n", e.Message(), e.Classification(), e.Number1(),
                        e.Number2());
        RecordError(e.Classification(), e.Number1(), e.Number2(), e.Message());
    } catch (const CIPConnectionException& e) {
        diag::Error("KDMDBI: %s (%d,%d,%d)\n", e.Message(), kErrConnection, e.Number1(),
                    e.Number2());
        RecordError(kErrConnection, e.Number1(), e.Number2(), e.Message());
    } catch (const EException& e) {
        diag::Error("KDMDBI: %s (%d,%d,%d)\n", e.Message(), kErrGeneric, e.Number1(), e.Number2());
        RecordError(kErrGeneric, e.Number1(), e.Number2(), e.Message());
    } catch (const char* text) {
        const char* message = text != nullptr ? text : "";
        diag::Error("KDMDBI: %s (%d)\n", message, 0);
        RecordError(0, 0, 0, message);
    } catch (...) {
        diag::Error("KDMDBI: %s (%d)\n", "Unexpected internal error!", 0);
        RecordError(0, 0, 0, "Unexpected internal error!");
    }
}

} // namespace frame_detail
} // namespace kdm
