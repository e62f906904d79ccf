// Server list family and the socket layer check. A server list of handle 0
// is an empty list.
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame/export_frame.h"

using namespace kdm;

namespace {

CDBIHandleList& Sl() {
    return ServerListHandles();
}

bool CanOpen(int type) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

} // namespace

extern "C" {

// The BSD socket layer stands in for version 2 of the Windows one.
KDMDBI_FUNC DBI_CheckSocketVersion(KdmBool* ok, int32_t* wantedVersion, int32_t* foundVersion,
                                   KdmBool* protocolsMissing) {
    return RunExport([&] {
        RequireArg(ok, "DBI_CheckSocketVersion", "ok");
        bool present = CanOpen(SOCK_STREAM) && CanOpen(SOCK_DGRAM);
        if (wantedVersion != nullptr)
            *wantedVersion = 2;
        if (foundVersion != nullptr)
            *foundVersion = 2;
        if (protocolsMissing != nullptr)
            *protocolsMissing = present ? 0 : 1;
        *ok = present ? 1 : 0;
    });
}

KDMDBI_FUNC DBI_CreateKdmServerList(const char*, KdmHandle*) {
    return PendingCreateExport();
}

KDMDBI_FUNC KdmServerList_Destroy(KdmHandle list) {
    return RunExport([&] { Sl().Destroy(list); });
}

KDMDBI_FUNC KdmServerList_Count(KdmHandle list, int32_t* count) {
    return RunExport([&] {
        RequireArg(count, "KdmServerList_Count", "count");
        if (list == 0) {
            *count = 0;
            return;
        }
        Sl().Lookup(list);
        throw ECmdNotImplemented();
    });
}

KDMDBI_FUNC KdmServerList_GetEntry(KdmHandle list, int32_t, char* buffer, int32_t size) {
    return RunExport([&] {
        if (size > 0) {
            RequireArg(buffer, "KdmServerList_GetEntry", "buffer");
            buffer[0] = '\0';
        }
        if (list == 0)
            return;
        Sl().Lookup(list);
        throw ECmdNotImplemented();
    });
}

} // extern "C"
