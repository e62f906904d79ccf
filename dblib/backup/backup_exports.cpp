// Backup writer family: handle checks now, the writers with the medium
// format.
#include "frame/export_frame.h"

using namespace kdm;

namespace {
CDBIHandleList& Bw() {
    return BackupWriterHandles();
}
} // namespace

extern "C" {

KDMDBI_FUNC DBI_CanUseKdmTapeWriter(KdmBool*) {
    return PendingCreateExport();
}
KDMDBI_FUNC DBI_CreateKdmFileWriter(KdmHandle*, const char*) {
    return PendingCreateExport();
}
KDMDBI_FUNC DBI_CreateKdmTapeWriter(KdmHandle*, int32_t) {
    return PendingCreateExport();
}

KDMDBI_FUNC BackupWriter_Destroy(KdmHandle writer) {
    return RunExport([&] { Bw().Destroy(writer); });
}
KDMDBI_FUNC BackupWriter_LimitFileSize(KdmHandle writer, uint32_t, uint32_t) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_SetFileName(KdmHandle writer, const char*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_InitializeBackup(KdmHandle writer, KdmBackupCallback, KdmUserData, int32_t,
                                          int32_t*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_FinalizeBackup(KdmHandle writer, int32_t) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_NearEndOfMedium(KdmHandle writer, KdmBool*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_PrepareStoreSingle(KdmHandle writer, KdmHandle database) {
    // Two lookups, each registry's lock taken and released in turn.
    return PendingHandleExport(Bw(), writer, [&] {
        Bw().Lookup(writer);
        DatabaseHandles().Lookup(database);
    });
}
KDMDBI_FUNC BackupWriter_StoreSinglePicture(KdmHandle writer, int32_t, int32_t*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_UnprepareStoreSingle(KdmHandle writer) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_StorePictureDataSet(KdmHandle writer, KdmHandle dataset, int32_t, int32_t,
                                             int32_t*) {
    return PendingHandleExport(Bw(), writer, [&] {
        Bw().Lookup(writer);
        DataSetHandles().Lookup(dataset);
    });
}
KDMDBI_FUNC BackupWriter_FindMediaDBInfo(KdmHandle writer, const KdmGuid*, KdmBool*, int64_t*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_GetMediaDBInfo(KdmHandle writer, int32_t, KdmBool*, KdmGuid*, int64_t*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_CheckMediumRemoved(KdmHandle writer, KdmBool*) {
    return PendingHandleExport(Bw(), writer);
}
KDMDBI_FUNC BackupWriter_AbortBackup(KdmHandle writer) {
    return PendingHandleExport(Bw(), writer);
}

} // extern "C"
