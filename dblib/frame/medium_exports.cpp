#include "frame/object_lookup.h"

namespace kdm::medium {

void Connect(TCustomMedium& m, int32_t* result, KdmProgressCallback progress, KdmUserData userData,
             int32_t a, int32_t b, int32_t* info) {
    RequireArg(result, "Connect", "result");
    *result = m.Connect(progress, userData, a, b, info);
}

void Connected(TCustomMedium& m, KdmBool* connected) {
    RequireArg(connected, "Connected", "connected");
    *connected = m.Connected() ? 1 : 0;
}

void SetConnectParams(TCustomMedium& m, const char* address, const char* user, const char* password,
                      const char* user2, const char* password2) {
    TEnterCriticalSection guard(m.Lock());
    m.SetConnectParams(address, user, password, user2, password2);
}

void GetAliasname(TCustomMedium& m, const char** name) {
    RequireArg(name, "GetAliasname", "name");
    *name = m.GetAliasName();
}

void GetAliasGuid(TCustomMedium& m, KdmGuid* guid) {
    RequireArg(guid, "GetAliasGuid", "guid");
    *guid = m.AliasGuid();
}

void GetUsername(TCustomMedium& m, const char** user, const char** user2) {
    RequireArg(user, "GetUsername", "user");
    RequireArg(user2, "GetUsername", "user2");
    *user = m.GetUserName();
    *user2 = m.GetUserName2();
}

void GetPassword(TCustomMedium& m, const char** password, const char** password2) {
    RequireArg(password, "GetPassword", "password");
    RequireArg(password2, "GetPassword", "password2");
    *password = m.GetPassword();
    *password2 = m.GetPassword2();
}

void GetAddress(TCustomMedium& m, const char** address) {
    RequireArg(address, "GetAddress", "address");
    *address = m.GetAddress();
}

} // namespace kdm::medium
