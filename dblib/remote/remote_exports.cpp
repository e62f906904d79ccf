// Creating remote objects. The remote database and the setup client come
// with the command channel.
#include "frame/export_frame.h"

using namespace kdm;

extern "C" {

KDMDBI_FUNC DBI_CreateRemoteDatabase(KdmHandle*, const char*, const char*, const char*, const char*,
                                     const char*, const char*, const KdmGuid*) {
    return PendingCreateExport();
}

KDMDBI_FUNC DBI_CreateSetupClient(KdmHandle*, const char*, const char*, const char*, const char*,
                                  const char*, const char*, const KdmGuid*) {
    return PendingCreateExport();
}

} // extern "C"
