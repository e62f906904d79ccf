// Background threads of the library: a life cycle with a state object that
// watchers may hold beyond the thread, a cooperative stop request, a hook to
// break a thread out of a blocking call from another thread, optional
// self-deletion, and the process-wide last-resort handlers.
//
// Lifetime rule: the thread calls the object's virtual operations until its
// procedure ends. A derived class whose overrides use its own members must
// stop and wait for the thread in its own destructor (or let the thread
// delete itself); the base destructor only stops calling into the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/critical_section.h"
#include "platform/sync.h"

namespace kdm {

enum ThreadStateValue : int32_t {
    kThreadNotYetStarted = 0,
    kThreadStartPending = 1,
    kThreadRunning = 2,
    kThreadTerminatePending = 3,
    kThreadTerminated = 4,
};

// Reference-counted; freed when the last reference goes. Held through
// CThreadState, by the thread object, by its running procedure and by
// watchers.
class CThreadStateRef {
public:
    // Reference count 1, state NOT_YET_STARTED.
    static CThreadStateRef* Create();
    void AddRef();
    void Release();
    int32_t RefCount() const { return m_refs.load(); }

    int32_t State() const { return m_state.load(); }
    void SetState(int32_t state) { m_state.store(state); }
    // Set when an exception other than a processor fault escaped the thread.
    bool Failed() const { return m_failed.load(); }
    void SetFailed(bool failed) { m_failed.store(failed); }

    // Manual-reset; set when the state becomes TERMINATED.
    platform::Event& TerminatedEvent() { return m_terminated; }
    // Manual-reset; set by a stop request.
    platform::Event& StopRequestEvent() { return m_stopRequest; }

    CThreadStateRef(const CThreadStateRef&) = delete;
    CThreadStateRef& operator=(const CThreadStateRef&) = delete;

private:
    CThreadStateRef() = default;
    ~CThreadStateRef() = default;

    std::atomic<int32_t> m_refs{1};
    std::atomic<int32_t> m_state{kThreadNotYetStarted};
    std::atomic<bool> m_failed{false};
    platform::Event m_terminated;
    platform::Event m_stopRequest;
};

// One counted reference to a CThreadStateRef, or none.
class CThreadState {
public:
    CThreadState() = default;
    static CThreadState New();
    // Takes a reference of its own.
    explicit CThreadState(CThreadStateRef* ref);
    CThreadState(const CThreadState& other);
    CThreadState(CThreadState&& other) noexcept;
    CThreadState& operator=(CThreadState other) noexcept;
    ~CThreadState();

    CThreadStateRef* Get() const { return m_ref; }
    CThreadStateRef* operator->() const { return m_ref; }
    explicit operator bool() const { return m_ref != nullptr; }
    void Reset();

private:
    CThreadStateRef* m_ref = nullptr;
};

class CThreadTypeInfo {
public:
    virtual const char* TypeName() const = 0;
    virtual ~CThreadTypeInfo() = default;
};

namespace thread_detail {
struct Control;
}

class CThread : public CThreadTypeInfo {
public:
    // Resets the state's events, sets it to NOT_YET_STARTED and clears its
    // failure flag. creatorKeepsReference: the object's reference count
    // starts at 2, so a self-deleting thread and its creator (Release) both
    // have to let go.
    explicit CThread(CThreadState state = CThreadState(), bool creatorKeepsReference = false);

    const char* TypeName() const override;
    // Must not run while the thread still uses the derived part; see above.
    // From another thread: waits for the thread's end (30 s by default), and
    // abandons a thread that does not end in time.
    ~CThread() override;

    // Does nothing here; derived classes close or wake what the thread waits
    // on. Called on the requesting thread.
    virtual void BreakBlockingCalls();
    // Called on the thread after everything else. With self-delete set it
    // drops one reference and may delete the object: nothing may follow.
    virtual void EndOfThread(int32_t result);

protected:
    virtual void Execute() = 0;
    virtual void BeforeExecute();
    virtual void AfterExecute();

public:
    // The type name unless a derived class names its threads.
    virtual std::string ThreadName() const;

    // Creates the system thread; a suspended one waits for Resume. Once a
    // self-deleting thread has started the caller must not touch the object
    // again unless it kept a reference. False when the thread could not be
    // created or was started before; the object then stays with the caller.
    bool Start(bool suspended = false, bool selfDelete = false);
    void Resume();

    // Sets the stop flag and the stop events, then breaks blocking calls.
    void RequestStop();
    // Requests stop and waits up to timeoutMs (negative: without limit) for
    // the thread procedure to end. True when it ended or was never started;
    // false on timeout and when called on the thread itself.
    bool StopAndWait(int64_t timeoutMs);
    // Polled by execute loops.
    bool ShouldTerminate() const { return m_stopRequested.load(); }
    // Waits on the wake event; true when a stop was requested.
    bool WaitForStop(int64_t timeoutMs);

    // Drops one reference; deletes the object when none remains.
    void Release();

    // Process-unique, from 1.
    int32_t InternalId() const { return m_id; }
    // -1 before a successful start.
    int32_t Handle() const { return m_handle.load(); }
    // Kernel id of the thread, 0 until it runs.
    int32_t ThreadId() const { return m_threadId.load(); }
    bool Finished() const { return m_finished.load(); }
    platform::Event& FinishedEvent() { return m_finishedEvent; }
    platform::Event& TerminatedEvent() { return m_terminatedEvent; }
    const CThreadState& SharedState() const { return m_state; }

    static int32_t ObjectsAlive();
    static int32_t IdsIssued();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

protected:
    TCriticalSection& Section() { return m_cs; }

private:
    static void Run(CThread* self, std::shared_ptr<thread_detail::Control> control,
                    CThreadState state, int32_t handle, bool suspended);

    CThreadState m_state;
    platform::Event m_wakeEvent;
    platform::Event m_finishedEvent;
    platform::Event m_terminatedEvent;
    TCriticalSection m_cs;
    std::thread m_thread; // guarded by m_cs
    std::shared_ptr<thread_detail::Control> m_control;
    std::atomic<int32_t> m_handle{-1};
    std::atomic<int32_t> m_threadId{0};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_selfDelete{false};
    std::atomic<int32_t> m_refs;
    const int32_t m_id;
};

// Registry of running threads, keyed by internal id.
class CThreadMap {
public:
    struct Entry {
        int32_t id;
        std::string name;
        int32_t systemId;
        int32_t handle;
    };

    static CThreadMap& Instance();

    void Add(const Entry& entry);
    // False when the id is not registered.
    bool Remove(int32_t id);
    bool Find(int32_t id, Entry* entry) const;
    int32_t Count() const;
    int32_t CountByName(const std::string& name) const;
    std::vector<Entry> Snapshot() const;

private:
    CThreadMap() = default;
    mutable TCriticalSection m_cs;
    std::vector<Entry> m_entries;
};

// What the socket list holds; the transport's socket class implements it.
class CListedSocket {
public:
    virtual ~CListedSocket() = default;
    // Internal id of the thread that owns the socket, 0 for none.
    virtual int32_t OwnerThreadId() const = 0;
    // Breaks the socket's blocking calls for good.
    virtual void KillSocket() = 0;
};

// The process-wide list of open sockets. Lock order: this list's section
// before the list of running socket-list threads.
class CSocketList {
public:
    static CSocketList& Instance();

    void Add(CListedSocket* socket);
    void Remove(CListedSocket* socket);
    bool Contains(const CListedSocket* socket) const;
    int32_t Count() const;
    TCriticalSection& Section() { return m_cs; }
    // Kills every listed socket owned by the thread; the count killed.
    int32_t KillOwnedBy(int32_t threadId);

private:
    CSocketList() = default;
    mutable TCriticalSection m_cs;
    std::vector<CListedSocket*> m_sockets;
};

// A thread that owns sockets: while it executes it is listed, so that
// another thread can break it by its internal id and kill its sockets.
class CSocketListThread : public CThread {
public:
    static constexpr int kTextCount = 3;
    static constexpr int kTextCapacity = 32;

    explicit CSocketListThread(CThreadState state = CThreadState(),
                               bool creatorKeepsReference = false);
    ~CSocketListThread() override;

    const char* TypeName() const override;
    void EndOfThread(int32_t result) override;

    // Reserved operation of the family; calling it is a programming error:
    // raises EException "ILLEGAL FUNCTION CALL".
    virtual void IllegalFunctionCall();

    // Under the socket list's lock: requests stop of the listed thread with
    // this internal id and, with killSockets, marks it killed and kills the
    // sockets it owns. False when no listed thread has the id.
    static bool BreakThread(int32_t internalId, bool killSockets);
    static bool IsListed(int32_t internalId);
    static int32_t ListedCount();

    // Internal id of the linked back-channel thread, 0 for none.
    int32_t LinkedBackChannel() const { return m_linkedBackChannel.load(); }
    void SetLinkedBackChannel(int32_t internalId) { m_linkedBackChannel.store(internalId); }
    bool Killed() const { return m_killed.load(); }
    // Monotonic milliseconds when before execute ran, 0 before.
    int64_t StartTime() const { return m_startTime.load(); }
    platform::Event& FirstEvent() { return m_firstEvent; }
    // Set by end of thread before anything else.
    platform::Event& SecondEvent() { return m_secondEvent; }

    // Three informational texts of 31 characters at most, "UNKNOWN" at first.
    std::string Text(int index);
    void SetText(int index, const char* text);

protected:
    // Overrides must call these.
    void BeforeExecute() override;
    void AfterExecute() override;

private:
    void Unlist();

    std::atomic<int32_t> m_linkedBackChannel{0};
    std::atomic<bool> m_killed{false};
    std::atomic<int64_t> m_startTime{0};
    platform::Event m_firstEvent;
    platform::Event m_secondEvent;
    char m_texts[kTextCount][kTextCapacity]; // guarded by Section()
};

// Out-of-memory and terminate handlers. Installed by the first thread start;
// idempotent. Restore puts back what was there before, unless someone
// replaced ours in between; it also runs when the library is unloaded.
void InstallProcessHandlers();
void RestoreProcessHandlers();

namespace thread_detail {
// The destructor's wait for a running thread; tests shorten it.
void SetDestructorWaitMs(int64_t ms);
int64_t DestructorWaitMs();
// Receives the event-log reports of the thread procedure; null restores the
// system log. Returns the previous writer.
using EventLogWriter = void (*)(const char* text);
EventLogWriter SetEventLogWriter(EventLogWriter writer);
} // namespace thread_detail

} // namespace kdm
