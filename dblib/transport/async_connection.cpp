#include "transport/async_connection.h"

#include <thread>

#include "frame/exceptions.h"
#include "platform/diag.h"

namespace kdm {

// --- connect thread -------------------------------------------------------------

TAsyncConnectThread::TAsyncConnectThread(const TConnectParams& params, CInternetClient& main,
                                         CInternetClient& back, uint16_t mainPort,
                                         uint16_t backPort, int32_t clientKind)
    : m_params(params), m_main(main), m_back(back), m_mainPort(mainPort), m_backPort(backPort),
      m_clientKind(clientKind) {}

TAsyncConnectThread::~TAsyncConnectThread() {
    StopAndWait(-1);
}

void TAsyncConnectThread::BreakBlockingCalls() {
    // Once the thread is done its clients belong to the session; the stop
    // request of the final wait must not kill them.
    if (Finished())
        return;
    m_main.KillSocket();
    m_back.KillSocket();
}

void TAsyncConnectThread::Execute() {
    auto aborted = [this] {
        if (!ShouldTerminate())
            return false;
        m_main.ResetAndDisconnect();
        m_back.ResetAndDisconnect();
        m_result.store(kConnectAborted);
        return true;
    };
    try {
        m_phase.store(kPhaseLogin);
        const TConnectParams& p = m_params;
        const bool loggedIn =
            p.secondUser.empty()
                ? m_main.Login(p.host.c_str(), m_mainPort, p.user.c_str(), p.password.c_str(),
                               m_clientKind, p.loginOption)
                : m_main.LoginTwoUsers(p.host.c_str(), m_mainPort, p.user.c_str(),
                                       p.password.c_str(), p.secondUser.c_str(),
                                       p.secondPassword.c_str(), m_clientKind, p.loginOption);
        if (aborted())
            return;
        if (!loggedIn) {
            m_failureKind.store(m_main.FailureKind());
            m_result.store(kConnectFailed);
            return;
        }
        m_phase.store(kPhaseBackChannel);
        const bool attached = m_back.AttachBackChannel(p.host.c_str(), m_backPort, m_main);
        if (aborted())
            return;
        if (!attached) {
            m_main.Disconnect(kDisconnectWaitSeconds);
            m_failureKind.store(m_back.FailureKind());
            m_result.store(kConnectFailed);
            return;
        }
        m_phase.store(kPhaseDone);
        m_result.store(kConnectOk);
    } catch (...) {
        if (aborted())
            return;
        m_failureKind.store(-1);
        m_result.store(kConnectFailed);
    }
}

// --- session --------------------------------------------------------------------

TAsyncConnection::TAsyncConnection(uint16_t mainPort, uint16_t backPort, int32_t clientKind)
    : m_mainPort(mainPort), m_backPort(backPort), m_clientKind(clientKind),
      m_main(std::make_unique<CInternetClient>()), m_list(std::make_shared<CAsyncCommandList>()) {}

TAsyncConnection::~TAsyncConnection() {
    try {
        Disconnect();
    } catch (...) {
    }
}

bool TAsyncConnection::Connected() const {
    TEnterCriticalSection guard(m_cs);
    return m_main && m_main->Connected();
}

CAsyncClientMessageThread*
TAsyncConnection::CreateMessageThread(std::shared_ptr<CAsyncCommandList> list,
                                      std::unique_ptr<CInternetClient> backChannel,
                                      CThreadState state) {
    return new CAsyncClientMessageThread(std::move(list), std::move(backChannel), std::move(state));
}

int32_t TAsyncConnection::Connect(const TConnectParams& params, const ConnectProgress& progress,
                                  int32_t* failureKind) {
    TEnterCriticalSection guard(m_cs);
    DisconnectLocked();
    m_params = params;
    m_negotiationAccepted = false;
    m_negotiationState = 0;
    // Fresh clients: a socket killed by an earlier abort must not fail this
    // connect.
    m_main = std::make_unique<CInternetClient>();
    m_back = std::make_unique<CInternetClient>();
    int32_t kind = kFailNone;
    int32_t result = kConnectFailed;
    {
        TAsyncConnectThread thread(m_params, *m_main, *m_back, m_mainPort, m_backPort,
                                   m_clientKind);
        if (!thread.Start()) {
            kind = -1;
        } else {
            bool abortRequested = false;
            while (!thread.FinishedEvent().Wait(kConnectPollMs)) {
                if (abortRequested || !progress)
                    continue;
                if (!progress(thread.Phase(), kPhaseDone)) {
                    abortRequested = true;
                    thread.RequestStop(); // kills both clients' sockets
                }
            }
            result = abortRequested ? kConnectAborted : thread.Result();
            kind = thread.FailureKind();
        }
    }
    if (result == kConnectOk) {
        m_list = std::make_shared<CAsyncCommandList>();
        m_threadState = CThreadState::New();
        m_thread = CreateMessageThread(m_list, std::move(m_back), m_threadState);
        if (!m_thread->Start()) {
            delete m_thread;
            m_thread = nullptr;
            m_main->Disconnect(kDisconnectWaitSeconds);
            result = kConnectFailed;
            kind = -1;
        }
    } else {
        m_main->ResetAndDisconnect();
        if (m_back) {
            m_back->Disconnect(kDisconnectWaitSeconds);
            m_back.reset();
        }
    }
    if (failureKind != nullptr)
        *failureKind = result == kConnectFailed ? kind : kFailNone;
    return result;
}

void TAsyncConnection::Disconnect() {
    TEnterCriticalSection guard(m_cs);
    DisconnectLocked();
}

void TAsyncConnection::DisconnectLocked() {
    if (m_main)
        m_main->Disconnect(kDisconnectWaitSeconds);
    if (m_thread != nullptr) {
        m_thread->BackChannel().KillSocket();
        if (m_thread->StopAndWait(kBackChannelEndWaitMs)) {
            delete m_thread;
        } else {
            // Still inside a call on its channel: deleting it now would
            // pull the channel from under it.
            diag::Error("TERMINATION OF ASYNC BACKCH FAILED\n");
        }
        m_thread = nullptr;
    }
    if (m_back) {
        m_back->Disconnect(kDisconnectWaitSeconds);
        m_back.reset();
    }
    m_list->FailAll(true);
}

std::shared_ptr<CAsyncCommandListEntry> TAsyncConnection::QueueCommand(CCMD_Base_Params& params,
                                                                       int* status) {
    PoolBufferRef buffer(CKdmBufferPool::Instance().Take());
    std::shared_ptr<CAsyncCommandList> list;
    {
        TEnterCriticalSection guard(m_cs);
        list = m_list;
    }
    auto entry = std::make_shared<CAsyncCommandListEntry>(list->NextSequence());
    int rc = kStatusOk;
    try {
        buffer->BeginCommand(kCmdAsync, false);
        buffer->PutRawU64(static_cast<uint64_t>(entry->Sequence()));
        buffer->PutRawU32(kQualRequest);
        buffer->PutRawU32(params.Identity());
        entry->SetState(kEntryPrepared);
        rc = params.Write(*buffer);
    } catch (const EGrowableBuffer&) {
        rc = kStatusBeyondEnd;
    }
    if (rc != kStatusOk) {
        *status = kStatusBeyondEnd;
        return nullptr;
    }
    *status = kStatusOk;
    TEnterCriticalSection guard(m_cs);
    if (!list->Enter(entry))
        return entry; // completed as lost: no thread reads the answers
    entry->SetState(kEntrySent);
    try {
        m_main->SendBuffer(*buffer, true);
    } catch (const CIPConnectionException&) {
        diag::Error("EXCPT: ADDING ASYNC CMD FAILED\n");
        list->Remove(entry->Sequence());
        entry->SetState(kEntryFailed);
        list->FailAll(false);
        throw;
    } catch (...) {
        diag::Error("EXCPT ASYNC #5\n");
        list->Remove(entry->Sequence());
        entry->SetState(kEntryFailed);
        throw;
    }
    return entry;
}

void TAsyncConnection::CancelCommand(CAsyncCommandListEntry& entry) {
    PoolBufferRef buffer(CKdmBufferPool::Instance().Take());
    buffer->BeginCommand(kCmdAsync, false);
    buffer->PutRawU64(static_cast<uint64_t>(entry.Sequence()));
    buffer->PutRawU32(kQualCancel);
    TEnterCriticalSection guard(m_cs);
    try {
        m_main->SendBuffer(*buffer, true);
    } catch (const CIPConnectionException&) {
        diag::Error("EXCPT ASYNC CANCEL\n");
        m_list->FailAll(false);
    } catch (...) {
        diag::Error("EXCPT ASYNC CANCEL\n");
    }
}

int TAsyncConnection::WaitForAnswer(CAsyncCommandListEntry& entry, CCMD_Custom_Result& result,
                                    platform::Event* abort, int64_t timeoutMs) {
    const int64_t limit = timeoutMs > 0 ? timeoutMs : -1;
    int status = kStatusBeyondEnd;
    for (;;) {
        int woken;
        if (abort != nullptr) {
            // An abort signalled before this wait began does not count.
            abort->Reset();
            woken = platform::Event::WaitAny(entry.Event(), *abort, limit);
        } else {
            woken = entry.Event().Wait(limit) ? 0 : -1;
        }
        if (woken == 1) {
            CancelCommand(entry);
            continue;
        }
        if (woken < 0) {
            status = kStatusTimeout;
            break;
        }
        switch (entry.State()) {
        case kEntryAnswered:
            status = entry.Answer() != nullptr ? result.Read(*entry.Answer()) : kStatusBeyondEnd;
            break;
        case kEntryAborted:
            status = kStatusAborted;
            break;
        case kEntryConnectionLost:
            status = kStatusChannelLost;
            break;
        default:
            status = kStatusBeyondEnd;
            break;
        }
        break;
    }
    TEnterCriticalSection guard(m_cs);
    m_list->Remove(entry.Sequence());
    entry.FreeAnswer();
    return status;
}

int TAsyncConnection::ExecuteCommand(CCMD_Base_Params& params, CCMD_Custom_Result& result,
                                     platform::Event* abort, int64_t timeoutMs) {
    int status = kStatusOk;
    std::shared_ptr<CAsyncCommandListEntry> entry = QueueCommand(params, &status);
    if (!entry)
        return status;
    return WaitForAnswer(*entry, result, abort, timeoutMs);
}

void TAsyncConnection::RunCommand(CCMD_Base_Params& params, CCMD_Custom_Result& result,
                                  platform::Event* abort, int64_t timeoutMs) {
    const int status = ExecuteCommand(params, result, abort, timeoutMs);
    if (status != kStatusOk)
        RaiseTransferError(status, params.Name(), &result);
}

int32_t TAsyncConnection::ConnectAndNegotiate(const TConnectParams& params,
                                              const ConnectProgress& progress, int32_t first,
                                              int32_t second) {
    int32_t kind = kFailNone;
    const int32_t result = Connect(params, progress, &kind);
    if (result == kConnectAborted)
        return 100;
    if (result != kConnectOk)
        return ConnectResultFromFailureKind(kind);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    CCMD_NegotiateInterface_Params request(first, second);
    CCMD_NegotiateInterface_Result answer;
    const int status = ExecuteCommand(request, answer, nullptr, kNegotiateTimeoutMs);
    if (status != kStatusOk) {
        Disconnect();
        RaiseTransferError(status, request.Name(), &answer);
    }
    if (!answer.accepted) {
        Disconnect();
        return 102;
    }
    m_negotiationAccepted = true;
    m_negotiationState = answer.agreed;
    return 0;
}

} // namespace kdm
