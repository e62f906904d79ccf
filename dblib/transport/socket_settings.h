// Registry values that tune the sockets and the channels. Read once, at the
// first use after the library was loaded; a missing value is created with
// its default.
#pragma once

#include <cstdint>

namespace kdm {

inline constexpr char kSocketPerformanceKey[] =
    "Software\\Halvorsken\\KDMII\\Global\\Performance\\Socket";
inline constexpr char kSocketTimeoutsKey[] =
    "Software\\Halvorsken\\KDMII\\Global\\Timeouts\\Socket";
inline constexpr char kConnectionKey[] = "Software\\Halvorsken\\KDMII\\Global\\Connection";

struct SocketSettings {
    // Performance key.
    int32_t maxSendPacketSize = 16000;
    int32_t enableMaxSendPacketSize = 0;
    int32_t tcpBufSend = 65536;
    int32_t tcpBufRecv = 65536;
    int32_t useRegistryBufferSizes = 0;
    int32_t forceRegistrySettings = 0;
    // Timeouts key.
    int32_t activateSingleKeepAlive = 0;
    int32_t singleKeepAliveMs = 1200000;
    int32_t deactivateKeepAlive = 0;
    int32_t defaultSendTimeoutMs = 120000;
    int32_t useRegistrySendTimeout = 0;
    int32_t disableSendTimeout = 0;
    int32_t disableOptimizations = 0;
    // Connection key.
    int32_t resyncServerOnTimeout = 1;

    // Bytes per send call.
    int32_t SendPieceSize() const {
        return enableMaxSendPacketSize != 0 && maxSendPacketSize > 0 ? maxSendPacketSize : 16000;
    }
    // Of new sockets.
    int32_t InitialSendTimeoutMs() const {
        return useRegistrySendTimeout != 0 ? defaultSendTimeoutMs : 120000;
    }
};

// Loaded on the first call.
const SocketSettings& Settings();
// Reads the store again (and creates missing values).
void ReloadSocketSettings();
// Tests replace single values; the next Reload puts the store's back.
SocketSettings& MutableSocketSettingsForTesting();

// Reads a DWORD; a missing value is stored with its default and reported.
int32_t ReadOrCreateDefault(const char* key, const char* name, int32_t def);

} // namespace kdm
