// A hostile client against kdmrecorder: broken frames, wrong lengths,
// truncated and stalled frames, wrong requests and floods. The service
// must close or refuse, stay up, keep its memory, and then serve a normal
// login.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "integration/recorder_fixture.h"
#include "transport/frame_io.h"
#include "transport/kdmii_buf.h"
#include "transport/kdmii_komm.h"

namespace kdm::test {
namespace {

using Bytes = std::vector<uint8_t>;

void PutWord(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A frame around `payload` with the given length word, signature and trailer.
Bytes Frame(const Bytes& payload, uint32_t trailer = kFrameTrailerPlain) {
    Bytes b;
    const uint32_t length = static_cast<uint32_t>(payload.size()) + kFrameOverhead;
    PutWord(b, length ^ kFrameBeginXor);
    PutWord(b, length);
    b.insert(b.end(), payload.begin(), payload.end());
    PutWord(b, trailer);
    return b;
}

Bytes Header(uint32_t length) {
    Bytes b;
    PutWord(b, length ^ kFrameBeginXor);
    PutWord(b, length);
    return b;
}

// The payload of a message built with the project's buffer.
template <class Build> Bytes Payload(Build build) {
    CKDMIIBuf buffer;
    build(buffer);
    const uint8_t* p = buffer.Block() + kPayloadOffset;
    return Bytes(p, p + buffer.PayloadLength());
}

class RawClient {
public:
    RawClient(const std::string& address, uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawClient() { Close(); }
    bool Connected() const { return m_fd >= 0; }
    bool Send(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until the service closes; true when it did within timeoutMs.
    // *received gets what came before.
    bool WaitClosed(int64_t timeoutMs, Bytes* received = nullptr) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return false;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t chunk[4096];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return true;
            if (received != nullptr)
                received->insert(received->end(), chunk, chunk + n);
        }
    }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

class HostileClient : public RecorderTest {
protected:
    void ExpectNormalLogin() {
        TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
        EXPECT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 5, 0), 0);
        EXPECT_EQ(conn.NegotiationState(), 5);
    }
};

// The first word of a refusal, and its message.
void ExpectRefusal(const Bytes& received, const std::string& message) {
    CKDMIIBuf buffer;
    ASSERT_EQ(AcceptFrameBytes(buffer, received.data(), received.size()), 0);
    uint32_t status = 0;
    int32_t code = 0;
    int32_t type = 0;
    CBasicString text;
    ASSERT_EQ(buffer.GetRawU32(&status), 0);
    EXPECT_NE(status, 0u);
    ASSERT_EQ(buffer.GetInt32(&code), 0);
    ASSERT_EQ(buffer.GetInt32(&type), 0);
    ASSERT_EQ(buffer.GetString(text), 0);
    EXPECT_EQ(text.c_str(), message);
}

TEST_F(HostileClient, BrokenInputIsClosedOrRefusedAndTheServiceGoesOn) {
    StartServer({"--account", "alice:secret", "--frame-timeout", "500", "--login-timeout", "1000"});
    const Bytes connectReqWithNumber = Payload([](CKDMIIBuf& b) {
        b.BeginCommand(kCmdConnectReq, true);
        b.PutInt32(5); // the user name belongs here
        b.PutInt32(17);
        b.PutInt32(0);
    });
    const Bytes ping = Payload([](CKDMIIBuf& b) { b.BeginCommand(0x00FF0020, true); });
    const Bytes connect2 = Payload([](CKDMIIBuf& b) {
        b.BeginCommand(kCmdConnect2, true);
        b.PutString("0123456789abcdef0123456789abcdef");
        b.PutInt32(12345);
    });
    Bytes wrongSignature = Frame(ping);
    wrongSignature[0] ^= 0x40;
    Bytes truncated = Header(100);
    truncated.resize(30, 0x41);
    struct {
        const char* name;
        uint16_t port;
        Bytes bytes;
        bool closeAfterSending; // the client goes first
        const char* refusal;    // the answer before the close, if any
        bool badFrame;          // counted as a broken frame
    } cases[] = {
        {"wrong begin signature", kMainPort, wrongSignature, false, nullptr, true},
        {"length 5", kMainPort, Header(5), false, nullptr, true},
        {"length 11", kMainPort, Header(11), false, nullptr, true},
        {"length above 1 MiB", kMainPort, Header(1048577), false, nullptr, true},
        {"length 4 GiB - 1", kMainPort, Header(0xFFFFFFFF), false, nullptr, true},
        {"wrong trailer", kMainPort, Frame(ping, 0x58585858), false, nullptr, true},
        {"unknown payload code", kMainPort, Frame(ping, kFrameTrailerCoded | 2), false, nullptr,
         true},
        {"stalled mid-frame", kMainPort, truncated, false, nullptr, true},
        {"truncated, then closed", kMainPort, truncated, true, nullptr, false},
        {"silent after connecting", kMainPort, {}, false, nullptr, false},
        {"not a login request", kMainPort, Frame(ping), false, "Login request expected.", true},
        {"login request of wrong types", kMainPort, Frame(connectReqWithNumber), false,
         "Malformed login request.", true},
        {"back channel: wrong signature", kBackPort, wrongSignature, false, nullptr, true},
        {"back channel: unknown session", kBackPort, Frame(connect2), false,
         "Unknown main channel.", false},
    };
    int64_t badFrames = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(server->Address(), c.port);
        ASSERT_TRUE(client.Connected());
        if (!c.bytes.empty()) {
            ASSERT_TRUE(client.Send(c.bytes));
        }
        if (c.closeAfterSending) {
            client.Close();
            EXPECT_TRUE(server->WaitStat("open", 0, 3000));
        } else {
            Bytes received;
            EXPECT_TRUE(client.WaitClosed(3000, &received));
            if (c.refusal != nullptr)
                ExpectRefusal(received, c.refusal);
            else
                EXPECT_TRUE(received.empty());
        }
        badFrames += c.badFrame ? 1 : 0;
        EXPECT_EQ(server->Stat("bad-frames"), badFrames);
    }
    EXPECT_TRUE(server->WaitStat("open", 0, 3000));
    ExpectNormalLogin();
}

TEST_F(HostileClient, BrokenFrameAfterLoginEndsOnlyThatSession) {
    StartServer({"--account", "alice:secret"});
    TAsyncConnection victim(kMainPort, kBackPort, kDatabaseClient);
    ASSERT_EQ(Negotiated(victim, Params("alice", "secret"), {}, 1, 0), 0);
    TAsyncConnection bystander(kMainPort, kBackPort, kDatabaseClient);
    ASSERT_EQ(Negotiated(bystander, Params("alice", "secret"), {}, 2, 0), 0);

    const Bytes garbage = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(
        ::send(victim.MainClient()->Descriptor(), garbage.data(), garbage.size(), MSG_NOSIGNAL),
        static_cast<ssize_t>(garbage.size()));
    ASSERT_TRUE(server->WaitStat("sessions", 1, 5000));
    EXPECT_EQ(server->Stat("bad-frames"), 1);

    // The victim learns it from its back channel, which the service closed.
    CCMD_NegotiateInterface_Params params(1, 0);
    CCMD_NegotiateInterface_Result result;
    int status = -1;
    try {
        status = victim.ExecuteCommand(params, result, nullptr, 10000);
    } catch (const CIPConnectionException&) {
        status = kStatusConnectionLost; // the send itself failed
    }
    EXPECT_TRUE(status == kStatusChannelLost || status == kStatusConnectionLost) << status;

    CCMD_NegotiateInterface_Params other(33, 0);
    EXPECT_EQ(bystander.ExecuteCommand(other, result, nullptr, 10000), kStatusOk);
    EXPECT_EQ(result.agreed, 33);
}

TEST_F(HostileClient, ConnectionFloodIsTurnedAwayBeyondTheLimit) {
    StartServer({"--account", "alice:secret", "--max-connections", "16"});
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 100; ++i) {
        flood.push_back(std::make_unique<RawClient>(server->Address(), kMainPort));
        ASSERT_TRUE(flood.back()->Connected());
    }
    ASSERT_TRUE(server->WaitStat("accepted", 100, 5000));
    EXPECT_EQ(server->Stat("open"), 16);
    EXPECT_EQ(server->Stat("turned-away"), 84);
    flood.clear();
    ASSERT_TRUE(server->WaitStat("open", 0, 5000));
    ExpectNormalLogin();
}

TEST_F(HostileClient, LargeAnnouncedFramesDoNotGrowTheService) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's quarantine holds freed memory";
#endif
    StartServer({"--account", "alice:secret", "--max-connections", "8"});
    // Each client announces a frame of the largest length and sends half of
    // it; eight at a time.
    Bytes half = Header(1048576);
    half.resize(524288, 0x20);
    int64_t accepted = 0;
    auto round = [&] {
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 8; ++i) {
            clients.push_back(std::make_unique<RawClient>(server->Address(), kMainPort));
            ASSERT_TRUE(clients.back()->Send(half));
        }
        clients.clear();
        // A connection may still wait in the backlog when its client is done.
        accepted += 8;
        ASSERT_TRUE(server->WaitStat("accepted", accepted, 5000));
        ASSERT_TRUE(server->WaitStat("open", 0, 5000));
    };
    round();
    const int64_t before = server->ResidentKiB();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 20; ++i)
        round();
    EXPECT_LT(server->ResidentKiB() - before, 32 * 1024) << "KiB grown";
    ExpectNormalLogin();
}

TEST_F(HostileClient, RequestFloodIsAnsweredInStep) {
    StartServer({"--account", "alice:secret"});
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    ASSERT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 1, 0), 0);
    // Many requests queued before any answer is taken.
    std::vector<std::unique_ptr<CCMD_NegotiateInterface_Params>> params;
    std::vector<std::shared_ptr<CAsyncCommandListEntry>> entries;
    for (int32_t i = 0; i < 500; ++i) {
        params.push_back(std::make_unique<CCMD_NegotiateInterface_Params>(i, 0));
        int status = -1;
        entries.push_back(conn.QueueCommand(*params.back(), &status));
        ASSERT_TRUE(entries.back());
    }
    for (int32_t i = 0; i < 500; ++i) {
        CCMD_NegotiateInterface_Result result;
        ASSERT_EQ(conn.WaitForAnswer(*entries[static_cast<size_t>(i)], result, nullptr, 10000),
                  kStatusOk);
        EXPECT_EQ(result.agreed, i);
    }
}

TEST(RecorderSettings, BadSettingsAreRefusedWithTheirReason) {
    struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--answer-delay", "-5"}, "ERROR bad value for answer-delay: -5"},
        {{"--account", "nopassword"}, "ERROR account needs user:password"},
        {{"--account", "a:b,refuse=login:10"}, "ERROR refuse step is connectreq or connect"},
        {{"--schedule", "side:ping:100"}, "ERROR bad value for schedule: side:ping:100"},
        {{"--no-such-switch", "1"}, "ERROR unknown setting: no-such-switch"},
        {{"--frame-timeout"}, "ERROR --frame-timeout needs a value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        RecorderProcess server(c.args);
        EXPECT_FALSE(server.Started());
        EXPECT_EQ(server.StartError(), c.error);
    }
    RecorderProcess server;
    ASSERT_TRUE(server.Started()) << server.StartError();
    EXPECT_EQ(server.Command("SET address=127.0.0.9"), "ERR address is set at start only");
    EXPECT_EQ(server.Command("SET async-answers=sometimes"),
              "ERR bad value for async-answers: sometimes");
    EXPECT_EQ(server.Command("SEND 1 side ping"),
              "ERR usage: SEND SESSION main|back inquiry|ping|disconnect|synctime:N");
    EXPECT_EQ(server.Command("SEND 1 back ping"), "ERR no such session");
    EXPECT_EQ(server.Stop(), 0);
}

} // namespace
} // namespace kdm::test
