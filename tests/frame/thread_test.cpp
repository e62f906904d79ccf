#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "frame/exceptions.h"
#include "frame/processor_exception.h"
#include "frame/thread.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "support/diag_capture.h"

using namespace kdm;

namespace {

using test::DiagCapture;

// Every wait in these tests ends by this time, also when a test fails.
constexpr int64_t kBound = 5000;

#define KDM_RAW __attribute__((noinline, no_sanitize_address, no_sanitize("undefined")))
volatile uintptr_t g_zeroAddress = 0;
volatile int g_sink = 0;
KDM_RAW void ReadNull() {
    g_sink = *reinterpret_cast<volatile int*>(g_zeroAddress);
}

// Polls cond every millisecond until it holds or kBound has passed.
bool Eventually(const std::function<bool()>& cond) {
    const int64_t end = platform::MonotonicMs() + kBound;
    while (!cond()) {
        if (platform::MonotonicMs() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Collects what the thread procedure sends to the event log.
std::mutex g_logLock;
std::vector<std::string> g_log;
void CollectEventLog(const char* text) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_log.emplace_back(text);
}

class EventLogCapture {
public:
    EventLogCapture() {
        std::lock_guard<std::mutex> guard(g_logLock);
        g_log.clear();
        m_previous = thread_detail::SetEventLogWriter(&CollectEventLog);
    }
    ~EventLogCapture() { thread_detail::SetEventLogWriter(m_previous); }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> guard(g_logLock);
        return g_log;
    }

private:
    thread_detail::EventLogWriter m_previous;
};

// A failing test waits kBound at most for a thread still running at the end.
class ThreadTest : public testing::Test {
protected:
    void SetUp() override {
        m_savedWait = thread_detail::DestructorWaitMs();
        thread_detail::SetDestructorWaitMs(kBound);
    }
    void TearDown() override { thread_detail::SetDestructorWaitMs(m_savedWait); }

private:
    int64_t m_savedWait = 0;
};
using ThreadLifecycle = ThreadTest;
using ThreadStop = ThreadTest;
using ThreadStart = ThreadTest;
using ThreadSelfDelete = ThreadTest;
using ThreadSharedState = ThreadTest;
using ThreadMapRegistry = ThreadTest;
using ThreadDestructor = ThreadTest;
using ThreadFaults = ThreadTest;
using SocketListThread = ThreadTest;

// Each stage runs a hook the test sets before the start.
class ScriptedThread : public CThread {
public:
    using Hook = std::function<void(ScriptedThread&)>;

    explicit ScriptedThread(CThreadState state, std::string name = "Scripted",
                            bool creatorKeepsReference = false)
        : CThread(std::move(state), creatorKeepsReference), m_name(std::move(name)) {}
    ~ScriptedThread() override {
        if (onDestroy)
            onDestroy();
    }

    Hook onBefore, onExecute, onAfter, onEnd;
    std::function<void()> onBreak, onDestroy;
    std::atomic<int> breaks{0};
    std::atomic<int32_t> breakCaller{0};

    std::string ThreadName() const override { return m_name; }
    void BreakBlockingCalls() override {
        breakCaller.store(platform::CurrentThreadId());
        ++breaks;
        if (onBreak)
            onBreak();
    }
    void EndOfThread(int32_t result) override {
        if (onEnd)
            onEnd(*this);
        CThread::EndOfThread(result);
    }

protected:
    void BeforeExecute() override {
        if (onBefore)
            onBefore(*this);
    }
    void Execute() override {
        if (onExecute)
            onExecute(*this);
    }
    void AfterExecute() override {
        if (onAfter)
            onAfter(*this);
    }

private:
    std::string m_name;
};

// For objects destroyed while they run: Execute keeps its own reference to
// everything it touches once it blocks.
struct Gates {
    platform::Event entered;
    platform::Event release;
    platform::Event returned;
};

template <class Base> class DetachableThread : public Base {
public:
    DetachableThread(CThreadState state, std::shared_ptr<Gates> gates)
        : Base(std::move(state)), m_gates(std::move(gates)) {}

protected:
    void Execute() override {
        std::shared_ptr<Gates> gates = m_gates;
        gates->entered.Set();
        gates->release.Wait(kBound);
        gates->returned.Set();
    }

private:
    std::shared_ptr<Gates> m_gates;
};

// ---------------------------------------------------------------------------

TEST_F(ThreadLifecycle, StagesSeeTheStatesInOrderAndTheEndIsObservable) {
    DiagCapture capture;
    CThreadState state = CThreadState::New();
    std::vector<int32_t> seen; // written by the thread, read after its end
    CThreadMap::Entry entry{};
    bool registered = false;
    {
        ScriptedThread t(state, "LifeCycle");
        t.onBefore = [&](ScriptedThread&) { seen.push_back(state->State()); };
        t.onExecute = [&](ScriptedThread& self) {
            seen.push_back(state->State());
            registered = CThreadMap::Instance().Find(self.InternalId(), &entry);
        };
        t.onAfter = [&](ScriptedThread&) { seen.push_back(state->State()); };
        t.onEnd = [&](ScriptedThread&) { seen.push_back(state->State()); };

        EXPECT_EQ(state->State(), kThreadNotYetStarted);
        EXPECT_EQ(t.Handle(), -1);
        ASSERT_TRUE(t.Start());
        EXPECT_GT(t.Handle(), 0);
        ASSERT_TRUE(state->TerminatedEvent().Wait(kBound));
        ASSERT_TRUE(t.StopAndWait(kBound));

        EXPECT_EQ(seen, (std::vector<int32_t>{kThreadStartPending, kThreadRunning,
                                              kThreadTerminatePending, kThreadTerminatePending}));
        EXPECT_EQ(state->State(), kThreadTerminated);
        EXPECT_FALSE(state->Failed());
        EXPECT_TRUE(t.Finished());
        EXPECT_TRUE(t.FinishedEvent().IsSet());
        EXPECT_TRUE(t.TerminatedEvent().IsSet());
        EXPECT_TRUE(t.ShouldTerminate());

        ASSERT_TRUE(registered);
        EXPECT_EQ(entry.id, t.InternalId());
        EXPECT_EQ(entry.name, "LifeCycle");
        EXPECT_EQ(entry.systemId, t.ThreadId());
        EXPECT_NE(entry.systemId, platform::CurrentThreadId());
        EXPECT_EQ(entry.handle, t.Handle());
        EXPECT_FALSE(CThreadMap::Instance().Find(t.InternalId(), nullptr));
    }
    // Neither the run nor destroying the ended thread's object complains.
    EXPECT_EQ(capture.Text(), "");
    // The procedure and the object released their references.
    EXPECT_EQ(state->RefCount(), 1);
}

TEST_F(ThreadLifecycle, IdsAreUniqueAndCounted) {
    const int32_t alive = CThread::ObjectsAlive();
    ScriptedThread a{CThreadState()};
    ScriptedThread b{CThreadState()};
    EXPECT_EQ(b.InternalId(), a.InternalId() + 1);
    EXPECT_EQ(CThread::IdsIssued(), b.InternalId());
    EXPECT_EQ(CThread::ObjectsAlive(), alive + 2);
    EXPECT_STREQ(a.TypeName(), "CThread");
}

TEST_F(ThreadStop, RequestSetsTheFlagAndEventsAndBreaksTheBlockingCall) {
    CThreadState state = CThreadState::New();
    ScriptedThread t(state);
    platform::Event entered;
    platform::Event blockingCall; // what the break hook ends
    bool unblocked = false, sawStop = false;
    t.onBreak = [&] { blockingCall.Set(); };
    t.onExecute = [&](ScriptedThread& self) {
        entered.Set();
        unblocked = blockingCall.Wait(kBound);
        sawStop = self.WaitForStop(0);
    };
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(entered.Wait(kBound));
    EXPECT_FALSE(t.ShouldTerminate());
    EXPECT_FALSE(state->StopRequestEvent().IsSet());

    ASSERT_TRUE(t.StopAndWait(kBound));
    EXPECT_TRUE(unblocked);
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(t.ShouldTerminate());
    EXPECT_TRUE(state->StopRequestEvent().IsSet());
    EXPECT_EQ(t.breaks.load(), 1);
    EXPECT_EQ(t.breakCaller.load(), platform::CurrentThreadId());
    EXPECT_EQ(state->State(), kThreadTerminated);
}

TEST_F(ThreadStop, WaitTimesOutWhileTheThreadIgnoresTheRequest) {
    ScriptedThread t{CThreadState()};
    platform::Event entered, gate;
    t.onExecute = [&](ScriptedThread&) {
        entered.Set();
        gate.Wait(kBound);
    };
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(entered.Wait(kBound));
    EXPECT_FALSE(t.StopAndWait(20));
    EXPECT_FALSE(t.Finished());
    gate.Set();
    EXPECT_TRUE(t.StopAndWait(kBound));
    EXPECT_TRUE(t.Finished());
}

TEST_F(ThreadStop, NothingToWaitForAnswersAtOnce) {
    ScriptedThread idle{CThreadState()};
    EXPECT_TRUE(idle.StopAndWait(kBound)); // never started
    EXPECT_TRUE(idle.ShouldTerminate());
    EXPECT_EQ(idle.breaks.load(), 1);

    ScriptedThread self{CThreadState()};
    bool ownResult = true;
    int64_t ownElapsed = -1;
    self.onExecute = [&](ScriptedThread& me) {
        const int64_t start = platform::MonotonicMs();
        ownResult = me.StopAndWait(kBound);
        ownElapsed = platform::MonotonicMs() - start;
    };
    ASSERT_TRUE(self.Start());
    ASSERT_TRUE(self.StopAndWait(kBound));
    EXPECT_FALSE(ownResult);
    EXPECT_LT(ownElapsed, kBound / 2);
}

TEST_F(ThreadStart, SuspendedThreadRunsOnlyAfterResume) {
    CThreadState state = CThreadState::New();
    ScriptedThread t(state);
    std::atomic<bool> executed{false};
    t.onExecute = [&](ScriptedThread&) { executed = true; };
    ASSERT_TRUE(t.Start(true));
    // A short look that catches a thread ignoring the suspension.
    EXPECT_FALSE(state->TerminatedEvent().Wait(30));
    EXPECT_EQ(state->State(), kThreadNotYetStarted);
    EXPECT_FALSE(executed.load());
    t.Resume();
    ASSERT_TRUE(state->TerminatedEvent().Wait(kBound));
    EXPECT_TRUE(executed.load());
}

TEST_F(ThreadStart, SuspendedThreadDestroyedBeforeResumeNeverRuns) {
    DiagCapture capture;
    CThreadState state = CThreadState::New();
    std::atomic<bool> executed{false};
    auto* t = new ScriptedThread(state);
    t->onExecute = [&](ScriptedThread&) { executed = true; };
    ASSERT_TRUE(t->Start(true));
    const int32_t id = t->InternalId();
    const int64_t start = platform::MonotonicMs();
    delete t;
    EXPECT_LT(platform::MonotonicMs() - start, kBound / 2);
    EXPECT_FALSE(executed.load());
    EXPECT_EQ(state->State(), kThreadNotYetStarted);
    EXPECT_EQ(state->RefCount(), 1);
    EXPECT_EQ(capture.Text(), Format("### ERROR: REMOVE THREAD: Thread [ID=%d] not found\n"
                                     "Thread probably not started\n",
                                     id));
}

TEST_F(ThreadStart, SecondStartIsRefused) {
    DiagCapture capture;
    ScriptedThread t{CThreadState()};
    std::atomic<int> runs{0};
    t.onExecute = [&](ScriptedThread&) { ++runs; };
    ASSERT_TRUE(t.Start());
    const int32_t handle = t.Handle();
    EXPECT_FALSE(t.Start());
    EXPECT_EQ(t.Handle(), handle);
    ASSERT_TRUE(t.StopAndWait(kBound));
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(capture.Text(), "### ERROR: Start of thread failed\n");
}

TEST_F(ThreadSelfDelete, FreesItselfAndTheStateSurvivesTerminated) {
    CThreadState state = CThreadState::New();
    const int32_t alive = CThread::ObjectsAlive();
    std::atomic<int32_t> destroyedOn{0};
    auto* t = new ScriptedThread(state, "SelfDelete");
    t->onDestroy = [&] { destroyedOn = platform::CurrentThreadId(); };
    ASSERT_TRUE(t->Start(false, true));
    // t belongs to its thread now.
    ASSERT_TRUE(state->TerminatedEvent().Wait(kBound));
    EXPECT_EQ(state->State(), kThreadTerminated);
    EXPECT_NE(destroyedOn.load(), 0);
    EXPECT_NE(destroyedOn.load(), platform::CurrentThreadId());
    EXPECT_EQ(CThread::ObjectsAlive(), alive);
    EXPECT_TRUE(Eventually([&] { return state->RefCount() == 1; }));
    EXPECT_FALSE(state->Failed());
}

TEST_F(ThreadSelfDelete, CreatorReferenceKeepsTheObjectUntilReleased) {
    CThreadState state = CThreadState::New();
    const int32_t alive = CThread::ObjectsAlive();
    std::atomic<bool> destroyed{false};
    auto* t = new ScriptedThread(state, "Kept", true);
    t->onDestroy = [&] { destroyed = true; };
    ASSERT_TRUE(t->Start(false, true));
    ASSERT_TRUE(state->TerminatedEvent().Wait(kBound));
    EXPECT_TRUE(t->Finished());
    EXPECT_FALSE(destroyed.load());
    EXPECT_EQ(CThread::ObjectsAlive(), alive + 1);
    t->Release();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(CThread::ObjectsAlive(), alive);
}

TEST_F(ThreadSharedState, ReferencesAreCountedAndConstructionResetsAReusedState) {
    CThreadState state = CThreadState::New();
    EXPECT_EQ(state->RefCount(), 1);
    {
        CThreadState copy = state;
        CThreadState raw(state.Get());
        EXPECT_EQ(state->RefCount(), 3);
        CThreadState moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(state->RefCount(), 3);
    }
    EXPECT_EQ(state->RefCount(), 1);

    {
        ScriptedThread first(state);
        first.onExecute = [](ScriptedThread&) { throw EException("first run fails"); };
        DiagCapture quiet(false);
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.StopAndWait(kBound));
    }
    ASSERT_EQ(state->State(), kThreadTerminated);
    ASSERT_TRUE(state->Failed());
    ASSERT_TRUE(state->StopRequestEvent().IsSet());

    ScriptedThread second(state);
    EXPECT_EQ(state->State(), kThreadNotYetStarted);
    EXPECT_FALSE(state->Failed());
    EXPECT_FALSE(state->TerminatedEvent().IsSet());
    EXPECT_FALSE(state->StopRequestEvent().IsSet());
}

// --- exceptions in the stages -------------------------------------------------

enum class Stage { Before, Execute, After, End };

const platform::FaultInfo kFault{platform::kFaultAccessViolation, 0x401234, 0x400000,
                                 platform::FaultAccess::Write, 0x10};

struct ExceptionCase {
    const char* name;
    Stage stage;
    bool withState;
    const char* threadName;
    std::function<void()> raise;
    const char* errorLines; // exact diagnostic output
    const char* eventLog;   // followed by the fault's text; null: no entry
    bool failed;
};

void PrintTo(const ExceptionCase& c, std::ostream* os) {
    *os << c.name;
}

const ExceptionCase kExceptionCases[] = {
    {"execute_library_exception", Stage::Execute, true, "Worker", [] { throw EException("boom"); },
     "### ERROR: UNHANDLED THREAD_EXCEPTION IN THREAD Worker\n", nullptr, true},
    {"execute_std_exception", Stage::Execute, true, "Worker",
     [] { throw std::runtime_error("boom"); },
     "### ERROR: UNHANDLED THREAD_EXCEPTION IN THREAD Worker\n", nullptr, true},
    {"execute_non_class", Stage::Execute, true, "Worker", [] { throw 42; },
     "### ERROR: UNHANDLED THREAD_EXCEPTION IN THREAD Worker\n", nullptr, true},
    {"execute_unnamed_thread", Stage::Execute, true, "", [] { throw EException("boom"); },
     "### ERROR: UNHANDLED THREAD_EXCEPTION IN THREAD\n", nullptr, true},
    {"before_execute", Stage::Before, true, "Worker", [] { throw EException("boom"); },
     "### ERROR: UNHANDLED THREAD_EXCEPTION IN THREAD Worker\n", nullptr, true},
    {"execute_processor", Stage::Execute, true, "Worker", [] { throw EProcessorException(kFault); },
     "", "Exception in PreExecute in Thread Worker of Type: ", false},
    {"after_processor", Stage::After, true, "Worker", [] { throw EProcessorException(kFault); }, "",
     "Exception in PreExecute.Exit in Thread Worker of Type: ", false},
    {"after_processor_no_state", Stage::After, false, "Worker",
     [] { throw EProcessorException(kFault); }, "",
     "Exception in PreExecute.Exit.NoState in Thread Worker of Type: ", false},
    {"after_library_exception", Stage::After, true, "Worker", [] { throw EException("boom"); },
     "### ERROR: UNHANDLED THREAD_EXCEPTION IN THREAD Worker\n", nullptr, true},
    {"end_library_exception", Stage::End, true, "Worker", [] { throw EException("boom"); },
     "### ERROR: UNHANDLED THREAD_END_EXCEPTION IN THREAD Worker\n", nullptr, true},
    {"end_processor", Stage::End, true, "Worker", [] { throw EProcessorException(kFault); },
     "### ERROR: UNHANDLED THREAD_END_EXCEPTION IN THREAD Worker\n", nullptr, true},
};

class ThreadException : public testing::TestWithParam<ExceptionCase> {};

TEST_P(ThreadException, IsReportedAndTheThreadStillTerminates) {
    const ExceptionCase& c = GetParam();
    DiagCapture capture;
    EventLogCapture log;
    CThreadState state = c.withState ? CThreadState::New() : CThreadState();
    bool executed = false, afterRan = false;
    {
        ScriptedThread t(state, c.threadName);
        auto at = [&c](Stage stage) {
            if (c.stage == stage)
                c.raise();
        };
        t.onBefore = [&](ScriptedThread&) { at(Stage::Before); };
        t.onExecute = [&](ScriptedThread&) {
            executed = true;
            at(Stage::Execute);
        };
        t.onAfter = [&](ScriptedThread&) {
            afterRan = true;
            at(Stage::After);
        };
        t.onEnd = [&](ScriptedThread&) { at(Stage::End); };
        ASSERT_TRUE(t.Start());
        ASSERT_TRUE(t.StopAndWait(kBound));
    }
    EXPECT_EQ(executed, c.stage != Stage::Before);
    EXPECT_TRUE(afterRan); // a failed stage does not skip the later ones
    EXPECT_EQ(capture.Text(), c.errorLines);
    std::vector<std::string> entries = log.Entries();
    if (c.eventLog == nullptr) {
        EXPECT_TRUE(entries.empty());
    } else {
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0], c.eventLog + EProcessorException::Describe(kFault) + "\n");
    }
    if (c.withState) {
        EXPECT_EQ(state->State(), kThreadTerminated);
        EXPECT_TRUE(state->TerminatedEvent().IsSet());
        EXPECT_EQ(state->Failed(), c.failed);
    }
}

INSTANTIATE_TEST_SUITE_P(Stages, ThreadException, testing::ValuesIn(kExceptionCases),
                         [](const testing::TestParamInfo<ExceptionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ThreadFaults, ProcessorFaultInExecuteIsReportedAndTheProcessGoesOn) {
#if defined(__SANITIZE_THREAD__)
    // The fault handler allocates and formats on the signal stack, which
    // ThreadSanitizer reports as signal-unsafe; the other builds cover this.
    GTEST_SKIP() << "fault handler is not signal-safe under ThreadSanitizer";
#endif
    DiagCapture capture(false);
    EventLogCapture log;
    CThreadState state = CThreadState::New();
    bool afterRan = false;
    {
        ScriptedThread t(state, "FaultThread");
        t.onExecute = [](ScriptedThread&) { ReadNull(); };
        t.onAfter = [&](ScriptedThread&) { afterRan = true; };
        ASSERT_TRUE(t.Start());
        ASSERT_TRUE(t.StopAndWait(kBound));
    }
    EXPECT_TRUE(afterRan);
    EXPECT_EQ(state->State(), kThreadTerminated);
    EXPECT_FALSE(state->Failed());
    std::vector<std::string> entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    const std::string& entry = entries[0];
    const std::string head =
        "Exception in PreExecute in Thread FaultThread of Type: EProcessorException: "
        "Access violation at ";
    EXPECT_EQ(entry.rfind(head, 0), 0u) << entry;
    EXPECT_NE(entry.find("(Read access to 0)\n"), std::string::npos) << entry;
    // The fault report itself ignores the DebugOutput switch.
    EXPECT_NE(capture.Text().find("EProcessorException: Access violation"), std::string::npos);
}

// --- thread map ------------------------------------------------------------

TEST_F(ThreadMapRegistry, HoldsRunningThreadsByIdWithACountPerName) {
    CThreadMap& map = CThreadMap::Instance();
    platform::Event gate;
    std::vector<std::unique_ptr<ScriptedThread>> threads;
    std::vector<std::unique_ptr<platform::Event>> entered;
    for (const char* name : {"Twin", "Twin", "Single"}) {
        threads.push_back(std::make_unique<ScriptedThread>(CThreadState(), name));
        entered.push_back(std::make_unique<platform::Event>());
        platform::Event* mine = entered.back().get();
        threads.back()->onExecute = [&gate, mine](ScriptedThread&) {
            mine->Set();
            gate.Wait(kBound);
        };
    }
    const int32_t before = map.Count();
    for (size_t i = 0; i < threads.size(); ++i) {
        ASSERT_TRUE(threads[i]->Start());
        ASSERT_TRUE(entered[i]->Wait(kBound));
    }
    EXPECT_EQ(map.Count(), before + 3);
    EXPECT_EQ(map.CountByName("Twin"), 2);
    EXPECT_EQ(map.CountByName("Single"), 1);
    for (const auto& t : threads) {
        CThreadMap::Entry e{};
        ASSERT_TRUE(map.Find(t->InternalId(), &e));
        EXPECT_EQ(e.systemId, t->ThreadId());
        EXPECT_EQ(e.handle, t->Handle());
    }
    EXPECT_NE(threads[0]->Handle(), threads[1]->Handle());
    EXPECT_NE(threads[0]->ThreadId(), threads[1]->ThreadId());
    std::vector<CThreadMap::Entry> snapshot = map.Snapshot();
    EXPECT_EQ(static_cast<int32_t>(snapshot.size()), before + 3);

    gate.Set();
    for (const auto& t : threads)
        ASSERT_TRUE(t->StopAndWait(kBound));
    EXPECT_EQ(map.Count(), before);
    EXPECT_EQ(map.CountByName("Twin"), 0);
    EXPECT_FALSE(map.Find(threads[2]->InternalId(), nullptr));
}

// --- destructor --------------------------------------------------------------

TEST_F(ThreadDestructor, ObjectNeverStartedReportsTheMissingEntry) {
    DiagCapture capture;
    int32_t id = 0;
    {
        ScriptedThread t{CThreadState()};
        id = t.InternalId();
    }
    EXPECT_EQ(capture.Text(), Format("### ERROR: REMOVE THREAD: Thread [ID=%d] not found\n"
                                     "Thread probably not started\n",
                                     id));
}

TEST_F(ThreadDestructor, WaitsForARunningThreadThatEndsInTime) {
    DiagCapture capture;
    CThreadState state = CThreadState::New();
    auto gates = std::make_shared<Gates>();
    auto* t = new DetachableThread<ScriptedThread>(state, gates);
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(gates->entered.Wait(kBound));
    const int32_t id = t->InternalId();
    // Released once the destructor has begun: it removes the map entry first.
    std::thread releaser([&] {
        Eventually([&] { return !CThreadMap::Instance().Find(id, nullptr); });
        gates->release.Set();
    });
    const int64_t start = platform::MonotonicMs();
    delete t;
    const int64_t elapsed = platform::MonotonicMs() - start;
    releaser.join();
    EXPECT_TRUE(gates->returned.IsSet());
    EXPECT_LT(elapsed, kBound);
    EXPECT_EQ(state->State(), kThreadTerminated);
    EXPECT_FALSE(state->Failed());
    EXPECT_EQ(state->RefCount(), 1);
    EXPECT_EQ(capture.Text(), "");
}

TEST_F(ThreadDestructor, ThreadStillRunningAfterTheWaitIsAbandonedAndReported) {
    thread_detail::SetDestructorWaitMs(30);
    DiagCapture capture;
    CThreadState state = CThreadState::New();
    auto gates = std::make_shared<Gates>();
    auto* t = new DetachableThread<ScriptedThread>(state, gates);
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(gates->entered.Wait(kBound));
    const int32_t handle = t->Handle();
    const int32_t threadId = t->ThreadId();
    const int64_t start = platform::MonotonicMs();
    delete t;
    const int64_t elapsed = platform::MonotonicMs() - start;
    EXPECT_GE(elapsed, 25);
    EXPECT_LT(elapsed, kBound);
    EXPECT_EQ(capture.Text(),
              Format("### ERROR: Thread object (handle=%d, threadid =%d, current thread id=%d) "
                     "deleted while thread is still running: !!!\n"
                     "### ERROR: Killing thread\n",
                     handle, threadId, platform::CurrentThreadId()));
    EXPECT_FALSE(gates->returned.IsSet());
    EXPECT_EQ(state->State(), kThreadRunning);

    // The abandoned thread still ends cleanly and says so.
    gates->release.Set();
    ASSERT_TRUE(state->TerminatedEvent().Wait(kBound));
    EXPECT_EQ(state->State(), kThreadTerminated);
    EXPECT_FALSE(state->Failed());
    EXPECT_TRUE(Eventually([&] { return state->RefCount() == 1; }));
}

// --- socket-list threads -------------------------------------------------

class FakeSocket : public CListedSocket {
public:
    explicit FakeSocket(int32_t owner) : m_owner(owner) { CSocketList::Instance().Add(this); }
    ~FakeSocket() override { CSocketList::Instance().Remove(this); }
    int32_t OwnerThreadId() const override { return m_owner; }
    // Like the real one, a killed socket leaves the list.
    void KillSocket() override {
        ++kills;
        CSocketList::Instance().Remove(this);
    }
    std::atomic<int> kills{0};

private:
    int32_t m_owner;
};

// Runs until a stop is requested.
class ListedThread : public CSocketListThread {
public:
    explicit ListedThread(CThreadState state = CThreadState())
        : CSocketListThread(std::move(state)) {}
    platform::Event entered;
    std::atomic<bool> stopSeen{false};
    std::atomic<int> breaks{0};
    void BreakBlockingCalls() override { ++breaks; }

protected:
    void Execute() override {
        entered.Set();
        stopSeen = WaitForStop(kBound);
    }
};

TEST_F(SocketListThread, BreakByIdStopsTheThreadAndKillsOnlyItsSockets) {
    ListedThread t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.entered.Wait(kBound));
    const int32_t id = t.InternalId();
    EXPECT_TRUE(CSocketListThread::IsListed(id));
    FakeSocket first(id), second(id), foreign(id + 1000);

    EXPECT_TRUE(CSocketListThread::BreakThread(id, true));
    ASSERT_TRUE(t.StopAndWait(kBound));
    EXPECT_TRUE(t.stopSeen.load());
    EXPECT_TRUE(t.Killed());
    EXPECT_GE(t.breaks.load(), 1);
    EXPECT_EQ(first.kills.load(), 1);
    EXPECT_EQ(second.kills.load(), 1);
    EXPECT_EQ(foreign.kills.load(), 0);
    EXPECT_TRUE(CSocketList::Instance().Contains(&foreign));
    EXPECT_FALSE(CSocketListThread::IsListed(id));
}

TEST_F(SocketListThread, BreakWithoutKillLeavesTheSocketsAlone) {
    ListedThread t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.entered.Wait(kBound));
    FakeSocket owned(t.InternalId());
    EXPECT_TRUE(CSocketListThread::BreakThread(t.InternalId(), false));
    ASSERT_TRUE(t.StopAndWait(kBound));
    EXPECT_TRUE(t.stopSeen.load());
    EXPECT_FALSE(t.Killed());
    EXPECT_EQ(owned.kills.load(), 0);
}

TEST_F(SocketListThread, BreakFindsOnlyListedThreads) {
    ListedThread ended;
    ASSERT_TRUE(ended.Start());
    ASSERT_TRUE(ended.entered.Wait(kBound));
    ASSERT_TRUE(ended.StopAndWait(kBound));
    ListedThread unstarted;

    const struct {
        const char* what;
        int32_t id;
    } ids[] = {
        {"none", 0},
        {"never issued", CThread::IdsIssued() + 100},
        {"ended", ended.InternalId()},
        {"not started", unstarted.InternalId()},
    };
    for (const auto& c : ids) {
        FakeSocket owned(c.id);
        EXPECT_FALSE(CSocketListThread::BreakThread(c.id, true)) << c.what;
        EXPECT_EQ(owned.kills.load(), 0) << c.what;
    }
    EXPECT_FALSE(unstarted.Killed());
    EXPECT_FALSE(unstarted.ShouldTerminate());
}

TEST_F(SocketListThread, EndingThreadClosesItsLinkedBackChannel) {
    DiagCapture capture;
    ListedThread backChannel;
    ASSERT_TRUE(backChannel.Start());
    ASSERT_TRUE(backChannel.entered.Wait(kBound));
    FakeSocket backSocket(backChannel.InternalId());

    struct Front : CSocketListThread {
        void Execute() override {}
    } front;
    front.SetLinkedBackChannel(backChannel.InternalId());
    ASSERT_TRUE(front.Start());
    ASSERT_TRUE(front.StopAndWait(kBound));

    ASSERT_TRUE(backChannel.StopAndWait(kBound));
    EXPECT_TRUE(backChannel.stopSeen.load());
    EXPECT_FALSE(backChannel.Killed());
    EXPECT_EQ(backSocket.kills.load(), 0);
    EXPECT_EQ(capture.Text(),
              "### ERROR: \nLINKED BACKCHANNEL IS STILL ACTIVE ... TRYING TO CLOSE ..."
              "### ERROR: \nBACKCHANNEL closed\n\n");
}

TEST_F(SocketListThread, KeepsItsTextsEventsAndStartTime) {
    struct Quick : CSocketListThread {
        void Execute() override {}
    } t;
    for (int i = 0; i < CSocketListThread::kTextCount; ++i)
        EXPECT_EQ(t.Text(i), "UNKNOWN") << i;
    t.SetText(1, "a text longer than the thirty-one characters that fit");
    EXPECT_EQ(t.Text(1), "a text longer than the thirty-o");
    EXPECT_EQ(t.Text(3), "");
    EXPECT_EQ(t.LinkedBackChannel(), 0);
    EXPECT_EQ(t.StartTime(), 0);
    EXPECT_STREQ(t.TypeName(), "CSocketListThread");
    EXPECT_EQ(t.ThreadName(), "CSocketListThread");

    const int64_t before = platform::MonotonicMs();
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.StopAndWait(kBound));
    EXPECT_TRUE(t.SecondEvent().IsSet());
    EXPECT_FALSE(t.FirstEvent().IsSet());
    EXPECT_GE(t.StartTime(), before);

    try {
        t.IllegalFunctionCall();
        ADD_FAILURE() << "no exception";
    } catch (const EException& e) {
        EXPECT_STREQ(e.Message(), "ILLEGAL FUNCTION CALL");
    }
}

TEST_F(SocketListThread, DestroyedWhileListedIsNoLongerFound) {
    auto gates = std::make_shared<Gates>();
    auto* t = new DetachableThread<CSocketListThread>(CThreadState(), gates);
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(gates->entered.Wait(kBound));
    const int32_t id = t->InternalId();
    ASSERT_TRUE(CSocketListThread::IsListed(id));
    std::thread releaser([&] {
        Eventually([&] { return !CThreadMap::Instance().Find(id, nullptr); });
        gates->release.Set();
    });
    delete t;
    releaser.join();
    EXPECT_TRUE(gates->returned.IsSet());
    EXPECT_FALSE(CSocketListThread::IsListed(id));
    FakeSocket owned(id);
    EXPECT_FALSE(CSocketListThread::BreakThread(id, true));
    EXPECT_EQ(owned.kills.load(), 0);
}

// --- process handlers ----------------------------------------------------

TEST(ProcessHandlers, OutOfMemoryReportsAndFailsTheAllocation) {
    DiagCapture capture;
    InstallProcessHandlers();
    std::new_handler handler = std::get_new_handler();
    ASSERT_NE(handler, nullptr);
    EXPECT_THROW(handler(), std::bad_alloc);
    EXPECT_EQ(capture.Text(), "### ERROR: CRITICAL MEMORY CONDITION - NO MEMORY LEFT\n");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators report a huge request instead of failing it.
    volatile size_t huge = SIZE_MAX / 4;
    char* p = new (std::nothrow) char[huge];
    EXPECT_EQ(p, nullptr);
    delete[] p;
    EXPECT_EQ(capture.Text(), "### ERROR: CRITICAL MEMORY CONDITION - NO MEMORY LEFT\n"
                              "### ERROR: CRITICAL MEMORY CONDITION - NO MEMORY LEFT\n");
#endif
}

void ForeignNewHandler() {
    throw std::bad_alloc();
}

TEST(ProcessHandlers, RestorePutsBackThePreviousHandlersOnly) {
    RestoreProcessHandlers();
    const std::new_handler previousNew = std::get_new_handler();
    const std::terminate_handler previousTerminate = std::get_terminate();
    InstallProcessHandlers();
    EXPECT_NE(std::get_new_handler(), previousNew);
    EXPECT_NE(std::get_terminate(), previousTerminate);
    RestoreProcessHandlers();
    EXPECT_EQ(std::get_new_handler(), previousNew);
    EXPECT_EQ(std::get_terminate(), previousTerminate);

    // One installed after ours stays.
    InstallProcessHandlers();
    std::set_new_handler(&ForeignNewHandler);
    RestoreProcessHandlers();
    EXPECT_EQ(std::get_new_handler(), &ForeignNewHandler);
    std::set_new_handler(previousNew);
    InstallProcessHandlers(); // as a thread start leaves it
}

TEST(ProcessHandlers, TerminateWritesItsFileAndAborts) {
    char dir[] = "/tmp/kdm-terminate-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/terminate_handler.txt";
    const std::string errors = std::string(dir) + "/stderr.txt";
    DiagCapture capture;
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0 || chdir(dir) != 0)
            _exit(90);
        InstallProcessHandlers();
        std::terminate();
        _exit(91);
    }
    int status = 0;
    pid_t done = 0;
    const int64_t end = platform::MonotonicMs() + kBound;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && platform::MonotonicMs() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child did not end";
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGABRT);

    // The child's main thread id is its process id.
    const std::string expected =
        Format("TERMINATE HANDLER: CRITICAL ERROR / EXCEPTION OCCURED - TERMINATING PROCESS\n"
               "THREADID: %d  THREADNAME: no_thread\n",
               static_cast<int>(child));
    EXPECT_EQ(ReadFile(file), expected);
    EXPECT_EQ(ReadFile(errors), expected);
    EXPECT_EQ(capture.Text(), "### ERROR: " + expected);
    std::remove(file.c_str());
    std::remove(errors.c_str());
    rmdir(dir);
}

} // namespace
