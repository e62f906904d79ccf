// The asynchronous command channel and the housekeeping requests against
// kdmrecorder: answer order, cancel, lost and broken back channels, late
// answers, refusals, SyncTime, Inquiry, Ping, Disconnect and the padding
// schedule.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "frame/exceptions.h"
#include "integration/recorder_fixture.h"
#include "platform/clock.h"
#include "transport/ip_connection.h"

namespace kdm::test {
namespace {

using namespace std::chrono_literals;

class Channel : public RecorderTest {
protected:
    void Open(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--account", "alice:secret"});
        StartServer(args);
        ASSERT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 1, 0), 0);
    }
    // A NegotiateInterface whose answer echoes `value`.
    int Negotiate(int32_t value, CCMD_NegotiateInterface_Result* result,
                  int64_t timeoutMs = 10000) {
        CCMD_NegotiateInterface_Params params(value, 0);
        return conn.ExecuteCommand(params, *result, nullptr, timeoutMs);
    }
    size_t IndexOf(const std::vector<std::string>& trace, const std::string& token) {
        return static_cast<size_t>(std::find(trace.begin(), trace.end(), token) - trace.begin());
    }

    TAsyncConnection conn{kMainPort, kBackPort, kDatabaseClient};
};

TEST_F(Channel, AnswersInReverseOrderCompleteTheRightCallers) {
    Open();
    Ok("SET async-answers=reverse-pairs");
    CCMD_NegotiateInterface_Params first(111, 0);
    CCMD_NegotiateInterface_Params second(222, 0);
    int status = -1;
    auto a = conn.QueueCommand(first, &status);
    ASSERT_TRUE(a);
    auto b = conn.QueueCommand(second, &status);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Sequence(), a->Sequence() + 1);

    CCMD_NegotiateInterface_Result ra;
    CCMD_NegotiateInterface_Result rb;
    int sb = -1;
    std::thread waiter([&] { sb = conn.WaitForAnswer(*b, rb, nullptr, 10000); });
    const int sa = conn.WaitForAnswer(*a, ra, nullptr, 10000);
    waiter.join();
    EXPECT_EQ(sa, kStatusOk);
    EXPECT_EQ(sb, kStatusOk);
    EXPECT_EQ(ra.agreed, 111);
    EXPECT_EQ(rb.agreed, 222);
    // The service really answered the second one first.
    const auto trace = Trace();
    const std::string answerA = "ANSWER:" + std::to_string(a->Sequence());
    const std::string answerB = "ANSWER:" + std::to_string(b->Sequence());
    ASSERT_LT(IndexOf(trace, answerA), trace.size());
    EXPECT_LT(IndexOf(trace, answerB), IndexOf(trace, answerA));
}

TEST_F(Channel, AbortSendsCancelAndEndsWithTheAbortError) {
    Open();
    Ok("SET async-answers=never");
    CCMD_NegotiateInterface_Params params(5, 0);
    CCMD_NegotiateInterface_Result result;
    int status = -1;
    auto entry = conn.QueueCommand(params, &status);
    ASSERT_TRUE(entry);
    platform::Event abort;
    std::thread aborter([&] {
        std::this_thread::sleep_for(300ms);
        abort.Set();
    });
    status = conn.WaitForAnswer(*entry, result, &abort, 10000);
    aborter.join();
    ASSERT_EQ(status, kStatusAborted);
    try {
        RaiseTransferError(status, params.Name(), &result);
        FAIL() << "no exception";
    } catch (const ECmdAborted& e) {
        EXPECT_STREQ(e.Message(), "Command aborted.");
        EXPECT_EQ(e.Classification(), kErrAborted);
    }
    const auto trace = Trace();
    const std::string seq = std::to_string(entry->Sequence());
    EXPECT_LT(IndexOf(trace, "CANCEL:" + seq), trace.size());
    EXPECT_LT(IndexOf(trace, "ABORTED:" + seq), trace.size());
    // Exactly one message for the request: no answer after the abort.
    EXPECT_EQ(IndexOf(trace, "ANSWER:" + seq), trace.size());
}

TEST_F(Channel, LostBackChannelEndsTheWaitingCommand) {
    struct {
        const char* name;
        std::vector<std::string> settings;
    } cases[] = {
        {"dropped", {"drop-back-after=0"}},
        {"broken signature", {"broken-frame=signature", "broken-frame-after=0"}},
        {"broken length", {"broken-frame=length", "broken-frame-after=0"}},
        {"broken trailer", {"broken-frame=trailer", "broken-frame-after=0"}},
        {"main dropped, the session with it", {"drop-main-after=0"}},
    };
    StartServer({"--account", "alice:secret"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 1, 0), 0);
        for (const std::string& s : c.settings)
            Ok("SET " + s);
        CCMD_NegotiateInterface_Params params(1, 0);
        CCMD_NegotiateInterface_Result result;
        const auto start = std::chrono::steady_clock::now();
        const int status = conn.ExecuteCommand(params, result, nullptr, 20000);
        EXPECT_EQ(status, kStatusChannelLost);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        try {
            RaiseTransferError(status, params.Name(), &result);
            FAIL() << "no exception";
        } catch (const CIPConnectionException& e) {
            EXPECT_STREQ(e.Message(), "NegotiateInterface: TCP/IP connection lost.");
        }
        // Nothing reads the back channel any more: later commands fail at once.
        EXPECT_EQ(conn.ExecuteCommand(params, result, nullptr, 20000), kStatusChannelLost);
        conn.Disconnect();
    }
}

TEST_F(Channel, LateAnswerIsATimeoutAndIsDroppedWhenItComes) {
    Open({"--answer-delay", "1500"});
    CCMD_NegotiateInterface_Result result;
    const int status = Negotiate(77, &result, 300);
    ASSERT_EQ(status, kStatusTimeout);
    try {
        RaiseTransferError(status, "NegotiateInterface", &result);
        FAIL() << "no exception";
    } catch (const EClassifiedException& e) {
        EXPECT_STREQ(e.Message(), "NegotiateInterface: Timeout in command execution.");
        EXPECT_EQ(e.Classification(), kErrTimeout);
    }
    Ok("SET answer-delay=0");
    std::this_thread::sleep_for(1500ms); // the late answer arrives meanwhile
    CCMD_NegotiateInterface_Result next;
    EXPECT_EQ(Negotiate(88, &next), kStatusOk);
    EXPECT_EQ(next.agreed, 88);
}

TEST_F(Channel, DelayedAnswerWithinTheLimitArrives) {
    Open({"--answer-delay", "300"});
    CCMD_NegotiateInterface_Result result;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Negotiate(9, &result), kStatusOk);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 280ms);
    EXPECT_EQ(result.agreed, 9);
}

TEST_F(Channel, OtherCommandsAreRefusedAsNotImplemented) {
    Open();
    ProbeParams probe(0x00030001, "Select");
    CCMD_Async_Result_NoArgs result;
    const int status = conn.ExecuteCommand(probe, result, nullptr, 10000);
    ASSERT_EQ(status, kStatusRefused);
    EXPECT_EQ(result.ErrorCode(), kErrNotImplemented);
    EXPECT_EQ(result.ErrorMessage(), "Command not implemented.");
    try {
        RaiseTransferError(status, probe.Name(), &result);
        FAIL() << "no exception";
    } catch (const EException& e) {
        EXPECT_STREQ(e.Message(), "Select: Command not implemented.");
    }
    // The session goes on.
    CCMD_NegotiateInterface_Result negotiated;
    EXPECT_EQ(Negotiate(4, &negotiated), kStatusOk);
}

// NegotiateInterface with a text where a number belongs.
class BadNegotiateParams : public CCMD_Base_Params {
public:
    BadNegotiateParams() : CCMD_Base_Params(kCmdNegotiateInterface, "NegotiateInterface") {}
    int Read(CKDMIIBuf&) override { return kStatusOk; }
    int Write(CKDMIIBuf& buffer) override {
        buffer.PutString("one");
        buffer.PutInt32(2);
        return kStatusOk;
    }
};

TEST_F(Channel, MalformedParametersAreRefusedAsAParameterError) {
    Open();
    BadNegotiateParams params;
    CCMD_NegotiateInterface_Result result;
    const int status = conn.ExecuteCommand(params, result, nullptr, 10000);
    ASSERT_EQ(status, kStatusRefused);
    try {
        RaiseTransferError(status, params.Name(), &result);
        FAIL() << "no exception";
    } catch (const EClassifiedException& e) {
        EXPECT_EQ(e.Classification(), kErrParameter);
        EXPECT_STREQ(e.Message(), "NegotiateInterface: malformed parameters.");
    }
}

TEST_F(Channel, HousekeepingOnTheBackChannel) {
    Open();
    const platform::ClockDateTime today = platform::NowLocal();
    struct {
        const char* request;
        std::string answer; // a prefix for SyncTime's time stamps
    } cases[] = {
        {"inquiry", "INQUIRY 0 Halvorsken GmbH & CoKG|Kaldomeris II|||0,4,0,570,3,0,0,0,0,0,0,0,0"},
        {"ping", "PING 0"},
        {"synctime:0", "SYNCTIME ERROR 0 0 SYNC PARAM ERROR"},
        {"synctime:51", "SYNCTIME ERROR 0 0 SYNC PARAM ERROR"},
        {"synctime:-1", "SYNCTIME ERROR 0 0 SYNC PARAM ERROR"},
        {"synctime:1", "SYNCTIME OK 1 " + std::to_string(today.day) + " "},
        {"synctime:50", "SYNCTIME OK 50 " + std::to_string(today.day) + " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        Ok(std::string("SEND last back ") + c.request);
        const std::string answer = Ok("RESULT last back 10000");
        EXPECT_EQ(answer.substr(0, c.answer.size()), c.answer) << answer;
    }
    // The answers left the channel in step: commands still work.
    CCMD_NegotiateInterface_Result result;
    EXPECT_EQ(Negotiate(6, &result), kStatusOk);
    EXPECT_EQ(result.agreed, 6);
}

TEST_F(Channel, ServerDisconnectOnTheBackChannelEndsItsCommands) {
    Open();
    Ok("SEND last back disconnect");
    EXPECT_EQ(Ok("RESULT last back 10000"), "DISCONNECT 0");
    CCMD_NegotiateInterface_Result result;
    EXPECT_EQ(Negotiate(1, &result), kStatusChannelLost);
}

TEST_F(Channel, HousekeepingOnTheMainChannelIsAnsweredWhileTheClientWaits) {
    StartServer({"--account", "alice:secret"});
    // The client reads its main channel only while it waits for an answer
    // there; its Disconnect does.
    struct {
        const char* request;
        const char* answer;
    } cases[] = {
        {"synctime:0", "SYNCTIME ERROR 0 0 SYNC PARAM ERROR"},
        {"synctime:51", "SYNCTIME ERROR 0 0 SYNC PARAM ERROR"},
        {"ping", "PING 0"},
        {"inquiry", "INQUIRY 0 Halvorsken GmbH & CoKG|Kaldomeris II|||0,4,0,570,3,0,0,0,0,0,0,0,0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        ASSERT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 1, 0), 0);
        const std::string id = std::to_string(conn.MainClient()->MainChannelId());
        Ok("SEND " + id + " main " + c.request);
        conn.Disconnect();
        EXPECT_EQ(Ok("RESULT " + id + " main 10000"), c.answer);
    }
}

TEST_F(Channel, ScheduledPingsReachTheClient) {
    Open({"--schedule", "back:ping:200"});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Ok("RESULT last back 5000"), "PING 0");
}

// The padding schedule's clock, moved by the test.
std::atomic<int64_t> g_fakeTicks{0};
int64_t FakeTicks() {
    return g_fakeTicks.load();
}
constexpr int64_t kTicksPerSecond = 1000000000;

class PaddingClockScope {
public:
    PaddingClockScope() : m_old(SetPaddingClockForTesting(&FakeTicks)) {}
    ~PaddingClockScope() { SetPaddingClockForTesting(m_old); }

private:
    PaddingClock m_old;
};

TEST_F(Channel, PaddingScheduleSendsItsPacketsBeforeADueSend) {
    PaddingClockScope clock;
    g_fakeTicks = 0;
    Open();
    CInternetClient& main = *conn.MainClient();
    main.SetPaddingSchedule(50000, 1);
    CCMD_NegotiateInterface_Result result;
    // Each step: seconds on the clock, then the padding packets the next
    // command must be preceded by.
    struct {
        int64_t atSeconds;
        int32_t count; // 0 keeps the schedule
        int pads;
    } steps[] = {
        {10, 0, 0},               // not due yet
        {60, 0, 1},               // 60 s after the schedule was set
        {70, 0, 0},               // re-armed at 60 s
        {111, 0, 1}, {120, 3, 0}, // a new schedule re-arms it
        {171, 0, 3},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.atSeconds) + " s");
        g_fakeTicks = s.atSeconds * kTicksPerSecond;
        if (s.count > 0)
            main.SetPaddingSchedule(50000, s.count);
        const size_t before = Trace().size();
        ASSERT_EQ(Negotiate(static_cast<int32_t>(s.atSeconds), &result), kStatusOk);
        EXPECT_EQ(result.agreed, s.atSeconds);
        const auto trace = Trace();
        std::vector<std::string> added(trace.begin() + static_cast<std::ptrdiff_t>(before),
                                       trace.end());
        // The padding packets of 1024 spaces, then the request.
        ASSERT_GE(added.size(), static_cast<size_t>(s.pads) + 1);
        for (int i = 0; i < s.pads; ++i)
            EXPECT_EQ(added[static_cast<size_t>(i)], "PAD:1024");
        EXPECT_EQ(added[static_cast<size_t>(s.pads)].substr(0, 13), "REQ:00020000:");
    }
}

} // namespace
} // namespace kdm::test
