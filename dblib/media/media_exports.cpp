// Opening backup media as local databases; the readers come with the
// medium format.
#include "frame/export_frame.h"

using namespace kdm;

extern "C" {

KDMDBI_FUNC DBI_CreateFilebasedMedium(KdmHandle*, const char*, const KdmGuid*) {
    return PendingCreateExport();
}

KDMDBI_FUNC DBI_CreateTapebasedMedium(KdmHandle*, int32_t, const KdmGuid*) {
    return PendingCreateExport();
}

} // extern "C"
