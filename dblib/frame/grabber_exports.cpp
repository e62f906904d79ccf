// Picture grabber and setup client families: handle checks now, the
// objects with the remote database.
#include "frame/export_frame.h"

using namespace kdm;

namespace {
CDBIHandleList& Pg() {
    return PictureGrabberHandles();
}
CDBIHandleList& Sc() {
    return SetupClientHandles();
}
} // namespace

extern "C" {

KDMDBI_FUNC PictureGrabber_Destroy(KdmHandle grabber) {
    return RunExport([&] { Pg().Destroy(grabber); });
}
KDMDBI_FUNC PictureGrabber_GetDatabase(KdmHandle grabber, KdmHandle*) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_FieldCount(KdmHandle grabber, int32_t*) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_GetField(KdmHandle grabber, int32_t, KdmField*) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_FindField(KdmHandle grabber, const char*, KdmField*) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_FieldByName(KdmHandle grabber, const char*, KdmField*) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_Open(KdmHandle grabber) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_Close(KdmHandle grabber) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_Abort(KdmHandle grabber) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_Grab(KdmHandle grabber, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                uint32_t) {
    return PendingHandleExport(Pg(), grabber);
}

KDMDBI_FUNC SetupClient_Destroy(KdmHandle client) {
    return RunExport([&] { Sc().Destroy(client); });
}
KDMDBI_FUNC SetupClient_RegisterDisconnectMonitor(KdmHandle client, KdmDisconnectMonitor,
                                                  KdmUserData) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_UnregisterDisconnectMonitor(KdmHandle client, KdmDisconnectMonitor,
                                                    KdmUserData) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_SetConnectParams(KdmHandle client, const char*, const char*, const char*,
                                         const char*, const char*) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_Connect(KdmHandle client, int32_t*, KdmProgressCallback, KdmUserData,
                                int32_t, int32_t, int32_t*) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_Connected(KdmHandle client, KdmBool* connected) {
    return PendingHandleExport(Sc(), client, [&] { ClearOut(connected); });
}
KDMDBI_FUNC SetupClient_Disconnect(KdmHandle client) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_SetCBNotification(KdmHandle client, KdmNotificationCallback, KdmUserData) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_GetAliasname(KdmHandle client, const char**) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_GetAliasGuid(KdmHandle client, KdmGuid*) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_GetUsername(KdmHandle client, const char**, const char**) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_GetPassword(KdmHandle client, const char**, const char**) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_GetAddress(KdmHandle client, const char**) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_ReadSetup(KdmHandle client, int) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_WriteSetup(KdmHandle client, int) {
    return PendingHandleExport(Sc(), client);
}

} // extern "C"
