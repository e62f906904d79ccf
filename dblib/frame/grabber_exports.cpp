// Picture grabber and setup client families. The grabber's own operations
// and the setup transfer come with the remote database; the connection
// operations a setup client shares with databases work now.
#include "frame/object_lookup.h"

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
KDMDBI_FUNC PictureGrabber_GetDatabase(KdmHandle grabber, KdmHandle* database) {
    return OnPictureGrabber(grabber, [&](TKdmPictureGrabber& g) {
        RequireArg(database, "PictureGrabber_GetDatabase", "database");
        *database = g.Database()->Handle();
    });
}
KDMDBI_FUNC PictureGrabber_FieldCount(KdmHandle grabber, int32_t* count) {
    return OnPictureGrabber(grabber, [&](TKdmPictureGrabber& g) {
        RequireArg(count, "PictureGrabber_FieldCount", "count");
        *count = g.FieldCount();
    });
}
KDMDBI_FUNC PictureGrabber_GetField(KdmHandle grabber, int32_t index, KdmField* field) {
    return OnPictureGrabber(grabber, [&](TKdmPictureGrabber& g) {
        RequireArg(field, "PictureGrabber_GetField", "field");
        *field = g.GetField(index);
    });
}
KDMDBI_FUNC PictureGrabber_FindField(KdmHandle grabber, const char* name, KdmField* field) {
    return OnPictureGrabber(grabber, [&](TKdmPictureGrabber& g) {
        RequireArg(name, "PictureGrabber_FindField", "name");
        RequireArg(field, "PictureGrabber_FindField", "field");
        *field = g.FindField(name);
    });
}
KDMDBI_FUNC PictureGrabber_FieldByName(KdmHandle grabber, const char* name, KdmField* field) {
    return OnPictureGrabber(grabber, [&](TKdmPictureGrabber& g) {
        RequireArg(name, "PictureGrabber_FieldByName", "name");
        RequireArg(field, "PictureGrabber_FieldByName", "field");
        *field = g.FieldByName(name);
    });
}
KDMDBI_FUNC PictureGrabber_Open(KdmHandle grabber) {
    return PendingHandleExport(Pg(), grabber);
}
KDMDBI_FUNC PictureGrabber_Close(KdmHandle grabber) {
    return OnPictureGrabber(grabber, [&](TKdmPictureGrabber& g) { g.Close(); });
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
KDMDBI_FUNC SetupClient_RegisterDisconnectMonitor(KdmHandle client, KdmDisconnectMonitor monitor,
                                                  KdmUserData userData) {
    return OnSetupClient(client, [&](TCustomMedium& m) {
        RequireArg(reinterpret_cast<const void*>(monitor), "SetupClient_RegisterDisconnectMonitor",
                   "monitor");
        m.RegisterDisconnectMonitor(monitor, userData);
    });
}
KDMDBI_FUNC SetupClient_UnregisterDisconnectMonitor(KdmHandle client, KdmDisconnectMonitor monitor,
                                                    KdmUserData userData) {
    return OnSetupClient(
        client, [&](TCustomMedium& m) { m.UnregisterDisconnectMonitor(monitor, userData); });
}
KDMDBI_FUNC SetupClient_SetConnectParams(KdmHandle client, const char* address, const char* user,
                                         const char* password, const char* user2,
                                         const char* password2) {
    return OnSetupClient(client, [&](TCustomMedium& m) {
        medium::SetConnectParams(m, address, user, password, user2, password2);
    });
}
KDMDBI_FUNC SetupClient_Connect(KdmHandle client, int32_t* result, KdmProgressCallback progress,
                                KdmUserData progressUserData, int32_t a, int32_t b, int32_t* info) {
    return OnSetupClient(client, [&](TCustomMedium& m) {
        medium::Connect(m, result, progress, progressUserData, a, b, info);
    });
}
KDMDBI_FUNC SetupClient_Connected(KdmHandle client, KdmBool* connected) {
    ClearOut(connected);
    return OnSetupClient(client, [&](TCustomMedium& m) { medium::Connected(m, connected); });
}
KDMDBI_FUNC SetupClient_Disconnect(KdmHandle client) {
    return OnSetupClient(client, [&](TCustomMedium& m) { m.Disconnect(); });
}
KDMDBI_FUNC SetupClient_SetCBNotification(KdmHandle client, KdmNotificationCallback callback,
                                          KdmUserData userData) {
    return OnSetupClient(client,
                         [&](TCustomMedium& m) { m.SetCBNotification(callback, userData); });
}
KDMDBI_FUNC SetupClient_GetAliasname(KdmHandle client, const char** name) {
    return OnSetupClient(client, [&](TCustomMedium& m) { medium::GetAliasname(m, name); });
}
KDMDBI_FUNC SetupClient_GetAliasGuid(KdmHandle client, KdmGuid* guid) {
    return OnSetupClient(client, [&](TCustomMedium& m) { medium::GetAliasGuid(m, guid); });
}
KDMDBI_FUNC SetupClient_GetUsername(KdmHandle client, const char** user, const char** user2) {
    return OnSetupClient(client, [&](TCustomMedium& m) { medium::GetUsername(m, user, user2); });
}
KDMDBI_FUNC SetupClient_GetPassword(KdmHandle client, const char** password,
                                    const char** password2) {
    return OnSetupClient(client,
                         [&](TCustomMedium& m) { medium::GetPassword(m, password, password2); });
}
KDMDBI_FUNC SetupClient_GetAddress(KdmHandle client, const char** address) {
    return OnSetupClient(client, [&](TCustomMedium& m) { medium::GetAddress(m, address); });
}
KDMDBI_FUNC SetupClient_ReadSetup(KdmHandle client, int) {
    return PendingHandleExport(Sc(), client);
}
KDMDBI_FUNC SetupClient_WriteSetup(KdmHandle client, int) {
    return PendingHandleExport(Sc(), client);
}

} // extern "C"
