// What every connectable object has: connection parameters, alias, connect
// and disconnect with progress reports, disconnect monitors, the
// server-notification callback and the negotiation state.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "frame/critical_section.h"
#include "frame/lists.h"
#include "frame/smart_class.h"
#include "kdmdbi.h"

namespace kdm {

class TCustomMedium : public TSmartClass {
public:
    struct TDisconnectMonitor {
        KdmDisconnectMonitor callback;
        KdmUserData userData;
    };
    // Ordered by user data, then callback, both as unsigned words.
    struct TDisconnectMonitorKey {
        uintptr_t userData;
        uintptr_t callback;
        bool operator<(const TDisconnectMonitorKey& o) const {
            return userData != o.userData ? userData < o.userData : callback < o.callback;
        }
    };
    struct TDisconnectMonitorKeyOf {
        using Key = TDisconnectMonitorKey;
        static Key Get(const TDisconnectMonitor& m) {
            return {static_cast<uintptr_t>(m.userData), reinterpret_cast<uintptr_t>(m.callback)};
        }
    };

    explicit TCustomMedium(const KdmGuid* aliasGuid);

    uint32_t Handle() const { return m_handle; }
    void SetHandle(uint32_t handle) { m_handle = handle; }
    TCriticalSection& Lock() { return m_lock; }

    int32_t Connect(KdmProgressCallback progress, KdmUserData userData, int32_t a, int32_t b,
                    int32_t* info);
    void Disconnect();
    bool Connected() { return IsConnected(); }
    void GetNegotiationState(bool* negotiated, int32_t* value);
    void SetCBNotification(KdmNotificationCallback callback, KdmUserData userData);
    void RegisterDisconnectMonitor(KdmDisconnectMonitor callback, KdmUserData userData);
    void UnregisterDisconnectMonitor(KdmDisconnectMonitor callback, KdmUserData userData);
    const KdmGuid& AliasGuid() const { return m_aliasGuid; }

    // Progress of a connect or a long operation; true asks it to go on.
    bool CallProgressCallback(int32_t position, int32_t total);
    bool CallProgressCallback64(int64_t position, int64_t total);
    // Hands a server notification to the client's callback, if any.
    void NotifyServer(int32_t code, const void* record);

    virtual void DoDisconnect() = 0;
    virtual int32_t DoConnect(int32_t a, int32_t b) = 0;
    virtual bool IsConnected() = 0;
    virtual const char* GetAliasName() = 0;
    virtual const char* GetAddress() { return ""; }
    virtual const char* GetUserName() { return ""; }
    virtual const char* GetUserName2() { return ""; }
    virtual const char* GetPassword() { return ""; }
    virtual const char* GetPassword2() { return ""; }
    virtual void SetConnectParams(const char* address, const char* user, const char* password,
                                  const char* user2, const char* password2);

protected:
    void Shutdown() override;
    // Kinds record the outcome of the interface negotiation during DoConnect.
    void SetNegotiated(int32_t value) {
        m_negotiated = true;
        m_negotiationValue = value;
    }

private:
    bool m_progressBusy = false;
    bool m_disconnecting = false;
    TCriticalSection m_lock;
    KdmUserData m_progressUserData = 0;
    KdmProgressCallback m_progress = nullptr;
    std::mutex m_notifyLock;
    KdmUserData m_notifyUserData = 0;
    KdmNotificationCallback m_notify = nullptr;
    bool m_negotiated = false;
    int32_t m_negotiationValue = 0;
    KdmGuid m_aliasGuid;
    CSortedList<TDisconnectMonitor, TDisconnectMonitorKeyOf> m_monitors;
    uint32_t m_handle = 0;
};

} // namespace kdm
