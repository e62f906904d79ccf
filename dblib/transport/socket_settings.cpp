#include "transport/socket_settings.h"

#include <mutex>

#include "frame/registry.h"
#include "platform/diag.h"

namespace kdm {

namespace {
std::once_flag g_loadOnce;
SocketSettings g_settings;

void Load() {
    SocketSettings s;
    const char* p = kSocketPerformanceKey;
    s.maxSendPacketSize = ReadOrCreateDefault(p, "MaxSendPacketSize", 16000);
    s.enableMaxSendPacketSize = ReadOrCreateDefault(p, "EnableMaxSendPacketSize", 0);
    s.tcpBufSend = ReadOrCreateDefault(p, "TCPBufSend", 65536);
    s.tcpBufRecv = ReadOrCreateDefault(p, "TCPBufRecv", 65536);
    s.useRegistryBufferSizes = ReadOrCreateDefault(p, "UseRegistryValues", 0);
    s.forceRegistrySettings = ReadOrCreateDefault(p, "ForceUsageOfRegistrySettings", 0);
    const char* t = kSocketTimeoutsKey;
    s.activateSingleKeepAlive = ReadOrCreateDefault(t, "ActivateWin2KSingleKeepAlive", 0);
    s.singleKeepAliveMs = ReadOrCreateDefault(t, "Win2KSingleKeepAliveDefault", 1200000);
    s.deactivateKeepAlive = ReadOrCreateDefault(t, "DeactivateKeepAlive", 0);
    s.defaultSendTimeoutMs = ReadOrCreateDefault(t, "DefaultTimeoutForSendInMilliseconds", 120000);
    s.useRegistrySendTimeout = ReadOrCreateDefault(t, "UseRegistryValues", 0);
    s.disableSendTimeout = ReadOrCreateDefault(t, "DisableSendTimeout", 0);
    s.disableOptimizations = ReadOrCreateDefault(t, "DisableWin2KOptimizations", 0);
    s.resyncServerOnTimeout = ReadOrCreateDefault(kConnectionKey, "ResyncServerOnTimeout", 1);

    if (s.useRegistrySendTimeout != 0)
        diag::Error("Using new send timeout value [%d ms]\n", s.defaultSendTimeoutMs);
    if (s.enableMaxSendPacketSize != 0)
        diag::Error("Max send packet size enabled: %d", s.maxSendPacketSize);
    if (s.deactivateKeepAlive != 0)
        diag::Error("KeepAlive disabled");
    if (s.activateSingleKeepAlive != 0)
        diag::Error("SingleKeepAlive Win2K enabled: %d", s.singleKeepAliveMs);
    if (s.disableOptimizations != 0)
        diag::Error("Win2KOptimizationsDisabled");
    g_settings = s;
}
} // namespace

int32_t ReadOrCreateDefault(const char* key, const char* name, int32_t def) {
    bool wasRead = false;
    const int32_t value = RegReadInteger(key, name, def, &wasRead);
    if (wasRead)
        return value;
    // A value of another form is the operator's: the default is used, the
    // value stays.
    if (TRegKey(key).Query(name))
        return def;
    diag::Error("Creating default entry for key: %s\\%s = %d\n", key, name, def);
    if (!RegWriteDWord(key, name, static_cast<uint32_t>(def)))
        diag::Error("Failed to write reg key: %s\\%s", key, name);
    return def;
}

const SocketSettings& Settings() {
    std::call_once(g_loadOnce, Load);
    return g_settings;
}

void ReloadSocketSettings() {
    std::call_once(g_loadOnce, [] {});
    Load();
}

SocketSettings& MutableSocketSettingsForTesting() {
    Settings();
    return g_settings;
}

} // namespace kdm
