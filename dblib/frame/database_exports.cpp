// Database family. The database kinds arrive with the object model; until
// then every operation checks its handle and answers "Command not
// implemented.".
#include "frame/export_frame.h"

using namespace kdm;

namespace {
CDBIHandleList& Db() {
    return DatabaseHandles();
}
} // namespace

extern "C" {

KDMDBI_FUNC Database_Destroy(KdmHandle database) {
    return RunExport([&] { Db().Destroy(database); });
}
KDMDBI_FUNC Database_SetOptions(KdmHandle database, int32_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_LimitBandwidth(KdmHandle database, int32_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_AggregateFunctionCapabilities(KdmHandle database, int32_t, int32_t* caps) {
    return PendingHandleExport(Db(), database, [&] { ClearOut(caps); });
}
KDMDBI_FUNC Database_RegisterDisconnectMonitor(KdmHandle database, KdmDisconnectMonitor,
                                               KdmUserData) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_UnregisterDisconnectMonitor(KdmHandle database, KdmDisconnectMonitor,
                                                 KdmUserData) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_SetConnectParams(KdmHandle database, const char*, const char*, const char*,
                                      const char*, const char*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_Connect(KdmHandle database, int32_t*, KdmProgressCallback, KdmUserData,
                             int32_t, int32_t, int32_t*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_Connected(KdmHandle database, KdmBool* connected) {
    return PendingHandleExport(Db(), database, [&] { ClearOut(connected); });
}
KDMDBI_FUNC Database_Disconnect(KdmHandle database) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetNegotiationState(KdmHandle database, KdmBool*, int32_t*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_CreateDataSet(KdmHandle database, KdmHandle* dataset) {
    return PendingHandleExport(Db(), database, [&] { ClearOut(dataset); });
}
KDMDBI_FUNC Database_SetCBNotification(KdmHandle database, KdmNotificationCallback, KdmUserData) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetAliasname(KdmHandle database, const char**) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetAliasGuid(KdmHandle database, KdmGuid*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetUsername(KdmHandle database, const char**, const char**) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetPassword(KdmHandle database, const char**, const char**) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetAddress(KdmHandle database, const char**) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetDatabaseInfo(KdmHandle database, TKdmDatabaseInfoStruct*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_RecorderSetXSwitch(KdmHandle database, int64_t, int64_t, KdmBool) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_RecorderSetRelay(KdmHandle database, uint32_t, int64_t, int64_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_RecorderStartCamCycle(KdmHandle database, int64_t, KdmBool, int64_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_RecorderADSetupMode(KdmHandle database, int64_t, uint32_t, uint32_t, uint32_t,
                                         uint32_t, uint32_t, int32_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_RecorderAvailable(KdmHandle database, int64_t, KdmBool*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_SendTelemetryCmd(KdmHandle database, int64_t, const void*, int32_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_ReleaseLockEvent(KdmHandle database, int64_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_PingPong(KdmHandle database, const void*, int32_t, void*, int32_t, int32_t*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_EnableDummyPackets(KdmHandle database, int32_t, int32_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetDateTime(KdmHandle database, KdmNativeDateTime*, KdmNativeDateTime*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetDateTimeInfo(KdmHandle database, TKdmGetDateTimeInfo*, KdmBool) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetRingInfo(KdmHandle database, TKdmRingbufferInfoStruct*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_GetServerInfo(KdmHandle database, TKdmServerInfoStruct*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_StartKdmEvent(KdmHandle database, const TCmdStartKdmEvent*, int32_t*,
                                   TNFServer_EventStartStop*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_StopKdmEvent(KdmHandle database, const TCmdStopKdmEvent*, int32_t*,
                                  TNFServer_EventStartStop*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_PeekKdmEvent(KdmHandle database, const TCmdPeekKdmEvent*, int32_t*,
                                  TNFServer_EventStartStop*) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_EnableNotifications(KdmHandle database, int32_t) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_SetEventNotificationList(KdmHandle database, const TKdmEventNotificationDesc*,
                                              KdmBool) {
    return PendingHandleExport(Db(), database);
}
KDMDBI_FUNC Database_CreatePictureGrabber(KdmHandle database, KdmHandle* grabber) {
    return PendingHandleExport(Db(), database, [&] { ClearOut(grabber); });
}

} // extern "C"
