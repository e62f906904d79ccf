#include "transport/kdmii_komm.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/diag_capture.h"
#include "transport/loopback.h"

namespace kdm {
namespace {

// Reads one login request on a peer connection and checks its command word.
CKDMIIBuf& Expect(CIPConnection& peer, uint32_t command) {
    EXPECT_TRUE(peer.ReceiveIntoTimed(peer.ReceiveBuffer(), 10));
    CKDMIIBuf& b = peer.ReceiveBuffer();
    uint32_t word = 0;
    EXPECT_EQ(b.GetRawU32(&word), 0);
    EXPECT_EQ(word, command | kCommandReplyFlag);
    return b;
}

std::string GetText(CKDMIIBuf& b) {
    CBasicString s;
    EXPECT_EQ(b.GetString(s), 0);
    return s.c_str();
}

int32_t GetInt(CKDMIIBuf& b) {
    int32_t v = -1;
    EXPECT_EQ(b.GetInt32(&v), 0);
    return v;
}

void Answer(CIPConnection& peer, uint32_t status, const std::function<void(CKDMIIBuf&)>& values) {
    CKDMIIBuf& b = peer.SendBufferRef();
    b.Reset();
    b.PutRawU32(status);
    values(b);
    peer.Send();
}

TEST(ChallengeResponse, HashTextsAreLowerCaseHexOfTheJoinedText) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("secret"), "5ebe2294ecd0e0f08eab7690d2a6ee69");
    const std::string challenge = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(ChallengeResponse("secret", challenge, 64), "848b4c0f455377fdfcc23483a4c45e34");
    EXPECT_EQ(ChallengeResponse("secret", challenge + "tail", 64),
              "848b4c0f455377fdfcc23483a4c45e34")
        << "cut at 64 characters";
    EXPECT_NE(ChallengeResponse("secret", challenge + "tail", 0),
              "848b4c0f455377fdfcc23483a4c45e34");
}

TEST(Login, ChallengeLoginAndBackChannelAttachOnTheWire) {
    test::Listener listener;
    const std::string password40(40, 'p');
    const std::string user40 = std::string(32, 'u') + "ignored!";
    std::thread server([&] {
        CIPConnection main;
        main.AdoptConnected(listener.Accept());
        CKDMIIBuf& req = Expect(main, kCmdConnectReq);
        EXPECT_EQ(GetText(req), std::string(32, 'u')) << "user cut to 32";
        EXPECT_EQ(GetInt(req), 17);
        EXPECT_EQ(GetInt(req), 0);
        EXPECT_TRUE(req.IsFullyRead());
        const std::string challenge = "0123456789abcdef0123456789abcdefXYZ";
        Answer(main, 0, [&](CKDMIIBuf& b) { b.PutString(challenge.c_str()); });
        CKDMIIBuf& connect = Expect(main, kCmdConnect);
        const std::string response = GetText(connect);
        EXPECT_EQ(response, ChallengeResponse(std::string(32, 'p'), challenge.substr(0, 32), 64))
            << "password and challenge cut to 32";
        Answer(main, 0, [](CKDMIIBuf& b) { b.PutInt32(4711); });

        CIPConnection back;
        back.AdoptConnected(listener.Accept());
        CKDMIIBuf& attach = Expect(back, kCmdConnect2);
        EXPECT_EQ(GetText(attach), Md5Hex(response));
        EXPECT_EQ(GetInt(attach), 4711);
        Answer(back, 0, [](CKDMIIBuf&) {});

        Expect(main, kCmdDisconnect);
        Answer(main, 0, [](CKDMIIBuf&) {});
    });
    CInternetClient client;
    EXPECT_EQ(client.StatusText(), "UNKNOWN");
    ASSERT_TRUE(
        client.Login("127.0.0.1", listener.Port(), user40.c_str(), password40.c_str(), 17, 0));
    EXPECT_EQ(client.MainChannelId(), 4711);
    EXPECT_EQ(client.StatusText(), "NO ERROR");
    EXPECT_EQ(client.ChannelKey().size(), 32u);
    CInternetClient back;
    ASSERT_TRUE(back.AttachBackChannel("127.0.0.1", listener.Port(), client));
    EXPECT_TRUE(back.IsBackChannel());
    EXPECT_TRUE(client.Disconnect(5)) << "acknowledged";
    EXPECT_FALSE(client.Connected());
    server.join();
}

TEST(Login, RefusalsSetTheFailureKindAndTheStatusText) {
    struct Case {
        int32_t errorType;
        bool atConnect; // refused at the second step
        int32_t kind;
        int32_t result;
    } cases[] = {
        {10, false, 3, 302}, {99, false, 2, 302}, {1, false, 4, 303}, {2, true, 5, 304},
        {3, false, 6, 305},  {13, true, 7, 307},  {4, false, 8, 306}, {14, false, 9, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.errorType);
        test::DiagCapture diag;
        test::Listener listener;
        std::thread server([&] {
            CIPConnection main;
            main.AdoptConnected(listener.Accept());
            Expect(main, kCmdConnectReq);
            auto refuse = [&](CKDMIIBuf& b) {
                b.PutInt32(555);
                b.PutInt32(c.errorType);
                b.PutString("go away");
            };
            if (c.atConnect) {
                Answer(main, 0, [](CKDMIIBuf& b) { b.PutString("abc"); });
                Expect(main, kCmdConnect);
            }
            Answer(main, 1, refuse);
        });
        CInternetClient client;
        EXPECT_FALSE(client.Login("127.0.0.1", listener.Port(), "u", "p", 17, 0));
        server.join();
        EXPECT_EQ(client.FailureKind(), c.kind);
        EXPECT_EQ(ConnectResultFromFailureKind(client.FailureKind()), c.result);
        EXPECT_EQ(client.ServerErrorCode(), 555);
        EXPECT_EQ(client.StatusText(), "go away");
        if (c.atConnect) {
            EXPECT_NE(diag.Text().find("CONNECT_REQ ERROR: go away\n"), std::string::npos);
        }
    }
}

TEST(Login, TransportFailuresAndAMissingMainChannel) {
    test::DiagCapture diag;
    uint16_t closedPort;
    {
        test::Listener gone;
        closedPort = gone.Port();
    }
    CInternetClient client;
    EXPECT_FALSE(client.Login("127.0.0.1", closedPort, "u", "p", 17, 0));
    EXPECT_EQ(client.FailureKind(), kFailHostNotFound);
    EXPECT_EQ(client.LastConnectResult(), 10061);
    EXPECT_EQ(ConnectResultFromFailureKind(client.FailureKind()), 301);

    test::Listener listener;
    std::thread server([&] {
        CIPConnection main;
        main.AdoptConnected(listener.Accept());
        Expect(main, kCmdConnectReq);
        main.TcpDisconnect(); // gone in the middle of the login
    });
    EXPECT_FALSE(client.Login("127.0.0.1", listener.Port(), "u", "p", 17, 0));
    server.join();
    EXPECT_EQ(client.FailureKind(), kFailHostNotFound);
    EXPECT_NE(diag.Text().find("FEHLER beim Empfangen: \n"), std::string::npos);
    EXPECT_NE(diag.Text().find("WSERROR: WSOCK RECEIVE DATA FAILED : WSAECONNRESET\n"),
              std::string::npos);

    CInternetClient back;
    EXPECT_FALSE(back.AttachBackChannel("127.0.0.1", listener.Port(), client));
    EXPECT_NE(diag.Text().find("### WRONG MAINCHANNEL-THREAD ID ###"), std::string::npos);
}

TEST(Login, TwoUsersAnswerTheCommonChallengeEach) {
    test::Listener listener;
    std::thread server([&] {
        CIPConnection main;
        main.AdoptConnected(listener.Accept());
        CKDMIIBuf& req = Expect(main, kCmdMultiConnectReq);
        EXPECT_EQ(GetInt(req), 2);
        EXPECT_EQ(GetText(req), "first");
        EXPECT_EQ(GetText(req), "second");
        EXPECT_EQ(GetInt(req), 17);
        EXPECT_EQ(GetInt(req), 0);
        Answer(main, 0, [](CKDMIIBuf& b) { b.PutString("challenge"); });
        CKDMIIBuf& connect = Expect(main, kCmdMultiConnect);
        const std::string r1 = GetText(connect);
        EXPECT_EQ(r1, ChallengeResponse("pw1", "challenge", 0));
        EXPECT_EQ(GetText(connect), ChallengeResponse("pw2", "challenge", 0));
        Answer(main, 0, [](CKDMIIBuf& b) { b.PutInt32(9); });
    });
    CInternetClient client;
    ASSERT_TRUE(
        client.LoginTwoUsers("127.0.0.1", listener.Port(), "first", "pw1", "second", "pw2", 17, 0));
    server.join();
    EXPECT_EQ(client.MainChannelId(), 9);
    EXPECT_EQ(client.ChannelKey(), Md5Hex(ChallengeResponse("pw1", "challenge", 0)));
}

} // namespace
} // namespace kdm
