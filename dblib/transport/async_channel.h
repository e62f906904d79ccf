// The asynchronous command channel: requests tagged with a sequence number
// go out on the main channel, and one message thread per session matches
// the answers on the back channel to the waiting callers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "frame/critical_section.h"
#include "frame/thread.h"
#include "platform/sync.h"
#include "transport/kdmii_buf.h"
#include "transport/kdmii_komm.h"

namespace kdm {

inline constexpr uint32_t kCmdAsync = 0x00FF0014;
inline constexpr uint32_t kQualRequest = 0x00FF0015;
inline constexpr uint32_t kQualAnswer = 0x00FF0016;
inline constexpr uint32_t kQualCancel = 0x00FF0017;
inline constexpr uint32_t kQualAborted = 0x00FF0018;
inline constexpr uint32_t kCmdOtherNotification = 0xFE030003;
inline constexpr uint32_t kNotProcessedWord = 3;
inline constexpr int kPoolKeep = 32;

// A reference-counted message buffer of the process-wide pool.
class CPoolBuffer : public CKDMIIBuf {
public:
    void AddRef() { m_refs.fetch_add(1); }
    // The last release gives the buffer back to the pool.
    void Release();

private:
    friend class CKdmBufferPool;
    std::atomic<int32_t> m_refs{1};
};

class CKdmBufferPool {
public:
    static CKdmBufferPool& Instance();
    // One reference for the caller. Prefers the smallest pooled block of
    // at least minSize bytes, so large blocks stay for large messages.
    CPoolBuffer* Take(size_t minSize = 0);
    // Kept while fewer than 32 are pooled, freed otherwise.
    void Give(CPoolBuffer* buffer);
    int32_t Pooled() const;
    void ClearForTesting();
    ~CKdmBufferPool();

private:
    CKdmBufferPool() = default;
    mutable TCriticalSection m_cs;
    std::vector<CPoolBuffer*> m_buffers;
};

// Holds one reference to a pool buffer.
class PoolBufferRef {
public:
    PoolBufferRef() = default;
    explicit PoolBufferRef(CPoolBuffer* buffer) : m_buffer(buffer) {}
    PoolBufferRef(PoolBufferRef&& other) noexcept : m_buffer(other.m_buffer) {
        other.m_buffer = nullptr;
    }
    PoolBufferRef& operator=(PoolBufferRef&& other) noexcept {
        if (this != &other) {
            reset();
            m_buffer = other.m_buffer;
            other.m_buffer = nullptr;
        }
        return *this;
    }
    ~PoolBufferRef() { reset(); }
    void reset() {
        if (m_buffer != nullptr)
            m_buffer->Release();
        m_buffer = nullptr;
    }
    CPoolBuffer* get() const { return m_buffer; }
    CPoolBuffer* operator->() const { return m_buffer; }
    CPoolBuffer& operator*() const { return *m_buffer; }
    explicit operator bool() const { return m_buffer != nullptr; }

private:
    CPoolBuffer* m_buffer = nullptr;
};

enum AsyncEntryState : int32_t {
    kEntryEntered = 0,
    kEntryPrepared = 1,
    kEntrySent = 2,
    kEntryAnswered = 3,
    kEntryAborted = 4,
    kEntryConnectionLost = 5,
    kEntryFailed = 6,
};

class CAsyncCommandListEntry {
public:
    explicit CAsyncCommandListEntry(int64_t sequence) : m_sequence(sequence) {}
    int64_t Sequence() const { return m_sequence; }
    int32_t State() const;
    void SetState(int32_t state);
    platform::Event& Event() { return m_event; }
    // Takes the answer over; the entry keeps it until it is freed.
    void SetAnswer(PoolBufferRef answer);
    CPoolBuffer* Answer() const { return m_answer.get(); }
    void FreeAnswer();

private:
    const int64_t m_sequence;
    mutable TCriticalSection m_cs;
    int32_t m_state = kEntryEntered;
    platform::Event m_event;
    PoolBufferRef m_answer;
};

// Entries by sequence number. Shared by the session and its message thread.
class CAsyncCommandList {
public:
    int64_t NextSequence() { return m_counter.fetch_add(1) + 1; }
    // False when the list was closed: the entry is completed at once as
    // lost.
    bool Enter(const std::shared_ptr<CAsyncCommandListEntry>& entry);
    std::shared_ptr<CAsyncCommandListEntry> Remove(int64_t sequence);
    // Finds, completes with the state and removes. False for an unknown
    // sequence number.
    bool Complete(int64_t sequence, int32_t state, PoolBufferRef answer);
    // Completes every entry with state 5, last first. Closing makes every
    // later entry fail the same way, because no thread would answer it.
    void FailAll(bool close);
    void Reopen();
    int32_t Count() const;
    bool Closed() const;
    TCriticalSection& Section() { return m_cs; }

private:
    mutable TCriticalSection m_cs;
    std::map<int64_t, std::shared_ptr<CAsyncCommandListEntry>> m_entries;
    std::atomic<int64_t> m_counter{0};
    bool m_closed = false;
};

// Reads the back channel until it is told to stop or the channel ends.
class CAsyncClientMessageThread : public CSocketListThread {
public:
    CAsyncClientMessageThread(std::shared_ptr<CAsyncCommandList> list,
                              std::unique_ptr<CInternetClient> backChannel,
                              CThreadState state = CThreadState());
    ~CAsyncClientMessageThread() override;
    const char* TypeName() const override;
    void BreakBlockingCalls() override;

    CInternetClient& BackChannel() { return *m_backChannel; }
    CAsyncCommandList& CommandList() { return *m_list; }

    // Whether the message was processed.
    virtual bool ProcessCommand(CKDMIIBuf& buffer, uint32_t command, bool reply);
    virtual void ServerRequest(CKDMIIBuf& buffer, uint32_t identity, int64_t sequence, bool reply);
    virtual void ServerCancel(CKDMIIBuf& buffer, int64_t sequence);
    virtual void OtherNotification(CIPConnection& connection, CKDMIIBuf& buffer);
    virtual void FailAllPendingCommands();
    virtual void ThreadStartHook();
    virtual void ThreadEndHook();

protected:
    void Execute() override;

private:
    // Whether the asynchronous message was processed; *handedOver when the
    // buffer went to a waiting entry.
    bool ProcessAsync(PoolBufferRef& buffer, bool* handedOver);

    std::shared_ptr<CAsyncCommandList> m_list;
    std::unique_ptr<CInternetClient> m_backChannel;
};

} // namespace kdm
