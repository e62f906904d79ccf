// One session with a recorder service: the main channel and its login, the
// back channel and its message thread, the command list, and the connect
// that runs in its own thread while the caller polls its progress.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "frame/critical_section.h"
#include "frame/thread.h"
#include "transport/async_channel.h"
#include "transport/commands.h"
#include "transport/kdmii_komm.h"

namespace kdm {

struct TConnectParams {
    std::string host;
    std::string user;
    std::string password;
    std::string secondUser;
    std::string secondPassword;
    int32_t loginOption = 0;
};

enum AsyncConnectResult : int32_t {
    kConnectOk = 0,
    kConnectAborted = 1,
    kConnectFailed = 2,
};

enum ConnectPhase : int32_t {
    kPhaseNotStarted = 0,
    kPhaseLogin = 1,
    kPhaseBackChannel = 2,
    kPhaseDone = 3,
};

// Called with (phase, 3) while a connect runs; false aborts it.
using ConnectProgress = std::function<bool(int32_t phase, int32_t phases)>;

inline constexpr int kDisconnectWaitSeconds = 5;
inline constexpr int64_t kBackChannelEndWaitMs = 5000;
inline constexpr int64_t kConnectPollMs = 100;

class TAsyncConnection {
public:
    TAsyncConnection(uint16_t mainPort, uint16_t backPort, int32_t clientKind);
    virtual ~TAsyncConnection();
    TAsyncConnection(const TAsyncConnection&) = delete;
    TAsyncConnection& operator=(const TAsyncConnection&) = delete;

    // kConnectOk, kConnectAborted or kConnectFailed; *failureKind the
    // failure kind (-1 for an unexpected error).
    int32_t Connect(const TConnectParams& params, const ConnectProgress& progress,
                    int32_t* failureKind);
    void Disconnect();
    bool Connected() const;

    // Writes and sends a request. Null, with *status 3, when the request
    // could not be written; connection failures raise.
    std::shared_ptr<CAsyncCommandListEntry> QueueCommand(CCMD_Base_Params& params, int* status);
    // The transfer status of the answer. abort may be null; timeoutMs 0
    // waits without limit.
    int WaitForAnswer(CAsyncCommandListEntry& entry, CCMD_Custom_Result& result,
                      platform::Event* abort, int64_t timeoutMs);
    void CancelCommand(CAsyncCommandListEntry& entry);
    // Queue and wait; the transfer status.
    int ExecuteCommand(CCMD_Base_Params& params, CCMD_Custom_Result& result, platform::Event* abort,
                       int64_t timeoutMs);
    // The same, raising the error of a non-zero status.
    void RunCommand(CCMD_Base_Params& params, CCMD_Custom_Result& result, platform::Event* abort,
                    int64_t timeoutMs);

    // Connect, then the interface negotiation: 0, 100 aborted, 102 refused
    // negotiation, 300 to 307 for a failed connect.
    int32_t ConnectAndNegotiate(const TConnectParams& params, const ConnectProgress& progress,
                                int32_t first, int32_t second);
    bool NegotiationAccepted() const { return m_negotiationAccepted; }
    int32_t NegotiationState() const { return m_negotiationState; }

    CInternetClient* MainClient() { return m_main.get(); }
    CAsyncClientMessageThread* MessageThread() { return m_thread; }
    CAsyncCommandList& CommandList() { return *m_list; }
    TCriticalSection& Section() { return m_cs; }
    uint16_t MainPort() const { return m_mainPort; }
    uint16_t BackPort() const { return m_backPort; }

protected:
    // The derived session kinds process their own notifications.
    virtual CAsyncClientMessageThread*
    CreateMessageThread(std::shared_ptr<CAsyncCommandList> list,
                        std::unique_ptr<CInternetClient> backChannel, CThreadState state);

private:
    void DisconnectLocked();

    const uint16_t m_mainPort;
    const uint16_t m_backPort;
    const int32_t m_clientKind;
    TConnectParams m_params;
    std::unique_ptr<CInternetClient> m_main;
    std::unique_ptr<CInternetClient> m_back;
    CAsyncClientMessageThread* m_thread = nullptr;
    std::shared_ptr<CAsyncCommandList> m_list;
    CThreadState m_threadState;
    mutable TCriticalSection m_cs;
    bool m_negotiationAccepted = false;
    int32_t m_negotiationState = 0;
};

// Performs one login and back-channel attach in the background.
class TAsyncConnectThread : public CSocketListThread {
public:
    TAsyncConnectThread(const TConnectParams& params, CInternetClient& main, CInternetClient& back,
                        uint16_t mainPort, uint16_t backPort, int32_t clientKind);
    ~TAsyncConnectThread() override;
    const char* TypeName() const override { return "TAsyncConnectThread"; }
    void BreakBlockingCalls() override;

    int32_t Phase() const { return m_phase.load(); }
    int32_t Result() const { return m_result.load(); }
    int32_t FailureKind() const { return m_failureKind.load(); }

protected:
    void Execute() override;

private:
    const TConnectParams& m_params;
    CInternetClient& m_main;
    CInternetClient& m_back;
    const uint16_t m_mainPort;
    const uint16_t m_backPort;
    const int32_t m_clientKind;
    std::atomic<int32_t> m_phase{kPhaseNotStarted};
    std::atomic<int32_t> m_result{kConnectFailed};
    std::atomic<int32_t> m_failureKind{kFailNone};
};

} // namespace kdm
