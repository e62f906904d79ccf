#include "transport/async_channel.h"

#include <algorithm>

#include "frame/exceptions.h"
#include "frame/processor_exception.h"
#include "platform/diag.h"

namespace kdm {

// --- pool -----------------------------------------------------------------------

void CPoolBuffer::Release() {
    if (m_refs.fetch_sub(1) == 1)
        CKdmBufferPool::Instance().Give(this);
}

CKdmBufferPool& CKdmBufferPool::Instance() {
    static CKdmBufferPool* pool = new CKdmBufferPool; // lives until exit
    return *pool;
}

CKdmBufferPool::~CKdmBufferPool() {
    ClearForTesting();
}

CPoolBuffer* CKdmBufferPool::Take(size_t minSize) {
    {
        TEnterCriticalSection guard(m_cs);
        if (!m_buffers.empty()) {
            size_t best = m_buffers.size();
            for (size_t i = 0; i < m_buffers.size(); ++i) {
                const size_t size = m_buffers[i]->BlockSize();
                if (size >= minSize &&
                    (best == m_buffers.size() || size < m_buffers[best]->BlockSize()))
                    best = i;
            }
            if (best == m_buffers.size())
                best = m_buffers.size() - 1;
            CPoolBuffer* buffer = m_buffers[best];
            m_buffers.erase(m_buffers.begin() + static_cast<std::ptrdiff_t>(best));
            buffer->m_refs.store(1);
            buffer->Reset();
            return buffer;
        }
    }
    return new CPoolBuffer;
}

void CKdmBufferPool::Give(CPoolBuffer* buffer) {
    if (buffer == nullptr)
        return;
    {
        TEnterCriticalSection guard(m_cs);
        if (static_cast<int>(m_buffers.size()) < kPoolKeep) {
            buffer->Reset();
            m_buffers.push_back(buffer);
            return;
        }
    }
    delete buffer;
}

int32_t CKdmBufferPool::Pooled() const {
    TEnterCriticalSection guard(m_cs);
    return static_cast<int32_t>(m_buffers.size());
}

void CKdmBufferPool::ClearForTesting() {
    std::vector<CPoolBuffer*> buffers;
    {
        TEnterCriticalSection guard(m_cs);
        buffers.swap(m_buffers);
    }
    for (CPoolBuffer* b : buffers)
        delete b;
}

// --- entries and list -----------------------------------------------------------

int32_t CAsyncCommandListEntry::State() const {
    TEnterCriticalSection guard(m_cs);
    return m_state;
}

void CAsyncCommandListEntry::SetState(int32_t state) {
    TEnterCriticalSection guard(m_cs);
    m_state = state;
}

void CAsyncCommandListEntry::SetAnswer(PoolBufferRef answer) {
    TEnterCriticalSection guard(m_cs);
    m_answer = std::move(answer);
}

void CAsyncCommandListEntry::FreeAnswer() {
    PoolBufferRef answer;
    {
        TEnterCriticalSection guard(m_cs);
        answer = std::move(m_answer);
    }
}

bool CAsyncCommandList::Enter(const std::shared_ptr<CAsyncCommandListEntry>& entry) {
    TEnterCriticalSection guard(m_cs);
    if (m_closed) {
        entry->SetState(kEntryConnectionLost);
        entry->Event().Set();
        return false;
    }
    entry->SetState(kEntryEntered);
    m_entries[entry->Sequence()] = entry;
    return true;
}

std::shared_ptr<CAsyncCommandListEntry> CAsyncCommandList::Remove(int64_t sequence) {
    TEnterCriticalSection guard(m_cs);
    auto it = m_entries.find(sequence);
    if (it == m_entries.end())
        return nullptr;
    auto entry = it->second;
    m_entries.erase(it);
    return entry;
}

bool CAsyncCommandList::Complete(int64_t sequence, int32_t state, PoolBufferRef answer) {
    TEnterCriticalSection guard(m_cs);
    auto it = m_entries.find(sequence);
    if (it == m_entries.end())
        return false;
    auto entry = it->second;
    m_entries.erase(it);
    entry->SetState(state);
    entry->SetAnswer(std::move(answer));
    entry->Event().Set();
    return true;
}

void CAsyncCommandList::FailAll(bool close) {
    TEnterCriticalSection guard(m_cs);
    if (close)
        m_closed = true;
    while (!m_entries.empty()) {
        auto last = std::prev(m_entries.end());
        auto entry = last->second;
        m_entries.erase(last);
        if (!entry) {
            diag::Error("ASYNCCLIST: ZERO PENTRY");
            continue;
        }
        entry->SetState(kEntryConnectionLost);
        entry->Event().Set();
    }
}

void CAsyncCommandList::Reopen() {
    TEnterCriticalSection guard(m_cs);
    m_closed = false;
}

int32_t CAsyncCommandList::Count() const {
    TEnterCriticalSection guard(m_cs);
    return static_cast<int32_t>(m_entries.size());
}

bool CAsyncCommandList::Closed() const {
    TEnterCriticalSection guard(m_cs);
    return m_closed;
}

// --- message thread -------------------------------------------------------------

CAsyncClientMessageThread::CAsyncClientMessageThread(std::shared_ptr<CAsyncCommandList> list,
                                                     std::unique_ptr<CInternetClient> backChannel,
                                                     CThreadState state)
    : CSocketListThread(std::move(state)), m_list(std::move(list)),
      m_backChannel(std::move(backChannel)) {}

CAsyncClientMessageThread::~CAsyncClientMessageThread() {
    // The loop uses the back channel until it ends.
    BreakBlockingCalls();
    StopAndWait(-1);
}

const char* CAsyncClientMessageThread::TypeName() const {
    return "CAsyncClientMessageThread";
}

void CAsyncClientMessageThread::BreakBlockingCalls() {
    if (m_backChannel)
        m_backChannel->KillSocket();
}

bool CAsyncClientMessageThread::ProcessCommand(CKDMIIBuf&, uint32_t, bool) {
    return false;
}
void CAsyncClientMessageThread::ServerRequest(CKDMIIBuf&, uint32_t, int64_t, bool) {}
void CAsyncClientMessageThread::ServerCancel(CKDMIIBuf&, int64_t) {}
void CAsyncClientMessageThread::OtherNotification(CIPConnection&, CKDMIIBuf&) {}
void CAsyncClientMessageThread::FailAllPendingCommands() {
    m_list->FailAll(true);
}
void CAsyncClientMessageThread::ThreadStartHook() {}
void CAsyncClientMessageThread::ThreadEndHook() {}

bool CAsyncClientMessageThread::ProcessAsync(PoolBufferRef& buffer, bool* handedOver) {
    *handedOver = false;
    uint64_t sequence = 0;
    uint32_t qualifier = 0;
    if (buffer->GetRawU64(&sequence) != 0 || buffer->GetRawU32(&qualifier) != 0)
        return false;
    const int64_t seq = static_cast<int64_t>(sequence);
    switch (qualifier) {
    case kQualAnswer:
    case kQualAborted: {
        PoolBufferRef fresh(CKdmBufferPool::Instance().Take());
        PoolBufferRef answer = std::move(buffer);
        buffer = std::move(fresh);
        *handedOver = true;
        // An answer whose caller gave up is dropped with its buffer.
        m_list->Complete(seq, qualifier == kQualAnswer ? kEntryAnswered : kEntryAborted,
                         std::move(answer));
        return true;
    }
    case kQualRequest: {
        uint32_t identity = 0;
        if (buffer->GetRawU32(&identity) != 0)
            return false;
        ServerRequest(*buffer, identity, seq, false);
        return true;
    }
    case kQualCancel:
        if (!buffer->IsFullyRead())
            return false;
        ServerCancel(*buffer, seq);
        return true;
    default:
        diag::Error("UNKNOWN ASYNC CMD QUALIFIER\n");
        return false;
    }
}

void CAsyncClientMessageThread::Execute() {
    diag::Error("\nNEUEN MESSAGE-CLIENT Thread gestartet... ");
    diag::Error("THREAD ID: %d\n\n", ThreadId());
    ThreadStartHook();
    PoolBufferRef buffer(CKdmBufferPool::Instance().Take());
    // Faults that repeat on every message would spin the loop for ever.
    constexpr int kFaultLimit = 100;
    int faults = 0;
    while (!ShouldTerminate() && faults < kFaultLimit) {
        try {
            uint32_t command = 0;
            bool reply = false;
            const int rc = m_backChannel->WaitForCommandInto(*buffer, &command, &reply, -1);
            if (rc == kWaitTimedOut) {
                diag::Error("MESSAGE CLIENT TIMEOUT\n");
                continue;
            }
            if (rc == kWaitDisconnected) {
                diag::Error("\n>>> MESSAGE CLIENT DISCONNECTED <<<\n\n\n");
                break;
            }
            if (command == kCmdAsync) {
                bool handedOver = false;
                const bool processed = ProcessAsync(buffer, &handedOver);
                if (!processed) {
                    diag::Error("PROCESS ASYNC COMMAND FAILED:   CMD: %x\n", command);
                    if (reply) {
                        buffer->Reset();
                        buffer->PutRawU32(kNotProcessedWord);
                        m_backChannel->SendBuffer(*buffer, true);
                    }
                }
                if (!handedOver)
                    buffer->Reset();
            } else if (command == kCmdOtherNotification) {
                OtherNotification(*m_backChannel, *buffer);
                buffer->Reset();
            } else {
                if (!ProcessCommand(*buffer, command, reply))
                    diag::Error("PROCESS COMMAND FAILED:   CMD: %x\n", command);
                buffer->Reset();
            }
            faults = 0;
        } catch (const EProcessorException&) {
            ++faults;
            diag::Error("Structured exception catched in CAsyncClientMessageThread::Execute - Do "
                        "Loop\n");
        } catch (const EException&) {
            // The channel failed: nothing more will arrive on it.
            m_backChannel->ResetAndDisconnect();
            break;
        } catch (...) {
            ++faults;
            diag::Error("Unknown exception catched in CAsyncClientMessageThread::Execute - Do "
                        "Loop\n");
        }
    }
    // Whatever ended the loop, no answer can arrive any more.
    FailAllPendingCommands();
    ThreadEndHook();
}

} // namespace kdm
