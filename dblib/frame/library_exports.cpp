// Library-level exports: version, last error, heap, MD5, SQL literals,
// enumeration.
#include <cstdio>
#include <cstring>

#include "frame/datetime.h"
#include "frame/export_frame.h"
#include "frame/md5.h"

using namespace kdm;

namespace {

// Library load: switches, fault handler. At unload the registries forget
// their entries; objects still listed are not destroyed (their code may
// already be gone).
__attribute__((constructor)) void OnLoad() {
    LibraryInit();
}
__attribute__((destructor)) void OnUnload() {
    DatabaseHandles().Forget();
    DataSetHandles().Forget();
    SetupClientHandles().Forget();
    PictureGrabberHandles().Forget();
    BackupWriterHandles().Forget();
    ServerListHandles().Forget();
}

void PrintCut(char* dest, int32_t destSize, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void PrintCut(char* dest, int32_t destSize, const char* function, const char* format, ...) {
    if (destSize <= 0)
        return;
    RequireArg(dest, function, "dest");
    va_list args;
    va_start(args, format);
    std::vsnprintf(dest, static_cast<size_t>(destSize), format, args);
    va_end(args);
}

KdmBool32 Enumerate(CDBIHandleList& registry, KdmEnumCallback callback, KdmUserData userData,
                    KdmHandle* found, const char* function) {
    return RunExport([&] {
        RequireArg(found, function, "found");
        *found = 0;
        if (callback == nullptr)
            return;
        *found =
            registry.Enumerate([&](uint32_t handle) { return callback(userData, handle) != 0; });
    });
}

} // namespace

extern "C" {

KDMDBI_EXPORT uint32_t KDM_API DBI_InterfaceVersion(void) {
    return KDMDBI_INTERFACE_VERSION;
}

KDMDBI_FUNC DBI_GetLastError(int32_t* code, int32_t* sub1, int32_t* sub2, const char** message) {
    const TLastError& e = ThreadLastError();
    if (!e.flag)
        return 0;
    if (code != nullptr)
        *code = e.code;
    if (sub1 != nullptr)
        *sub1 = e.sub1;
    if (sub2 != nullptr)
        *sub2 = e.sub2;
    if (message != nullptr)
        *message = e.message;
    return 1;
}

KDMDBI_FUNC DBI_CheckHeap(int32_t fill, KdmBool* ok) {
    return RunBareExport([&] {
        RequireArg(ok, "DBI_CheckHeap", "ok");
        *ok = HeapIsConsistent(fill) ? 1 : 0;
    });
}

KDMDBI_FUNC DBI_GetHeapStatistics(KdmHeapStatistics* stats, KdmBool* ok) {
    return RunBareExport([&] {
        RequireArg(stats, "DBI_GetHeapStatistics", "stats");
        RequireArg(ok, "DBI_GetHeapStatistics", "ok");
        *ok = HeapStatistics(stats) ? 1 : 0;
    });
}

KDMDBI_FUNC DBI_SetHeapDebugOptions(KdmBool checkBefore, KdmBool checkAfter) {
    LibraryInit();
    SetHeapChecks(checkBefore != 0, checkAfter != 0);
    return 1;
}

KDMDBI_FUNC DBI_TestFunction(void) {
    return RunExport([] {});
}

KDMDBI_FUNC DBI_EncodeString(char* dest, const char* src, int32_t destSize) {
    return RunExport([&] {
        if (destSize <= 32)
            throw EException("DBI_EncodeString: Destination buffer too small.");
        RequireArg(dest, "DBI_EncodeString", "dest");
        RequireArg(src, "DBI_EncodeString", "src");
        CMD5::HexDigest(src, std::strlen(src), dest);
    });
}

KDMDBI_FUNC DBI_SQLDateStr(char* dest, int32_t destSize, uint32_t year, uint32_t month,
                           uint32_t day) {
    return RunExport(
        [&] { PrintCut(dest, destSize, "DBI_SQLDateStr", "%04u/%02u/%02u", year, month, day); });
}

KDMDBI_FUNC DBI_SQLTimeStr(char* dest, int32_t destSize, uint32_t hour, uint32_t minute,
                           uint32_t second, uint32_t millisecond) {
    return RunExport([&] {
        PrintCut(dest, destSize, "DBI_SQLTimeStr", "%02u:%02u:%02u,%03u", hour, minute, second,
                 millisecond);
    });
}

KDMDBI_FUNC DBI_SQLDateTimeStr(char* dest, int32_t destSize, uint32_t year, uint32_t month,
                               uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                               uint32_t millisecond) {
    return RunExport([&] {
        if (destSize <= 0)
            return;
        RequireArg(dest, "DBI_SQLDateTimeStr", "dest");
        FormatDateTimeText(dest, destSize, year, month, day, hour, minute, second, millisecond);
    });
}

KDMDBI_FUNC DBI_EnumDatabases(KdmEnumCallback callback, KdmUserData userData, KdmHandle* found) {
    return Enumerate(DatabaseHandles(), callback, userData, found, "DBI_EnumDatabases");
}

KDMDBI_FUNC DBI_EnumSetupClients(KdmEnumCallback callback, KdmUserData userData, KdmHandle* found) {
    return Enumerate(SetupClientHandles(), callback, userData, found, "DBI_EnumSetupClients");
}

} // extern "C"
