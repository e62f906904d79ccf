#include "transport/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <netinet/tcp.h>
#include <thread>

#include "frame/registry.h"
#include "support/diag_capture.h"
#include "transport/loopback.h"
#include "transport/socket_errors.h"
#include "transport/socket_settings.h"

namespace kdm {
namespace {

TEST(SocketErrors, NamesOfTheSocketErrorNumbers) {
    struct Case {
        int32_t code;
        const char* name;
    } cases[] = {
        {0, "NO ERROR"},
        {10009, "WSAEBADF"},
        {10024, "WSAEMFILE"},
        {10035, "WSAEWOULDBLOCK"},
        {10054, "WSAECONNRESET"},
        {10058, "WSAESHUTDOWN"},
        {10071, "WSAEREMOTE"},
        {10093, "WSANOTINITIALISED"},
        {10101, "WSAEDISCON"},
        {11001, "WSAHOST_NOT_FOUND"},
        {11004, "WSANO_DATA"},
        {40, "WSANOVALIDADDR"},
        {41, "WSANOBUFMEM"},
        {10004, "SOCKET:Unknown Error"},
        {10072, "SOCKET:Unknown Error"},
        {-1, "SOCKET:Unknown Error"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(WinsockErrorName(c.code), c.name) << c.code;
}

TEST(SocketErrors, HostErrnoValuesMapToTheSocketNumbers) {
    EXPECT_EQ(WinsockFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockFromErrno(EPIPE), 10054);
    EXPECT_EQ(WinsockFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WinsockFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WinsockFromErrno(EHOSTUNREACH), 10065);
}

TEST(Socket, ConnectStatesAndTheDisconnectedEvent) {
    test::Listener listener;
    CSocket s(true);
    EXPECT_TRUE(s.DisconnectedEvent().IsSet()) << "set from construction";
    EXPECT_EQ(s.Kind(), CSocket::kKindNotUsed);
    EXPECT_EQ(s.PeerAddressText(), "NOT CONNECTED");
    ASSERT_EQ(s.ConnectByAddress(0x7F000001, listener.Port()), 0);
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(s.Kind(), CSocket::kKindTcpClient);
    EXPECT_EQ(s.PeerPort(), listener.Port());
    EXPECT_FALSE(s.DisconnectedEvent().IsSet());
    EXPECT_EQ(s.PeerAddressText(), "127.0.0.1");
    EXPECT_EQ(s.BlockingState(), CSocket::kNotBlocking);
    s.TcpDisconnect();
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(s.DisconnectedEvent().IsSet());
    EXPECT_EQ(s.Kind(), CSocket::kKindNotUsed);
}

TEST(Socket, LocalhostInCapitalsReachesTheLoopbackAddress) {
    test::Listener listener;
    CSocket s;
    ASSERT_EQ(s.ConnectByName("LOCALHOST", listener.Port()), 0);
    EXPECT_EQ(s.PeerAddressText(), "127.0.0.1");
    CSocket dotted;
    EXPECT_EQ(dotted.ConnectByName("127.0.0.1", listener.Port()), 0);
}

TEST(Socket, ConnectFailuresReturnTheSocketError) {
    CSocket s;
    EXPECT_EQ(s.ConnectByName("no-such-host.invalid", 7501), 11001);
    uint16_t closedPort;
    {
        test::Listener gone;
        closedPort = gone.Port();
    }
    EXPECT_EQ(s.ConnectByAddress(0x7F000001, closedPort), 10061);
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(s.DisconnectedEvent().IsSet());
}

TEST(Socket, AKilledSocketFailsItsNextConnectOnceWith10058) {
    test::Listener listener;
    CSocket s;
    s.KillSocket();
    EXPECT_TRUE(s.KilledFlag());
    EXPECT_EQ(s.ConnectByAddress(0x7F000001, listener.Port()), 10058);
    EXPECT_FALSE(s.KilledFlag());
    EXPECT_EQ(s.ConnectByAddress(0x7F000001, listener.Port()), 0);
}

TEST(Socket, KillFromAnotherThreadBreaksABlockingReceive) {
    test::Listener listener;
    CSocket s;
    ASSERT_EQ(s.ConnectByAddress(0x7F000001, listener.Port()), 0);
    const int server = listener.Accept();
    int result = 99;
    std::thread owner([&] {
        char c;
        result = s.ReceivePiece(&c, 1);
    });
    while (s.BlockingState() != CSocket::kBlockTcpReceive)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.KillSocket();
    owner.join();
    EXPECT_LE(result, 0);
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(s.DisconnectedEvent().IsSet());
    EXPECT_EQ(s.BlockingState(), CSocket::kNotBlocking);
    ::close(server);
}

TEST(Socket, KillBreaksAConnectThatGetsNoAnswer) {
    CSocket s;
    std::atomic<bool> done{false};
    std::thread killer([&] {
        while (s.BlockingState() != CSocket::kBlockConnect && !done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        s.KillSocket();
    });
    // 192.0.2.0/24 is reserved for documentation: nothing answers there
    // (or the network is unreachable, which fails at once).
    const auto start = std::chrono::steady_clock::now();
    const int32_t rc = s.ConnectByAddress(0xC0000201, 7501);
    done.store(true);
    killer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(s.Connected());
}

TEST(Socket, SendTimeoutFollowsTheCaller) {
    test::Listener listener;
    CSocket s;
    EXPECT_EQ(s.SendTimeoutMs(), 120000);
    ASSERT_EQ(s.ConnectByAddress(0x7F000001, listener.Port()), 0);
    EXPECT_TRUE(s.SetSendTimeout(2500));
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(s.Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 2);
    EXPECT_EQ(tv.tv_usec, 500000);
    int nodelay = 0;
    len = sizeof nodelay;
    getsockopt(s.Descriptor(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(nodelay, 0) << "requests must leave in one segment";
}

TEST(SocketSettings, MissingValuesAreCreatedWithTheirDefaults) {
    test::PrivateRegistry empty;
    test::DiagCapture diag;
    ReloadSocketSettings();
    const SocketSettings& s = Settings();
    EXPECT_EQ(s.maxSendPacketSize, 16000);
    EXPECT_EQ(s.SendPieceSize(), 16000);
    EXPECT_EQ(s.resyncServerOnTimeout, 1);
    EXPECT_EQ(RegReadInteger(kSocketTimeoutsKey, "DefaultTimeoutForSendInMilliseconds", -5),
              120000);
    EXPECT_EQ(RegReadInteger(kConnectionKey, "ResyncServerOnTimeout", -5), 1);
    EXPECT_NE(diag.Text().find("Creating default entry for key: "
                               "Software\\Halvorsken\\KDMII\\Global\\Performance\\Socket\\"
                               "MaxSendPacketSize = 16000\n"),
              std::string::npos);

    ASSERT_TRUE(RegWriteDWord(kSocketPerformanceKey, "EnableMaxSendPacketSize", 1));
    ASSERT_TRUE(RegWriteDWord(kSocketPerformanceKey, "MaxSendPacketSize", 1000));
    ASSERT_TRUE(RegWriteDWord(kSocketTimeoutsKey, "UseRegistryValues", 1));
    ASSERT_TRUE(RegWriteDWord(kSocketTimeoutsKey, "DefaultTimeoutForSendInMilliseconds", 7000));
    ReloadSocketSettings();
    EXPECT_EQ(Settings().SendPieceSize(), 1000);
    EXPECT_EQ(Settings().InitialSendTimeoutMs(), 7000);
    EXPECT_NE(diag.Text().find("Using new send timeout value [7000 ms]\n"), std::string::npos);
    EXPECT_NE(diag.Text().find("Max send packet size enabled: 1000"), std::string::npos);

    // The next suites read an empty store again.
    ::unlink(empty.Path().c_str());
    platform::ConfigStore::ResetDefaultForTesting();
    ReloadSocketSettings();
}

} // namespace
} // namespace kdm
