// Dataset family: each export finds the dataset and calls one operation.
#include "frame/object_lookup.h"

using namespace kdm;

namespace {

using Ds = TKdmDataSet;

template <class T> T* Out(T* p, const char* function) {
    RequireArg(p, function, "result");
    return p;
}

KdmBool32 Flag(KdmHandle dataset, KdmBool* result, const char* function, bool (Ds::*get)()) {
    return OnDataSet(dataset, [&](Ds& ds) { *Out(result, function) = (ds.*get)() ? 1 : 0; });
}

KdmBool32 ConstFlag(KdmHandle dataset, KdmBool* result, const char* function,
                    bool (Ds::*get)() const) {
    return OnDataSet(dataset, [&](Ds& ds) { *Out(result, function) = (ds.*get)() ? 1 : 0; });
}

} // namespace

extern "C" {

KDMDBI_FUNC DataSet_Destroy(KdmHandle dataset) {
    return RunExport([&] { DataSetHandles().Destroy(dataset); });
}
KDMDBI_FUNC DataSet_GetDatabase(KdmHandle dataset, KdmHandle* database) {
    return OnDataSet(
        dataset, [&](Ds& ds) { *Out(database, "DataSet_GetDatabase") = ds.Database()->Handle(); });
}
KDMDBI_FUNC DataSet_FieldCount(KdmHandle dataset, int32_t* count) {
    return OnDataSet(dataset, [&](Ds& ds) { *Out(count, "DataSet_FieldCount") = ds.FieldCount(); });
}
KDMDBI_FUNC DataSet_GetField(KdmHandle dataset, int32_t index, KdmField* field) {
    return OnDataSet(dataset,
                     [&](Ds& ds) { *Out(field, "DataSet_GetField") = ds.GetField(index); });
}
KDMDBI_FUNC DataSet_FindField(KdmHandle dataset, const char* name, KdmField* field) {
    return OnDataSet(dataset, [&](Ds& ds) {
        RequireArg(name, "DataSet_FindField", "name");
        *Out(field, "DataSet_FindField") = ds.FindField(name);
    });
}
KDMDBI_FUNC DataSet_FieldByName(KdmHandle dataset, const char* name, KdmField* field) {
    return OnDataSet(dataset, [&](Ds& ds) {
        RequireArg(name, "DataSet_FieldByName", "name");
        *Out(field, "DataSet_FieldByName") = ds.FieldByName(name);
    });
}
KDMDBI_FUNC DataSet_SetOptions(KdmHandle dataset, int32_t options) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.SetOptions(options); });
}
KDMDBI_FUNC DataSet_GetOptions(KdmHandle dataset, int32_t* options) {
    return OnDataSet(dataset,
                     [&](Ds& ds) { *Out(options, "DataSet_GetOptions") = ds.GetOptions(); });
}
KDMDBI_FUNC DataSet_SetSQLStatement(KdmHandle dataset, const char* sql) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.SetSQLStatement(sql); });
}
KDMDBI_FUNC DataSet_GetSQLStatement(KdmHandle dataset, char* buffer, int32_t* length) {
    return OnDataSet(dataset, [&](Ds& ds) {
        ds.GetSQLStatement(buffer, Out(length, "DataSet_GetSQLStatement"));
    });
}
KDMDBI_FUNC DataSet_Open(KdmHandle dataset) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.Open(); });
}
KDMDBI_FUNC DataSet_Close(KdmHandle dataset) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.Close(); });
}
KDMDBI_FUNC DataSet_Refresh(KdmHandle dataset, int32_t mode) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.Refresh(mode); });
}
KDMDBI_FUNC DataSet_Active(KdmHandle dataset, KdmBool* open) {
    return ConstFlag(dataset, open, "DataSet_Active", &Ds::Active);
}
KDMDBI_FUNC DataSet_FetchFirst(KdmHandle dataset, KdmBool* gotRow) {
    return Flag(dataset, gotRow, "DataSet_FetchFirst", &Ds::FetchFirst);
}
KDMDBI_FUNC DataSet_FetchLast(KdmHandle dataset, KdmBool* gotRow) {
    return Flag(dataset, gotRow, "DataSet_FetchLast", &Ds::FetchLast);
}
KDMDBI_FUNC DataSet_FetchNewest(KdmHandle dataset, KdmBool* gotRow) {
    return Flag(dataset, gotRow, "DataSet_FetchNewest", &Ds::FetchNewest);
}
KDMDBI_FUNC DataSet_FetchPrev(KdmHandle dataset, KdmBool* gotRow) {
    return Flag(dataset, gotRow, "DataSet_FetchPrev", &Ds::FetchPrev);
}
KDMDBI_FUNC DataSet_FetchNext(KdmHandle dataset, KdmBool* gotRow) {
    return Flag(dataset, gotRow, "DataSet_FetchNext", &Ds::FetchNext);
}
KDMDBI_FUNC DataSet_SetStepWidth(KdmHandle dataset, int32_t width) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.SetStepWidth(width); });
}
KDMDBI_FUNC DataSet_GetStepWidth(KdmHandle dataset, int32_t* width) {
    return OnDataSet(dataset,
                     [&](Ds& ds) { *Out(width, "DataSet_GetStepWidth") = ds.GetStepWidth(); });
}
KDMDBI_FUNC DataSet_LocateWhere(KdmHandle dataset, int32_t mode, const char* condition,
                                KdmBool* found) {
    return OnDataSet(dataset, [&](Ds& ds) {
        *Out(found, "DataSet_LocateWhere") = ds.LocateWhereChecked(mode, condition) ? 1 : 0;
    });
}
KDMDBI_FUNC DataSet_GetBookmark(KdmHandle dataset, KdmBookmark* bookmark) {
    return OnDataSet(dataset,
                     [&](Ds& ds) { ds.GetBookmarkChecked(Out(bookmark, "DataSet_GetBookmark")); });
}
KDMDBI_FUNC DataSet_LocateBookmark(KdmHandle dataset, int32_t kind, const void* data,
                                   KdmBool* found) {
    return OnDataSet(dataset, [&](Ds& ds) {
        RequireArg(data, "DataSet_LocateBookmark", "data");
        *Out(found, "DataSet_LocateBookmark") = ds.LocateBookmark(kind, data) ? 1 : 0;
    });
}
KDMDBI_FUNC DataSet_IsEmpty(KdmHandle dataset, KdmBool* result) {
    return Flag(dataset, result, "DataSet_IsEmpty", &Ds::IsEmpty);
}
KDMDBI_FUNC DataSet_Bod(KdmHandle dataset, KdmBool* result) {
    return ConstFlag(dataset, result, "DataSet_Bod", &Ds::Bod);
}
KDMDBI_FUNC DataSet_Eod(KdmHandle dataset, KdmBool* result) {
    return ConstFlag(dataset, result, "DataSet_Eod", &Ds::Eod);
}
KDMDBI_FUNC DataSet_IsStatic(KdmHandle dataset, KdmBool* result) {
    return Flag(dataset, result, "DataSet_IsStatic", &Ds::IsStatic);
}
KDMDBI_FUNC DataSet_IsSequential(KdmHandle dataset, KdmBool* result) {
    return Flag(dataset, result, "DataSet_IsSequential", &Ds::IsSequential);
}
KDMDBI_FUNC DataSet_RecordCount(KdmHandle dataset, int64_t* value) {
    return OnDataSet(dataset,
                     [&](Ds& ds) { *Out(value, "DataSet_RecordCount") = ds.RecordCount(); });
}
KDMDBI_FUNC DataSet_RecNo(KdmHandle dataset, int64_t* value) {
    return OnDataSet(dataset, [&](Ds& ds) { *Out(value, "DataSet_RecNo") = ds.RecNo(); });
}
KDMDBI_FUNC DataSet_AbortOperation(KdmHandle dataset) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.AbortOperation(); });
}
KDMDBI_FUNC DataSet_LockDataSet(KdmHandle dataset) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.LockDataSet(); });
}
KDMDBI_FUNC DataSet_UnlockDataSet(KdmHandle dataset) {
    return OnDataSet(dataset, [&](Ds& ds) { ds.UnlockDataSet(); });
}

} // extern "C"
