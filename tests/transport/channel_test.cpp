#include "transport/async_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame/exceptions.h"
#include "support/diag_capture.h"
#include "transport/commands.h"
#include "transport/frame_io.h"
#include "transport/kdmii_komm.h"
#include "transport/loopback.h"
#include "transport/socket_settings.h"

namespace kdm {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Payload(const CTCPBuffer& b) {
    const uint8_t* p = b.Block() + kPayloadOffset;
    return Bytes(p, p + b.PayloadLength());
}

// A client channel connected to a peer that the test drives by hand.
template <class Client> struct ChannelPair {
    test::Listener listener;
    Client client;
    CIPConnection peer;
    ChannelPair() {
        EXPECT_EQ(client.ConnectByAddress(0x7F000001, listener.Port()), 0);
        peer.AdoptConnected(listener.Accept());
    }
    // Sends what `build` writes as one frame from the peer.
    template <class F> void PeerSends(F build) {
        CKDMIIBuf& b = peer.SendBufferRef();
        b.Reset();
        build(b);
        peer.Send();
    }
    CKDMIIBuf& PeerReceives(int seconds = 5) {
        EXPECT_TRUE(peer.ReceiveIntoTimed(peer.ReceiveBuffer(), seconds));
        return peer.ReceiveBuffer();
    }
};

class ChannelTest : public testing::Test {
protected:
    void SetUp() override {
        m_saved = Settings();
        MutableSocketSettingsForTesting().resyncServerOnTimeout = 0;
    }
    void TearDown() override { MutableSocketSettingsForTesting() = m_saved; }

private:
    SocketSettings m_saved;
};

TEST_F(ChannelTest, HousekeepingRequestsAreAnsweredAndOtherCommandsReturned) {
    ChannelPair<CKDMIIKomm> p;
    p.PeerSends([](CKDMIIBuf& b) { b.PutRawU32(kCmdInquiry); });
    p.PeerSends([](CKDMIIBuf& b) { b.PutRawU32(kCmdPing | kCommandReplyFlag); });
    for (int32_t count : {0, 51}) {
        p.PeerSends([count](CKDMIIBuf& b) {
            b.PutRawU32(kCmdSyncTime);
            b.PutInt32(count);
        });
    }
    p.PeerSends([](CKDMIIBuf& b) {
        b.PutRawU32(kCmdSyncTime);
        b.PutInt32(2);
    });
    for (int i = 0; i < 2; ++i)
        p.PeerSends([](CKDMIIBuf& b) { b.PutRawU32(kCmdSyncTimeStep | kCommandReplyFlag); });
    p.PeerSends([](CKDMIIBuf& b) {
        b.PutRawU32(0x00ABCDEF | kCommandReplyFlag);
        b.PutInt32(5);
    });

    test::DiagCapture diag;
    uint32_t command = 0;
    bool reply = false;
    ASSERT_EQ(p.client.WaitForCommand(&command, &reply, 5), kWaitCommand);
    EXPECT_EQ(command, 0x00ABCDEFu);
    EXPECT_TRUE(reply);
    int32_t value = 0;
    EXPECT_EQ(p.client.ReceiveBuffer().GetInt32(&value), 0) << "positioned after the word";
    EXPECT_EQ(value, 5);

    CKDMIIBuf& inquiry = p.PeerReceives();
    uint32_t word = 1;
    ASSERT_EQ(inquiry.GetRawU32(&word), 0);
    EXPECT_EQ(word, 0u);
    const char* texts[] = {"Halvorsken GmbH & CoKG", "Kaldomeris II", "", ""};
    for (const char* t : texts) {
        CBasicString s;
        ASSERT_EQ(inquiry.GetString(s), 0);
        EXPECT_STREQ(s.c_str(), t);
    }
    const int32_t numbers[13] = {0, 4, 0, 570, 3};
    for (int32_t n : numbers) {
        int32_t v = -1;
        ASSERT_EQ(inquiry.GetInt32(&v), 0);
        EXPECT_EQ(v, n);
    }
    EXPECT_TRUE(inquiry.IsFullyRead());

    EXPECT_EQ(Payload(p.PeerReceives()), (Bytes{0x89, 0, 0, 0, 0})) << "ping answer";

    for (int i = 0; i < 2; ++i) {
        CKDMIIBuf& refusal = p.PeerReceives();
        uint32_t w = 0;
        int32_t a = -1, b = -1;
        CBasicString text;
        ASSERT_EQ(refusal.GetRawU32(&w), 0);
        EXPECT_EQ(w, 0xFFFFFFFFu);
        EXPECT_EQ(refusal.GetInt32(&a), 0);
        EXPECT_EQ(refusal.GetInt32(&b), 0);
        EXPECT_EQ(a, 0);
        EXPECT_EQ(b, 0);
        ASSERT_EQ(refusal.GetString(text), 0);
        EXPECT_STREQ(text.c_str(), "SYNC PARAM ERROR");
    }
    EXPECT_NE(diag.Text().find("RESYNCHRONISATION ERROR\n"), std::string::npos);

    for (int i = 0; i < 2; ++i) {
        CKDMIIBuf& step = p.PeerReceives();
        uint32_t w = 1;
        TNativeDateTime when{};
        ASSERT_EQ(step.GetRawU32(&w), 0);
        EXPECT_EQ(w, 0u);
        ASSERT_EQ(step.GetDateTime(&when), 0);
        EXPECT_GT(when.day, 700000u) << "a date of this era";
        EXPECT_LT(when.ms, 86400000u);
    }
}

TEST_F(ChannelTest, ASyncExchangeCutShortHandsTheNextMessageOn) {
    ChannelPair<CKDMIIKomm> p;
    p.PeerSends([](CKDMIIBuf& b) {
        b.PutRawU32(kCmdSyncTime);
        b.PutInt32(3);
    });
    p.PeerSends([](CKDMIIBuf& b) { b.PutRawU32(kCmdSyncTimeStep | kCommandReplyFlag); });
    p.PeerSends([](CKDMIIBuf& b) { b.PutRawU32(0x00123456); });
    uint32_t command = 0;
    bool reply = true;
    ASSERT_EQ(p.client.WaitForCommand(&command, &reply, 5), kWaitCommand);
    EXPECT_EQ(command, 0x00123456u);
    EXPECT_FALSE(reply);
}

TEST_F(ChannelTest, ServerDisconnectIsAnsweredAndEndsTheWait) {
    ChannelPair<CKDMIIKomm> p;
    p.PeerSends([](CKDMIIBuf& b) { b.PutRawU32(kCmdDisconnect | kCommandReplyFlag); });
    uint32_t command = 0;
    bool reply = false;
    EXPECT_EQ(p.client.WaitForCommand(&command, &reply, 5), kWaitDisconnected);
    EXPECT_FALSE(p.client.Connected());
    EXPECT_EQ(Payload(p.PeerReceives()), (Bytes{0, 0, 0, 0}));
}

TEST_F(ChannelTest, AQuietChannelTimesOutAndABrokenOneRaises) {
    ChannelPair<CKDMIIKomm> p;
    uint32_t command = 0;
    bool reply = false;
    EXPECT_EQ(p.client.WaitForCommand(&command, &reply, 1), kWaitTimedOut);
    const uint8_t junk[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_TRUE(test::WriteAll(p.peer.Descriptor(), junk, sizeof junk));
    try {
        p.client.WaitForCommand(&command, &reply, 5);
        FAIL() << "no exception";
    } catch (const CIPConnectionError& e) {
        EXPECT_STREQ(e.Message(), "WSOCK RECEIVE DATA FAILED : WSAECONNRESET");
        EXPECT_EQ(e.Code(), 10054);
        EXPECT_EQ(e.Direction(), kDirectionReceive);
    }
    EXPECT_FALSE(p.client.Connected()) << "a failed operation disconnects";
}

TEST_F(ChannelTest, ATimedOutChannelResynchronisesWithPings) {
    MutableSocketSettingsForTesting().resyncServerOnTimeout = 1;
    test::DiagCapture diag;
    ChannelPair<CIPConnection> p;
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        p.PeerSends([](CKDMIIBuf& b) { b.PutInt32(-1); }); // the late answer, discarded
        for (int round = 0; round < 2; ++round) {
            CKDMIIBuf& ping = p.PeerReceives(10);
            uint32_t word = 0;
            EXPECT_EQ(ping.GetRawU32(&word), 0);
            EXPECT_EQ(word, kCmdPing | kCommandReplyFlag);
            p.PeerSends([](CKDMIIBuf& b) { b.PutInt32(0); });
            if (round == 0) {
                // Input left over after the first ping is drained before the
                // second one, once per ping attempt and once more.
                p.PeerSends([](CKDMIIBuf& b) { b.PutInt32(-2); });
                p.PeerSends([](CKDMIIBuf& b) { b.PutInt32(-3); });
            }
        }
    });
    EXPECT_FALSE(p.client.ReceiveTimed(1));
    peer.join();
    EXPECT_TRUE(p.client.Connected());
    const std::string text = diag.Text();
    EXPECT_NE(text.find("RESYNCHRONIZING CHANNEL CONNECTION = [127.0.0.1]   SPTR ["),
              std::string::npos);
    EXPECT_NE(text.find("RESYNCHRONIZATION OK: CONNECTION = 127.0.0.1   SPTR ["),
              std::string::npos);
}

std::atomic<int64_t> g_fakeTicks{0};
int64_t FakeTicks() {
    return g_fakeTicks.load();
}

TEST_F(ChannelTest, PaddingPacketsPrecedeASendOnceTheirIntervalHasPassed) {
    const PaddingClock previous = SetPaddingClockForTesting(&FakeTicks);
    g_fakeTicks = 1000;
    ChannelPair<CIPConnection> p;
    p.client.SetPaddingSchedule(50000, 1);
    ASSERT_NE(p.client.PaddingSchedule(), nullptr);
    EXPECT_EQ(p.client.PaddingSchedule()->IntervalTicks(), 50000LL * 1000000);

    std::thread peer([&] {
        CKDMIIBuf& padding = p.PeerReceives();
        Bytes expected = {0x20, 0x00, 0xFF, 0x01, kWireBytes, 0x00, 0x04, 0x00, 0x00};
        expected.insert(expected.end(), kPaddingBytes, 0x20);
        EXPECT_EQ(Payload(padding), expected);
        p.PeerSends([](CKDMIIBuf& b) { b.PutInt32(0); });
        int32_t v = 0;
        EXPECT_EQ(p.PeerReceives().GetInt32(&v), 0);
        EXPECT_EQ(v, 11);
        EXPECT_EQ(p.PeerReceives().GetInt32(&v), 0);
        EXPECT_EQ(v, 12) << "no padding before the second send";
    });
    g_fakeTicks = 1000 + 60000LL * 1000000;
    p.client.SendBufferRef().PutInt32(11);
    p.client.Send();
    p.client.SendBufferRef().PutInt32(12);
    p.client.Send();
    peer.join();

    p.client.SetPaddingSchedule(-1, 1);
    EXPECT_EQ(p.client.PaddingSchedule(), nullptr);
    SetPaddingClockForTesting(previous);
}

TEST_F(ChannelTest, AnUnansweredPaddingPacketFailsTheSend) {
    const PaddingClock previous = SetPaddingClockForTesting(&FakeTicks);
    g_fakeTicks = 0;
    ChannelPair<CIPConnection> p;
    p.client.SetPaddingSchedule(10, 1);
    g_fakeTicks = 20LL * 1000000;
    ::shutdown(p.peer.Descriptor(), SHUT_WR); // the peer will never answer
    p.client.SendBufferRef().PutInt32(1);
    try {
        p.client.Send();
        FAIL() << "no exception";
    } catch (const CIPConnectionError& e) {
        EXPECT_EQ(std::string(e.Message()).rfind("WSOCK SEND DATA FAILED", 0), 0u);
    }
    EXPECT_FALSE(p.client.Connected());
    SetPaddingClockForTesting(previous);
}

// --- pool and command list ----------------------------------------------------

TEST(BufferPool, KeepsThirtyTwoAndPrefersTheSmallestLargeEnoughBlock) {
    CKdmBufferPool& pool = CKdmBufferPool::Instance();
    pool.ClearForTesting();
    std::vector<CPoolBuffer*> taken;
    for (int i = 0; i < 33; ++i)
        taken.push_back(pool.Take());
    for (CPoolBuffer* b : taken)
        b->Release();
    EXPECT_EQ(pool.Pooled(), 32) << "the 33rd is freed";

    pool.ClearForTesting();
    CPoolBuffer* small = pool.Take();
    CPoolBuffer* large = pool.Take();
    std::vector<uint8_t> bulk(20000);
    large->PutRawBytes(bulk.data(), static_cast<int32_t>(bulk.size()));
    small->Release();
    large->Release();
    CPoolBuffer* forBulk = pool.Take(16000);
    EXPECT_EQ(forBulk, large);
    EXPECT_EQ(forBulk->PayloadLength(), 0u) << "handed out empty";
    CPoolBuffer* any = pool.Take(1 << 20);
    EXPECT_EQ(any, small) << "none is large enough: any will do";
    CPoolBuffer* fresh = pool.Take();
    EXPECT_NE(fresh, nullptr);
    forBulk->Release();
    any->Release();
    fresh->Release();
    pool.ClearForTesting();
}

TEST(CommandList, SequenceNumbersFailAllAndClosing) {
    CAsyncCommandList list;
    auto a = std::make_shared<CAsyncCommandListEntry>(list.NextSequence());
    auto b = std::make_shared<CAsyncCommandListEntry>(list.NextSequence());
    EXPECT_EQ(a->Sequence(), 1);
    EXPECT_EQ(b->Sequence(), 2);
    ASSERT_TRUE(list.Enter(a));
    ASSERT_TRUE(list.Enter(b));
    EXPECT_TRUE(list.Complete(2, kEntryAnswered, PoolBufferRef()));
    EXPECT_FALSE(list.Complete(2, kEntryAnswered, PoolBufferRef())) << "completed once";
    EXPECT_TRUE(b->Event().IsSet());
    EXPECT_EQ(b->State(), kEntryAnswered);
    list.FailAll(true);
    EXPECT_EQ(a->State(), kEntryConnectionLost);
    EXPECT_TRUE(a->Event().IsSet());
    EXPECT_EQ(list.Count(), 0);
    auto late = std::make_shared<CAsyncCommandListEntry>(list.NextSequence());
    EXPECT_FALSE(list.Enter(late)) << "nobody would answer it";
    EXPECT_EQ(late->State(), kEntryConnectionLost);
    EXPECT_TRUE(late->Event().IsSet());
}

// --- message thread -----------------------------------------------------------

void PutEnvelope(CKDMIIBuf& b, int64_t sequence, uint32_t qualifier, bool reply = false) {
    b.PutRawU32(kCmdAsync | (reply ? kCommandReplyFlag : 0));
    b.PutRawU64(static_cast<uint64_t>(sequence));
    b.PutRawU32(qualifier);
}

TEST_F(ChannelTest, MessageThreadMatchesAnswersAndFailsWhatIsLeftWhenTheChannelEnds) {
    test::DiagCapture diag;
    test::Listener listener;
    auto back = std::make_unique<CInternetClient>();
    ASSERT_EQ(back->ConnectByAddress(0x7F000001, listener.Port()), 0);
    CIPConnection peer;
    peer.AdoptConnected(listener.Accept());
    auto list = std::make_shared<CAsyncCommandList>();
    std::vector<std::shared_ptr<CAsyncCommandListEntry>> entries;
    for (int i = 0; i < 3; ++i) {
        entries.push_back(std::make_shared<CAsyncCommandListEntry>(list->NextSequence()));
        list->Enter(entries.back());
    }
    CAsyncClientMessageThread thread(list, std::move(back));
    ASSERT_TRUE(thread.Start());

    auto send = [&](auto build) {
        CKDMIIBuf& b = peer.SendBufferRef();
        b.Reset();
        build(b);
        peer.Send();
    };
    send([](CKDMIIBuf& b) {
        PutEnvelope(b, 2, kQualAnswer);
        b.PutRawU32(0);
        b.PutInt32(222);
    });
    send([](CKDMIIBuf& b) { PutEnvelope(b, 99, kQualAnswer); }); // nobody waits for it
    send([](CKDMIIBuf& b) {
        PutEnvelope(b, 1, kQualAnswer);
        b.PutRawU32(0);
        b.PutInt32(111);
    });
    send([](CKDMIIBuf& b) { PutEnvelope(b, 3, 0x00FF0099, true); });

    for (int i : {1, 0}) {
        ASSERT_TRUE(entries[i]->Event().Wait(5000));
        EXPECT_EQ(entries[i]->State(), kEntryAnswered);
        CPoolBuffer* answer = entries[i]->Answer();
        ASSERT_NE(answer, nullptr);
        uint32_t status = 1;
        int32_t value = 0;
        EXPECT_EQ(answer->GetRawU32(&status), 0);
        EXPECT_EQ(answer->GetInt32(&value), 0);
        EXPECT_EQ(value, i == 0 ? 111 : 222);
    }
    ASSERT_TRUE(peer.ReceiveIntoTimed(peer.ReceiveBuffer(), 5));
    EXPECT_EQ(Payload(peer.ReceiveBuffer()), (Bytes{3, 0, 0, 0})) << "not processed";
    EXPECT_FALSE(entries[2]->Event().IsSet());

    peer.TcpDisconnect();
    ASSERT_TRUE(entries[2]->Event().Wait(5000));
    EXPECT_EQ(entries[2]->State(), kEntryConnectionLost);
    EXPECT_TRUE(thread.StopAndWait(5000));
    EXPECT_TRUE(list->Closed());
    const std::string text = diag.Text();
    EXPECT_NE(text.find("UNKNOWN ASYNC CMD QUALIFIER\n"), std::string::npos);
    EXPECT_NE(text.find("PROCESS ASYNC COMMAND FAILED:   CMD: ff0014\n"), std::string::npos);
    EXPECT_NE(text.find("NEUEN MESSAGE-CLIENT Thread gestartet... "), std::string::npos);
}

// --- transfer errors ----------------------------------------------------------

class RefusedResult : public CCMD_Async_Result_NoArgs {
public:
    RefusedResult(int32_t type, const char* text) { SetError(17, type, text); }
};

TEST(TransferErrors, EachStatusRaisesItsErrorWithTheCommandName) {
    struct Case {
        int status;
        int32_t errorType; // of the refusal, for status 7
        int32_t category;  // -100: an EException that is not classified
        bool connection;
        const char* text;
        int32_t n1, n2;
    } cases[] = {
        {1, 0, -100, false, "SELECT: Unexpected data type.", 1, 600},
        {2, 0, -100, false, "SELECT: Unexpected NULL value.", 2, 600},
        {3, 0, -100, false, "SELECT: Command transfer error (read beyond end of buffer).", 3, 600},
        {4, 0, kErrTimeout, false, "SELECT: Timeout in command execution.", 0, 0},
        {5, 0, -100, true, "SELECT: TCP/IP connection lost.", 0, 0},
        {10, 0, -100, true, "SELECT: TCP/IP connection lost.", 0, 0},
        {6, 0, -100, false, "SELECT: Lost data in receive buffer.", 6, 600},
        {7, 12, -100, false, "SELECT: no such table", 7, 600},
        {7, static_cast<int32_t>(0x80000000), kErrParameter, false, "no such table", 17,
         static_cast<int32_t>(0x80000000)},
        {7, static_cast<int32_t>(0x80000002), kErrDatabaseEngine, false, "no such table", 17,
         static_cast<int32_t>(0x80000002)},
        {7, static_cast<int32_t>(0x80000005), kErrSql, false, "no such table", 17,
         static_cast<int32_t>(0x80000005)},
        {9, 0, kErrAborted, false, "Command aborted.", 0, 0},
        {8, 0, -100, false, "SELECT: Unknown command error.", 0, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << c.status << " type " << c.errorType);
        RefusedResult result(c.errorType, "no such table");
        try {
            RaiseTransferError(c.status, "SELECT", &result);
            ADD_FAILURE() << "no exception";
        } catch (const EClassifiedException& e) {
            EXPECT_EQ(e.Classification(), c.category);
            EXPECT_STREQ(e.Message(), c.text);
            EXPECT_EQ(e.Number1(), c.n1);
            EXPECT_EQ(e.Number2(), c.n2);
        } catch (const CIPConnectionException& e) {
            EXPECT_TRUE(c.connection);
            EXPECT_STREQ(e.Message(), c.text);
        } catch (const EException& e) {
            EXPECT_EQ(c.category, -100);
            EXPECT_FALSE(c.connection);
            EXPECT_STREQ(e.Message(), c.text);
            EXPECT_EQ(e.Number1(), c.n1);
            EXPECT_EQ(e.Number2(), c.n2);
        }
    }
    try {
        RaiseTransferError(7, "FETCH", nullptr);
    } catch (const EException& e) {
        EXPECT_STREQ(e.Message(), "FETCH: Command error without detailed specification.");
    }
}

TEST(WaitAny, ReportsWhichEventWasSetOrTheTimeout) {
    platform::Event a, b;
    EXPECT_EQ(platform::Event::WaitAny(a, b, 20), -1);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        b.Set();
    });
    EXPECT_EQ(platform::Event::WaitAny(a, b, 5000), 1);
    setter.join();
    a.Set();
    EXPECT_EQ(platform::Event::WaitAny(a, b, -1), 0) << "the first wins when both are set";
}

} // namespace
} // namespace kdm
