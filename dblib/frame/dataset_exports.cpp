// Dataset family: handle checks now, the dataset object with the object
// model.
#include "frame/export_frame.h"

using namespace kdm;

namespace {
CDBIHandleList& Ds() {
    return DataSetHandles();
}
} // namespace

extern "C" {

KDMDBI_FUNC DataSet_Destroy(KdmHandle dataset) {
    return RunExport([&] { Ds().Destroy(dataset); });
}
KDMDBI_FUNC DataSet_GetDatabase(KdmHandle dataset, KdmHandle*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FieldCount(KdmHandle dataset, int32_t*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_GetField(KdmHandle dataset, int32_t, KdmField*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FindField(KdmHandle dataset, const char*, KdmField*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FieldByName(KdmHandle dataset, const char*, KdmField*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_SetOptions(KdmHandle dataset, int32_t) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_GetOptions(KdmHandle dataset, int32_t*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_SetSQLStatement(KdmHandle dataset, const char*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_GetSQLStatement(KdmHandle dataset, char*, int32_t*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_Open(KdmHandle dataset) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_Close(KdmHandle dataset) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_Refresh(KdmHandle dataset, int32_t) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_Active(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FetchFirst(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FetchLast(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FetchNewest(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FetchPrev(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_FetchNext(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_SetStepWidth(KdmHandle dataset, int32_t) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_GetStepWidth(KdmHandle dataset, int32_t*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_LocateWhere(KdmHandle dataset, int32_t, const char*, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_GetBookmark(KdmHandle dataset, KdmBookmark*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_LocateBookmark(KdmHandle dataset, int32_t, const void*, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_IsEmpty(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_Bod(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_Eod(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_IsStatic(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_IsSequential(KdmHandle dataset, KdmBool*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_RecordCount(KdmHandle dataset, int64_t*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_RecNo(KdmHandle dataset, int64_t*) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_AbortOperation(KdmHandle dataset) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_LockDataSet(KdmHandle dataset) {
    return PendingHandleExport(Ds(), dataset);
}
KDMDBI_FUNC DataSet_UnlockDataSet(KdmHandle dataset) {
    return PendingHandleExport(Ds(), dataset);
}

} // extern "C"
