// Database family: each export finds the database and calls one operation.
#include "frame/object_lookup.h"

using namespace kdm;

namespace {
using Db = TKdmDatabase;
} // namespace

extern "C" {

KDMDBI_FUNC Database_Destroy(KdmHandle database) {
    return RunExport([&] { DatabaseHandles().Destroy(database); });
}
KDMDBI_FUNC Database_SetOptions(KdmHandle database, int32_t options) {
    return OnDatabase(database, [&](Db& db) { db.SetOptions(options); });
}
KDMDBI_FUNC Database_LimitBandwidth(KdmHandle database, int32_t value) {
    return OnDatabase(database, [&](Db& db) { db.LimitBandwidth(value); });
}
KDMDBI_FUNC Database_AggregateFunctionCapabilities(KdmHandle database, int32_t function,
                                                   int32_t* caps) {
    ClearOut(caps);
    return OnDatabase(database, [&](Db& db) {
        RequireArg(caps, "Database_AggregateFunctionCapabilities", "caps");
        *caps = db.AggregateFunctionCapabilities(function);
    });
}
KDMDBI_FUNC Database_RegisterDisconnectMonitor(KdmHandle database, KdmDisconnectMonitor monitor,
                                               KdmUserData userData) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(reinterpret_cast<const void*>(monitor), "Database_RegisterDisconnectMonitor",
                   "monitor");
        db.RegisterDisconnectMonitor(monitor, userData);
    });
}
KDMDBI_FUNC Database_UnregisterDisconnectMonitor(KdmHandle database, KdmDisconnectMonitor monitor,
                                                 KdmUserData userData) {
    return OnDatabase(database, [&](Db& db) { db.UnregisterDisconnectMonitor(monitor, userData); });
}
KDMDBI_FUNC Database_SetConnectParams(KdmHandle database, const char* address, const char* user,
                                      const char* password, const char* user2,
                                      const char* password2) {
    return OnDatabase(database, [&](Db& db) {
        medium::SetConnectParams(db, address, user, password, user2, password2);
    });
}
KDMDBI_FUNC Database_Connect(KdmHandle database, int32_t* result, KdmProgressCallback progress,
                             KdmUserData progressUserData, int32_t a, int32_t b, int32_t* info) {
    return OnDatabase(database, [&](Db& db) {
        medium::Connect(db, result, progress, progressUserData, a, b, info);
    });
}
KDMDBI_FUNC Database_Connected(KdmHandle database, KdmBool* connected) {
    ClearOut(connected);
    return OnDatabase(database, [&](Db& db) { medium::Connected(db, connected); });
}
KDMDBI_FUNC Database_Disconnect(KdmHandle database) {
    return OnDatabase(database, [&](Db& db) { db.Disconnect(); });
}
KDMDBI_FUNC Database_GetNegotiationState(KdmHandle database, KdmBool* negotiated, int32_t* value) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(negotiated, "Database_GetNegotiationState", "negotiated");
        RequireArg(value, "Database_GetNegotiationState", "value");
        bool flag = false;
        db.GetNegotiationState(&flag, value);
        *negotiated = flag ? 1 : 0;
    });
}
KDMDBI_FUNC Database_CreateDataSet(KdmHandle database, KdmHandle* dataset) {
    ClearOut(dataset);
    return OnDatabase(database, [&](Db& db) {
        RequireArg(dataset, "Database_CreateDataSet", "dataset");
        *dataset = db.CreateDataSet();
    });
}
KDMDBI_FUNC Database_SetCBNotification(KdmHandle database, KdmNotificationCallback callback,
                                       KdmUserData userData) {
    return OnDatabase(database, [&](Db& db) { db.SetCBNotification(callback, userData); });
}
KDMDBI_FUNC Database_GetAliasname(KdmHandle database, const char** name) {
    return OnDatabase(database, [&](Db& db) { medium::GetAliasname(db, name); });
}
KDMDBI_FUNC Database_GetAliasGuid(KdmHandle database, KdmGuid* guid) {
    return OnDatabase(database, [&](Db& db) { medium::GetAliasGuid(db, guid); });
}
KDMDBI_FUNC Database_GetUsername(KdmHandle database, const char** user, const char** user2) {
    return OnDatabase(database, [&](Db& db) { medium::GetUsername(db, user, user2); });
}
KDMDBI_FUNC Database_GetPassword(KdmHandle database, const char** password,
                                 const char** password2) {
    return OnDatabase(database, [&](Db& db) { medium::GetPassword(db, password, password2); });
}
KDMDBI_FUNC Database_GetAddress(KdmHandle database, const char** address) {
    return OnDatabase(database, [&](Db& db) { medium::GetAddress(db, address); });
}
KDMDBI_FUNC Database_GetDatabaseInfo(KdmHandle database, TKdmDatabaseInfoStruct* info) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(info, "Database_GetDatabaseInfo", "info");
        db.GetDatabaseInfo(info);
    });
}
KDMDBI_FUNC Database_RecorderSetXSwitch(KdmHandle database, int64_t value1, int64_t value2,
                                        KdmBool value3) {
    return OnDatabase(database,
                      [&](Db& db) { db.RecorderSetXSwitch(value1, value2, value3 != 0); });
}
KDMDBI_FUNC Database_RecorderSetRelay(KdmHandle database, uint32_t value1, int64_t value2,
                                      int64_t value3) {
    return OnDatabase(database, [&](Db& db) { db.RecorderSetRelay(value1, value2, value3); });
}
KDMDBI_FUNC Database_RecorderStartCamCycle(KdmHandle database, int64_t value1, KdmBool value2,
                                           int64_t value3) {
    return OnDatabase(database,
                      [&](Db& db) { db.RecorderStartCamCycle(value1, value2 != 0, value3); });
}
KDMDBI_FUNC Database_RecorderADSetupMode(KdmHandle database, int64_t value1, uint32_t value2,
                                         uint32_t byte1, uint32_t byte2, uint32_t byte3,
                                         uint32_t flag, int32_t value3) {
    return OnDatabase(database, [&](Db& db) {
        db.RecorderADSetupMode(value1, value2, byte1, byte2, byte3, flag, value3);
    });
}
KDMDBI_FUNC Database_RecorderAvailable(KdmHandle database, int64_t value, KdmBool* available) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(available, "Database_RecorderAvailable", "available");
        *available = db.RecorderAvailable(value) ? 1 : 0;
    });
}
KDMDBI_FUNC Database_SendTelemetryCmd(KdmHandle database, int64_t value, const void* data,
                                      int32_t length) {
    return OnDatabase(database, [&](Db& db) { db.SendTelemetryCmd(value, data, length); });
}
KDMDBI_FUNC Database_ReleaseLockEvent(KdmHandle database, int64_t value) {
    return OnDatabase(database, [&](Db& db) { db.ReleaseLockEvent(value); });
}
KDMDBI_FUNC Database_PingPong(KdmHandle database, const void* data, int32_t length, void* answer,
                              int32_t capacity, int32_t* copied) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(copied, "Database_PingPong", "copied");
        *copied = db.PingPong(data, length, answer, capacity);
    });
}
KDMDBI_FUNC Database_EnableDummyPackets(KdmHandle database, int32_t intervalSeconds,
                                        int32_t count) {
    return OnDatabase(database, [&](Db& db) { db.EnableDummyPackets(intervalSeconds, count); });
}
KDMDBI_FUNC Database_GetDateTime(KdmHandle database, KdmNativeDateTime* first,
                                 KdmNativeDateTime* second) {
    return OnDatabase(database, [&](Db& db) { db.GetDateTime(first, second); });
}
KDMDBI_FUNC Database_GetDateTimeInfo(KdmHandle database, TKdmGetDateTimeInfo* info, KdmBool flag) {
    return OnDatabase(database, [&](Db& db) { db.GetDateTimeInfo(info, flag != 0); });
}
KDMDBI_FUNC Database_GetRingInfo(KdmHandle database, TKdmRingbufferInfoStruct* info) {
    return OnDatabase(database, [&](Db& db) { db.GetRingInfo(info); });
}
KDMDBI_FUNC Database_GetServerInfo(KdmHandle database, TKdmServerInfoStruct* info) {
    return OnDatabase(database, [&](Db& db) { db.GetServerInfo(info); });
}
KDMDBI_FUNC Database_StartKdmEvent(KdmHandle database, const TCmdStartKdmEvent* request,
                                   int32_t* result, TNFServer_EventStartStop* answer) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(result, "Database_StartKdmEvent", "result");
        *result = db.StartKdmEvent(request, answer);
    });
}
KDMDBI_FUNC Database_StopKdmEvent(KdmHandle database, const TCmdStopKdmEvent* request,
                                  int32_t* result, TNFServer_EventStartStop* answer) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(result, "Database_StopKdmEvent", "result");
        *result = db.StopKdmEvent(request, answer);
    });
}
KDMDBI_FUNC Database_PeekKdmEvent(KdmHandle database, const TCmdPeekKdmEvent* request,
                                  int32_t* result, TNFServer_EventStartStop* answer) {
    return OnDatabase(database, [&](Db& db) {
        RequireArg(result, "Database_PeekKdmEvent", "result");
        *result = db.PeekKdmEvent(request, answer);
    });
}
KDMDBI_FUNC Database_EnableNotifications(KdmHandle database, int32_t mask) {
    return OnDatabase(database, [&](Db& db) { db.EnableNotifications(mask); });
}
KDMDBI_FUNC Database_SetEventNotificationList(KdmHandle database,
                                              const TKdmEventNotificationDesc* first,
                                              KdmBool flag) {
    return OnDatabase(database, [&](Db& db) { db.SetEventNotificationList(first, flag != 0); });
}
KDMDBI_FUNC Database_CreatePictureGrabber(KdmHandle database, KdmHandle* grabber) {
    ClearOut(grabber);
    return OnDatabase(database, [&](Db& db) {
        RequireArg(grabber, "Database_CreatePictureGrabber", "grabber");
        *grabber = db.CreatePictureGrabber();
    });
}

} // extern "C"
