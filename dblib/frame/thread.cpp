#include "frame/thread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

#include "frame/exceptions.h"
#include "frame/processor_exception.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/faults.h"

namespace kdm {

namespace thread_detail {

// Shared by the object and its running procedure, so that the procedure can
// finish safely when the object is destroyed under it.
struct Control {
    std::mutex lock;
    // Set by the destructor: the procedure calls nothing on the object after.
    bool gone = false;
    // The procedure removed its own thread-map entry.
    bool removedByThread = false;
    platform::Event resume;
    // The procedure is done with the object and the shared state.
    platform::Event done;
};

} // namespace thread_detail

namespace {

using thread_detail::Control;

constexpr const char kTextStartFailed[] = "Start of thread failed\n";
constexpr const char kTextExecuteFault[] = "Exception in PreExecute in Thread %s of Type: %s\n";
constexpr const char kTextAfterFault[] = "Exception in PreExecute.Exit in Thread %s of Type: %s\n";
constexpr const char kTextAfterFaultNoState[] =
    "Exception in PreExecute.Exit.NoState in Thread %s of Type: %s\n";
constexpr const char kTextUnhandled[] = "UNHANDLED THREAD_EXCEPTION IN THREAD %s\n";
constexpr const char kTextUnhandledNoName[] = "UNHANDLED THREAD_EXCEPTION IN THREAD\n";
constexpr const char kTextUnhandledEnd[] = "UNHANDLED THREAD_END_EXCEPTION IN THREAD %s\n";
constexpr const char kTextRemoveMissing[] = "REMOVE THREAD: Thread [%s] not found\n";
constexpr const char kTextDestroyMissing[] =
    "REMOVE THREAD: Thread [ID=%d] not found\nThread probably not started\n";
constexpr const char kTextStillRunning[] = "Thread object (handle=%d, threadid =%d, current thread "
                                           "id=%d) deleted while thread is still running: !!!\n";
constexpr const char kTextKilling[] = "Killing thread\n";
constexpr const char kTextDestructorFailed[] = "Exception in ~CThread: Checking termination state";
constexpr const char kTextLinkedActive[] =
    "\nLINKED BACKCHANNEL IS STILL ACTIVE ... TRYING TO CLOSE ...";
constexpr const char kTextLinkedClosed[] = "\nBACKCHANNEL closed\n\n";
constexpr const char kTextIllegalCall[] = "ILLEGAL FUNCTION CALL";
constexpr const char kTextUnknown[] = "UNKNOWN";
constexpr const char kTextOutOfMemory[] = "CRITICAL MEMORY CONDITION - NO MEMORY LEFT\n";
constexpr const char kTextTerminate[] =
    "TERMINATE HANDLER: CRITICAL ERROR / EXCEPTION OCCURED - TERMINATING PROCESS\n"
    "THREADID: %d  THREADNAME: %s\n";

std::atomic<int32_t> g_alive{0};
std::atomic<int32_t> g_idsIssued{0};
std::atomic<int32_t> g_handlesIssued{0};
std::atomic<int64_t> g_destructorWaitMs{30000};

void SystemEventLog(const char* text) {
    diag::EventLogError("%s", text);
}
std::atomic<thread_detail::EventLogWriter> g_eventLog{&SystemEventLog};

// Reports never let an exception out of the thread procedure.
void EventLogReport(const char* format, const std::string& name, const char* message) noexcept {
    try {
        std::string text = Format(format, name.c_str(), message);
        g_eventLog.load()(text.c_str());
    } catch (...) {
    }
}

void ReportUnhandled(const std::string& name) noexcept {
    if (name.empty())
        diag::Error(kTextUnhandledNoName);
    else
        diag::Error(kTextUnhandled, name.c_str());
}

// Reachable for the whole process: detached threads may still use them
// while static objects are destroyed at exit.
struct RunningSocketThreads {
    TCriticalSection cs;
    std::vector<CSocketListThread*> threads;
};
RunningSocketThreads& Running() {
    static RunningSocketThreads* list = new RunningSocketThreads;
    return *list;
}

// Process handlers. POSIX has one terminate handler per process, so the
// thread start that installs them installs them for every thread.
std::mutex g_handlerLock;
bool g_handlersInstalled = false;
std::new_handler g_previousNewHandler = nullptr;
std::terminate_handler g_previousTerminate = nullptr;

void WriteAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// Returning would make operator new retry for ever; failing the allocation
// is what the caller can handle.
void OnOutOfMemory() {
    diag::Error("%s", kTextOutOfMemory);
    diag::EventLogError("%s", kTextOutOfMemory);
    WriteAll(STDERR_FILENO, kTextOutOfMemory, sizeof kTextOutOfMemory - 1);
    throw std::bad_alloc();
}

[[noreturn]] void OnTerminate() {
    char text[256];
    // Not the cached id: after a fork it would still name the parent's thread.
    int n = std::snprintf(text, sizeof text, kTextTerminate,
                          static_cast<int>(::syscall(SYS_gettid)), "no_thread");
    size_t length = n > 0 ? std::min(static_cast<size_t>(n), sizeof text - 1) : 0;
    int fd = ::open("terminate_handler.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteAll(fd, text, length);
        ::close(fd);
    }
    diag::Error("%s", text);
    diag::EventLogError("%s", text);
    WriteAll(STDERR_FILENO, text, length);
    std::abort();
}

__attribute__((destructor)) void RestoreAtUnload() {
    RestoreProcessHandlers();
}

} // namespace

// --- shared state -----------------------------------------------------------

CThreadStateRef* CThreadStateRef::Create() {
    return new CThreadStateRef;
}

void CThreadStateRef::AddRef() {
    m_refs.fetch_add(1);
}

void CThreadStateRef::Release() {
    if (m_refs.fetch_sub(1) == 1)
        delete this;
}

CThreadState CThreadState::New() {
    CThreadState state;
    state.m_ref = CThreadStateRef::Create();
    return state;
}

CThreadState::CThreadState(CThreadStateRef* ref) : m_ref(ref) {
    if (m_ref != nullptr)
        m_ref->AddRef();
}

CThreadState::CThreadState(const CThreadState& other) : CThreadState(other.m_ref) {}

CThreadState::CThreadState(CThreadState&& other) noexcept : m_ref(other.m_ref) {
    other.m_ref = nullptr;
}

CThreadState& CThreadState::operator=(CThreadState other) noexcept {
    std::swap(m_ref, other.m_ref);
    return *this;
}

CThreadState::~CThreadState() {
    Reset();
}

void CThreadState::Reset() {
    CThreadStateRef* ref = m_ref;
    m_ref = nullptr;
    if (ref != nullptr)
        ref->Release();
}

// --- thread -----------------------------------------------------------------

CThread::CThread(CThreadState state, bool creatorKeepsReference)
    : m_state(std::move(state)), m_control(std::make_shared<Control>()),
      m_refs(creatorKeepsReference ? 2 : 1), m_id(g_idsIssued.fetch_add(1) + 1) {
    if (m_state) {
        m_state->TerminatedEvent().Reset();
        m_state->StopRequestEvent().Reset();
        m_state->SetState(kThreadNotYetStarted);
        m_state->SetFailed(false);
    }
    g_alive.fetch_add(1);
}

CThread::~CThread() {
    std::thread thread;
    try {
        {
            std::lock_guard<std::mutex> guard(m_control->lock);
            m_control->gone = true;
            if (!CThreadMap::Instance().Remove(m_id) && !m_control->removedByThread)
                diag::Error(kTextDestroyMissing, m_id);
        }
        // A suspended thread that never ran leaves without running.
        m_control->resume.Set();
        m_state.Reset();
        {
            TEnterCriticalSection guard(m_cs);
            thread = std::move(m_thread);
        }
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else if (m_control->done.Wait(g_destructorWaitMs.load())) {
                thread.join();
            } else {
                // A POSIX thread cannot be ended safely from outside. It is
                // abandoned instead: the procedure keeps the control block and
                // its state reference, calls nothing on this object any more,
                // and still reports TERMINATED when its execute returns.
                diag::Error(kTextStillRunning, m_handle.load(), m_threadId.load(),
                            platform::CurrentThreadId());
                diag::Error(kTextKilling);
                thread.detach();
            }
        }
    } catch (...) {
        diag::Error(kTextDestructorFailed);
    }
    if (thread.joinable())
        thread.detach();
    g_alive.fetch_sub(1);
}

const char* CThread::TypeName() const {
    return "CThread";
}

void CThread::BreakBlockingCalls() {}
void CThread::BeforeExecute() {}
void CThread::AfterExecute() {}

std::string CThread::ThreadName() const {
    return TypeName();
}

void CThread::EndOfThread(int32_t) {
    // Read first: without self-delete the owner may free the object as soon
    // as the finished event is set.
    const bool selfDelete = m_selfDelete.load();
    m_stopRequested.store(true);
    m_terminatedEvent.Set();
    m_finished.store(true);
    m_finishedEvent.Set();
    if (selfDelete)
        Release();
}

bool CThread::Start(bool suspended, bool selfDelete) {
    TEnterCriticalSection guard(m_cs);
    if (m_handle.load() != -1) {
        diag::Error(kTextStartFailed);
        return false;
    }
    m_selfDelete.store(selfDelete);
    const int32_t handle = g_handlesIssued.fetch_add(1) + 1;
    try {
        m_thread = std::thread(&CThread::Run, this, m_control, m_state, handle, suspended);
    } catch (...) {
        diag::Error(kTextStartFailed);
        return false;
    }
    // Still under the section: a self-deleting thread's destructor waits here.
    m_handle.store(handle);
    return true;
}

void CThread::Resume() {
    m_control->resume.Set();
}

void CThread::RequestStop() {
    m_stopRequested.store(true);
    if (m_state)
        m_state->StopRequestEvent().Set();
    m_wakeEvent.Set();
    BreakBlockingCalls();
}

bool CThread::StopAndWait(int64_t timeoutMs) {
    bool started = false;
    {
        TEnterCriticalSection guard(m_cs);
        started = m_handle.load() != -1;
    }
    RequestStop();
    if (!started)
        return true;
    // Waiting for itself could only time out.
    if (m_threadId.load() == platform::CurrentThreadId())
        return false;
    return m_control->done.Wait(timeoutMs);
}

bool CThread::WaitForStop(int64_t timeoutMs) {
    m_wakeEvent.Wait(timeoutMs);
    return ShouldTerminate();
}

void CThread::Release() {
    if (m_refs.fetch_sub(1) == 1)
        delete this;
}

int32_t CThread::ObjectsAlive() {
    return g_alive.load();
}

int32_t CThread::IdsIssued() {
    return g_idsIssued.load();
}

void CThread::Run(CThread* self, std::shared_ptr<Control> control, CThreadState state,
                  int32_t handle, bool suspended) {
    platform::EnsureThreadFaultStack();
    InstallProcessorFaultHandler();
    InstallProcessHandlers();
    platform::ExportScope faultScope;

    auto objectAlive = [&control] {
        std::lock_guard<std::mutex> guard(control->lock);
        return !control->gone;
    };

    if (suspended)
        control->resume.Wait();
    if (!objectAlive()) {
        // Destroyed before it ran: nothing started, the state stays as it was.
        state.Reset();
        control->done.Set();
        return;
    }

    CThreadStateRef* shared = state.Get();
    if (shared != nullptr)
        shared->SetState(kThreadStartPending);
    auto fail = [shared] {
        if (shared != nullptr)
            shared->SetFailed(true);
    };

    const int32_t systemId = platform::CurrentThreadId();
    std::string name;
    try {
        if (objectAlive())
            name = self->ThreadName();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> guard(control->lock);
        if (!control->gone) {
            self->m_threadId.store(systemId);
            try {
                CThreadMap::Instance().Add({self->m_id, name, systemId, handle});
            } catch (...) {
            }
        }
    }

    if (objectAlive()) {
        try {
            self->BeforeExecute();
            if (shared != nullptr)
                shared->SetState(kThreadRunning);
            self->Execute();
        } catch (const EProcessorException& e) {
            EventLogReport(kTextExecuteFault, name, e.Message());
        } catch (...) {
            ReportUnhandled(name);
            fail();
        }
    }

    if (shared != nullptr)
        shared->SetState(kThreadTerminatePending);
    if (objectAlive()) {
        try {
            self->AfterExecute();
        } catch (const EProcessorException& e) {
            EventLogReport(shared != nullptr ? kTextAfterFault : kTextAfterFaultNoState, name,
                           e.Message());
        } catch (...) {
            ReportUnhandled(name);
            fail();
        }
    }

    bool callEnd = false;
    {
        std::lock_guard<std::mutex> guard(control->lock);
        if (!control->gone) {
            if (!CThreadMap::Instance().Remove(self->m_id))
                diag::Error(kTextRemoveMissing, name.c_str());
            control->removedByThread = true;
            callEnd = true;
        }
    }
    if (callEnd) {
        // May delete the object: it is not touched after this call.
        try {
            self->EndOfThread(0);
        } catch (...) {
            diag::Error(kTextUnhandledEnd, name.c_str());
            fail();
        }
    }

    if (shared != nullptr) {
        shared->SetState(kThreadTerminated);
        shared->TerminatedEvent().Set();
    }
    state.Reset();
    control->done.Set();
}

// --- thread map -------------------------------------------------------------

CThreadMap& CThreadMap::Instance() {
    static CThreadMap* map = new CThreadMap;
    return *map;
}

void CThreadMap::Add(const Entry& entry) {
    TEnterCriticalSection guard(m_cs);
    for (Entry& e : m_entries) {
        if (e.id == entry.id) {
            e = entry;
            return;
        }
    }
    m_entries.push_back(entry);
}

bool CThreadMap::Remove(int32_t id) {
    TEnterCriticalSection guard(m_cs);
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [id](const Entry& e) { return e.id == id; });
    if (it == m_entries.end())
        return false;
    m_entries.erase(it);
    return true;
}

bool CThreadMap::Find(int32_t id, Entry* entry) const {
    TEnterCriticalSection guard(m_cs);
    for (const Entry& e : m_entries) {
        if (e.id == id) {
            if (entry != nullptr)
                *entry = e;
            return true;
        }
    }
    return false;
}

int32_t CThreadMap::Count() const {
    TEnterCriticalSection guard(m_cs);
    return static_cast<int32_t>(m_entries.size());
}

int32_t CThreadMap::CountByName(const std::string& name) const {
    TEnterCriticalSection guard(m_cs);
    return static_cast<int32_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                              [&name](const Entry& e) { return e.name == name; }));
}

std::vector<CThreadMap::Entry> CThreadMap::Snapshot() const {
    TEnterCriticalSection guard(m_cs);
    return m_entries;
}

// --- socket list ------------------------------------------------------------

CSocketList& CSocketList::Instance() {
    static CSocketList* list = new CSocketList;
    return *list;
}

void CSocketList::Add(CListedSocket* socket) {
    TEnterCriticalSection guard(m_cs);
    if (std::find(m_sockets.begin(), m_sockets.end(), socket) == m_sockets.end())
        m_sockets.push_back(socket);
}

void CSocketList::Remove(CListedSocket* socket) {
    TEnterCriticalSection guard(m_cs);
    m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), socket), m_sockets.end());
}

bool CSocketList::Contains(const CListedSocket* socket) const {
    TEnterCriticalSection guard(m_cs);
    return std::find(m_sockets.begin(), m_sockets.end(), socket) != m_sockets.end();
}

int32_t CSocketList::Count() const {
    TEnterCriticalSection guard(m_cs);
    return static_cast<int32_t>(m_sockets.size());
}

int32_t CSocketList::KillOwnedBy(int32_t threadId) {
    TEnterCriticalSection guard(m_cs);
    std::vector<CListedSocket*> owned;
    for (CListedSocket* socket : m_sockets)
        if (socket->OwnerThreadId() == threadId)
            owned.push_back(socket);
    // A kill may take its socket, or another, off the list.
    int32_t killed = 0;
    for (CListedSocket* socket : owned) {
        if (!Contains(socket))
            continue;
        socket->KillSocket();
        ++killed;
    }
    return killed;
}

// --- socket-list thread -----------------------------------------------------

CSocketListThread::CSocketListThread(CThreadState state, bool creatorKeepsReference)
    : CThread(std::move(state), creatorKeepsReference) {
    for (auto& text : m_texts)
        std::snprintf(text, kTextCapacity, "%s", kTextUnknown);
}

CSocketListThread::~CSocketListThread() {
    // Destroyed while listed: a later break by id must not find it.
    Unlist();
}

const char* CSocketListThread::TypeName() const {
    return "CSocketListThread";
}

void CSocketListThread::IllegalFunctionCall() {
    throw EException(kTextIllegalCall);
}

void CSocketListThread::BeforeExecute() {
    m_startTime.store(platform::MonotonicMs());
    RunningSocketThreads& running = Running();
    TEnterCriticalSection guard(running.cs);
    running.threads.push_back(this);
}

void CSocketListThread::AfterExecute() {
    Unlist();
    const int32_t linked = m_linkedBackChannel.load();
    if (linked != 0) {
        diag::Error(kTextLinkedActive);
        BreakThread(linked, false);
        diag::Error(kTextLinkedClosed);
    }
}

void CSocketListThread::EndOfThread(int32_t result) {
    m_secondEvent.Set();
    CThread::EndOfThread(result);
}

void CSocketListThread::Unlist() {
    RunningSocketThreads& running = Running();
    TEnterCriticalSection guard(running.cs);
    auto& threads = running.threads;
    threads.erase(std::remove(threads.begin(), threads.end(), this), threads.end());
}

bool CSocketListThread::BreakThread(int32_t internalId, bool killSockets) {
    CSocketList& sockets = CSocketList::Instance();
    TEnterCriticalSection socketGuard(sockets.Section());
    RunningSocketThreads& running = Running();
    TEnterCriticalSection listGuard(running.cs);
    auto it = std::find_if(
        running.threads.begin(), running.threads.end(),
        [internalId](const CSocketListThread* t) { return t->InternalId() == internalId; });
    if (it == running.threads.end())
        return false;
    CSocketListThread* thread = *it;
    thread->RequestStop();
    if (killSockets) {
        thread->m_killed.store(true);
        sockets.KillOwnedBy(internalId);
    }
    return true;
}

bool CSocketListThread::IsListed(int32_t internalId) {
    RunningSocketThreads& running = Running();
    TEnterCriticalSection guard(running.cs);
    return std::any_of(
        running.threads.begin(), running.threads.end(),
        [internalId](const CSocketListThread* t) { return t->InternalId() == internalId; });
}

int32_t CSocketListThread::ListedCount() {
    RunningSocketThreads& running = Running();
    TEnterCriticalSection guard(running.cs);
    return static_cast<int32_t>(running.threads.size());
}

std::string CSocketListThread::Text(int index) {
    if (index < 0 || index >= kTextCount)
        return std::string();
    TEnterCriticalSection guard(Section());
    return m_texts[index];
}

void CSocketListThread::SetText(int index, const char* text) {
    if (index < 0 || index >= kTextCount)
        return;
    TEnterCriticalSection guard(Section());
    std::snprintf(m_texts[index], kTextCapacity, "%s", text != nullptr ? text : "");
}

// --- process handlers -------------------------------------------------------

void InstallProcessHandlers() {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    if (g_handlersInstalled)
        return;
    g_previousNewHandler = std::set_new_handler(&OnOutOfMemory);
    g_previousTerminate = std::set_terminate(&OnTerminate);
    g_handlersInstalled = true;
}

void RestoreProcessHandlers() {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    if (!g_handlersInstalled)
        return;
    if (std::get_new_handler() == &OnOutOfMemory)
        std::set_new_handler(g_previousNewHandler);
    if (std::get_terminate() == &OnTerminate)
        std::set_terminate(g_previousTerminate);
    g_handlersInstalled = false;
}

namespace thread_detail {

void SetDestructorWaitMs(int64_t ms) {
    g_destructorWaitMs.store(ms);
}

int64_t DestructorWaitMs() {
    return g_destructorWaitMs.load();
}

EventLogWriter SetEventLogWriter(EventLogWriter writer) {
    return g_eventLog.exchange(writer != nullptr ? writer : &SystemEventLog);
}

} // namespace thread_detail

} // namespace kdm
