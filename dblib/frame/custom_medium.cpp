#include "frame/custom_medium.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "frame/processor_exception.h"
#include "platform/diag.h"

namespace kdm {

TCustomMedium::TCustomMedium(const KdmGuid* aliasGuid) {
    if (aliasGuid != nullptr)
        m_aliasGuid = *aliasGuid;
    else
        std::memset(&m_aliasGuid, 0, sizeof m_aliasGuid);
}

void TCustomMedium::SetConnectParams(const char*, const char*, const char*, const char*,
                                     const char*) {}

void TCustomMedium::Shutdown() {
    TEnterCriticalSection guard(m_lock);
    Disconnect();
}

int32_t TCustomMedium::Connect(KdmProgressCallback progress, KdmUserData userData, int32_t a,
                               int32_t b, int32_t* info) {
    TEnterCriticalSection guard(m_lock);
    m_negotiated = false;
    m_negotiationValue = 0;
    m_progress = progress;
    m_progressUserData = userData;
    int32_t result;
    try {
        result = DoConnect(a, b);
    } catch (...) {
        m_progress = nullptr;
        m_progressUserData = 0;
        throw;
    }
    m_progress = nullptr;
    m_progressUserData = 0;
    if (m_negotiated && info != nullptr)
        *info = m_negotiationValue;
    return result;
}

void TCustomMedium::Disconnect() {
    TEnterCriticalSection guard(m_lock);
    if (m_disconnecting || !IsConnected())
        return;
    m_disconnecting = true;
    try {
        DoDisconnect();
    } catch (...) {
    }
    m_negotiated = false;
    m_negotiationValue = 0;
    // A copy: a monitor may unregister itself (the lock is re-entrant).
    std::vector<TDisconnectMonitor> monitors(m_monitors.begin(), m_monitors.end());
    for (const TDisconnectMonitor& monitor : monitors) {
        try {
            monitor.callback(monitor.userData, m_handle);
        } catch (...) {
            diag::Error("Exception in DisconnectMonitor.");
        }
    }
    m_disconnecting = false;
}

void TCustomMedium::GetNegotiationState(bool* negotiated, int32_t* value) {
    TEnterCriticalSection guard(m_lock);
    *negotiated = m_negotiated;
    *value = m_negotiationValue;
}

void TCustomMedium::SetCBNotification(KdmNotificationCallback callback, KdmUserData userData) {
    TEnterCriticalSection guard(m_lock);
    std::lock_guard<std::mutex> notifyGuard(m_notifyLock);
    m_notify = callback;
    m_notifyUserData = userData;
}

void TCustomMedium::RegisterDisconnectMonitor(KdmDisconnectMonitor callback, KdmUserData userData) {
    TEnterCriticalSection guard(m_lock);
    TDisconnectMonitor monitor{callback, userData};
    int32_t position;
    if (!m_monitors.Find(TDisconnectMonitorKeyOf::Get(monitor), &position))
        m_monitors.Insert(position, monitor);
}

void TCustomMedium::UnregisterDisconnectMonitor(KdmDisconnectMonitor callback,
                                                KdmUserData userData) {
    TEnterCriticalSection guard(m_lock);
    int32_t position;
    if (m_monitors.Find(TDisconnectMonitorKeyOf::Get({callback, userData}), &position))
        m_monitors.Delete(position);
}

bool TCustomMedium::CallProgressCallback(int32_t position, int32_t total) {
    if (m_progress == nullptr || m_progressBusy)
        return true;
    if (position < 0)
        position = 0;
    if (total < 1)
        total = 1;
    if (position > total)
        position = total;
    m_progressBusy = true;
    int32_t result;
    try {
        result = m_progress(m_progressUserData, position, total);
    } catch (const EProcessorException&) {
        diag::Error("CallProgressCallback: Structured exception occurred.\n");
        result = 1;
    } catch (...) {
        diag::Error("CallProgressCallback: Exception occurred.\n");
        result = 1;
    }
    m_progressBusy = false;
    return result != 0;
}

bool TCustomMedium::CallProgressCallback64(int64_t position, int64_t total) {
    if (position < 0)
        position = 0;
    if (total < 1)
        total = 1;
    if (position > total)
        position = total;
    if (total > INT32_MAX) {
        position = static_cast<int64_t>(static_cast<double>(position) / static_cast<double>(total) *
                                        INT32_MAX);
        total = INT32_MAX;
    }
    return CallProgressCallback(static_cast<int32_t>(position), static_cast<int32_t>(total));
}

void TCustomMedium::NotifyServer(int32_t code, const void* record) {
    KdmNotificationCallback callback;
    KdmUserData userData;
    {
        // Not the object lock: a command holds it while the notifying thread
        // delivers its answer.
        std::lock_guard<std::mutex> guard(m_notifyLock);
        callback = m_notify;
        userData = m_notifyUserData;
    }
    if (callback != nullptr && !callback(userData, code, record))
        diag::Warning("ServerNotificationCallback should always return true.\n");
}

} // namespace kdm
