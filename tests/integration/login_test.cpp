// Logins against kdmrecorder: success, every refusal and its connect
// result, the cut of long passwords, two users, an aborted connect and a
// server that never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "integration/recorder_fixture.h"
#include "transport/kdmii_komm.h"

namespace kdm::test {
namespace {

using Clock = std::chrono::steady_clock;

class Login : public RecorderTest {};

TEST_F(Login, SucceedsAttachesBothChannelsAndNegotiates) {
    StartServer({"--account", "alice:secret"});
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    int32_t kind = -5;
    ASSERT_EQ(conn.Connect(Params("alice", "secret"), {}, &kind), kConnectOk);
    EXPECT_EQ(kind, kFailNone);
    EXPECT_TRUE(conn.Connected());
    EXPECT_EQ(conn.MainClient()->StatusText(), "NO ERROR");
    const int32_t id = conn.MainClient()->MainChannelId();
    EXPECT_NE(id, 0);
    // The service knows the session under the identifier it handed out.
    EXPECT_EQ(Ok("SESSIONS"), "1 " + std::to_string(id) + ":alice:attached");

    conn.Disconnect();
    EXPECT_FALSE(conn.Connected());
    ASSERT_TRUE(server->WaitStat("sessions", 0, 5000));
    const std::vector<std::string> trace = Trace(std::to_string(id));
    EXPECT_NE(std::find(trace.begin(), trace.end(), "DISCONNECT"), trace.end());
}

TEST_F(Login, NegotiationGivesTheAgreedValueOrResult102) {
    StartServer({"--account", "alice:secret"});
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    // By default the service agrees to the client's first value.
    ASSERT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 7, 9), 0);
    EXPECT_TRUE(conn.NegotiationAccepted());
    EXPECT_EQ(conn.NegotiationState(), 7);

    Ok("SET negotiate=accept:42");
    ASSERT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 7, 9), 0);
    EXPECT_EQ(conn.NegotiationState(), 42);

    Ok("SET negotiate=refuse");
    EXPECT_EQ(Negotiated(conn, Params("alice", "secret"), {}, 7, 9), 102);
    EXPECT_FALSE(conn.Connected());
    EXPECT_TRUE(server->WaitStat("sessions", 0, 5000));
}

struct Refusal {
    const char* name;
    const char* account; // the server's account
    const char* user;    // what the client logs in with
    const char* password;
    const char* secondUser;
    const char* secondPassword;
    int32_t clientKind;
    int32_t failureKind;
    int32_t connectResult;
};

TEST_F(Login, EveryRefusalMapsToItsFailureKindAndConnectResult) {
    const Refusal cases[] = {
        {"type 10 at ConnectReq", "t10:pw,refuse=connectreq:10", "t10", "pw", "", "", 17, 3, 302},
        {"unlisted type 99 at Connect", "t99:pw,refuse=connect:99", "t99", "pw", "", "", 17, 2,
         302},
        {"type 1 at ConnectReq", "t1:pw,refuse=connectreq:1", "t1", "pw", "", "", 17, 4, 303},
        {"type 2 at Connect", "t2:pw,refuse=connect:2", "t2", "pw", "", "", 17, 5, 304},
        {"type 3 at ConnectReq", "t3:pw,refuse=connectreq:3", "t3", "pw", "", "", 17, 6, 305},
        {"type 4 at Connect", "t4:pw,refuse=connect:4", "t4", "pw", "", "", 17, 8, 306},
        {"type 13 at ConnectReq", "t13:pw,refuse=connectreq:13", "t13", "pw", "", "", 17, 7, 307},
        {"type 14 at Connect", "t14:pw,refuse=connect:14", "t14", "pw", "", "", 17, 9, 300},
        {"wrong password", "alice:secret", "alice", "Secret", "", "", 17, 3, 302},
        {"unknown user", "alice:secret", "mallory", "secret", "", "", 17, 3, 302},
        {"client kind of another service", "alice:secret", "alice", "secret", "", "", 9, 5, 304},
        {"wrong second password", "bob:pw2", "alice", "secret", "bob", "nope", 17, 8, 306},
        {"second user unknown", "alice:secret", "alice", "secret", "eve", "pw", 17, 8, 306},
    };
    std::vector<std::string> args;
    for (const Refusal& c : cases)
        args.insert(args.end(), {"--account", c.account});
    StartServer(args);
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        TConnectParams params = Params(c.user, c.password);
        params.secondUser = c.secondUser;
        params.secondPassword = c.secondPassword;
        TAsyncConnection conn(kMainPort, kBackPort, c.clientKind);
        int32_t kind = 0;
        EXPECT_EQ(conn.Connect(params, {}, &kind), kConnectFailed);
        EXPECT_EQ(kind, c.failureKind);
        EXPECT_FALSE(conn.Connected());
        EXPECT_EQ(Negotiated(conn, params, {}, 1, 0), c.connectResult);
    }
    // Every refused login left nothing open behind it.
    EXPECT_TRUE(server->WaitStat("open", 0, 5000));
    EXPECT_EQ(server->Stat("sessions"), 0);
}

TEST_F(Login, RefusalCarriesTheServersMessage) {
    StartServer({"--account", "alice:secret"});
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    int32_t kind = 0;
    ASSERT_EQ(conn.Connect(Params("alice", "wrong"), {}, &kind), kConnectFailed);
    EXPECT_EQ(conn.MainClient()->StatusText(), "Unknown username or bad password.");
    EXPECT_EQ(conn.MainClient()->ServerErrorCode(), 10);
}

TEST_F(Login, UnreachableHostGives301) {
    // Nothing listens on 127.0.0.250: the connection is refused.
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    TConnectParams params;
    params.host = "127.0.0.250";
    params.user = "alice";
    params.password = "secret";
    int32_t kind = 0;
    EXPECT_EQ(conn.Connect(params, {}, &kind), kConnectFailed);
    EXPECT_EQ(kind, kFailHostNotFound);
    EXPECT_EQ(Negotiated(conn, params, {}, 1, 0), 301);
}

TEST_F(Login, ConnectionLimitRefusesTheSessionBeyondIt) {
    StartServer({"--account", "alice:secret,limit=1"});
    TAsyncConnection first(kMainPort, kBackPort, kDatabaseClient);
    ASSERT_EQ(Negotiated(first, Params("alice", "secret"), {}, 1, 0), 0);
    TAsyncConnection second(kMainPort, kBackPort, kDatabaseClient);
    EXPECT_EQ(Negotiated(second, Params("alice", "secret"), {}, 1, 0), 303);
    // The slot comes free with the first session's end.
    first.Disconnect();
    ASSERT_TRUE(server->WaitStat("sessions", 0, 5000));
    EXPECT_EQ(Negotiated(second, Params("alice", "secret"), {}, 1, 0), 0);
}

TEST_F(Login, PasswordCountsUpToItsThirtySecondCharacter) {
    const std::string forty = "0123456789abcdefghijklmnopqrstuvWXYZ!?#%";
    ASSERT_EQ(forty.size(), 40u);
    StartServer({"--account", "long:" + forty});
    struct {
        const char* name;
        std::string password;
        int32_t result;
    } cases[] = {
        {"all 40", forty, 0},
        {"its first 32", forty.substr(0, 32), 0},
        {"differs after 32", forty.substr(0, 32) + "--------", 0},
        {"differs at 10", "012345678X" + forty.substr(10), 302},
        {"its first 31", forty.substr(0, 31), 302},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
        EXPECT_EQ(Negotiated(conn, Params("long", c.password), {}, 1, 0), c.result);
    }
}

TEST_F(Login, TwoUsersLogInTogether) {
    StartServer({"--account", "alice:secret", "--account", "bob:pw2"});
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    TConnectParams params = Params("alice", "secret");
    params.secondUser = "bob";
    params.secondPassword = "pw2";
    ASSERT_EQ(Negotiated(conn, params, {}, 3, 0), 0);
    EXPECT_EQ(conn.NegotiationState(), 3);
    EXPECT_EQ(Ok("SESSIONS"),
              "1 " + std::to_string(conn.MainClient()->MainChannelId()) + ":alice:attached");
}

TEST_F(Login, ProgressCallbackReturningZeroGives100WithBothChannelsClosed) {
    // Slow login answers keep each phase open long enough to be seen.
    StartServer({"--account", "alice:secret", "--login-delay", "400"});
    for (int32_t abortPhase : {kPhaseLogin, kPhaseBackChannel}) {
        SCOPED_TRACE("abort in phase " + std::to_string(abortPhase));
        TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
        int32_t seenPhase = -1;
        const int32_t result = Negotiated(
            conn, Params("alice", "secret"),
            [&](int32_t phase, int32_t phases) {
                EXPECT_EQ(phases, 3);
                seenPhase = phase;
                return phase != abortPhase;
            },
            1, 0);
        EXPECT_EQ(result, 100);
        EXPECT_EQ(seenPhase, abortPhase);
        EXPECT_FALSE(conn.Connected());
        EXPECT_FALSE(conn.MainClient()->Connected());
        // The service sees both connections go.
        EXPECT_TRUE(server->WaitStat("open", 0, 5000));
        EXPECT_EQ(server->Stat("sessions"), 0);
    }
}

TEST_F(Login, UnansweredConnectReqFailsAfterThirtySeconds) {
    StartServer({"--account", "alice:secret", "--connectreq-answer", "never"});
    // Both ways of connecting at once, so the test waits the limit only once.
    int32_t kind = 0;
    int32_t connectResult = 0;
    int32_t negotiatedResult = 0;
    const auto start = Clock::now();
    std::thread other([&] {
        TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
        negotiatedResult = Negotiated(conn, Params("alice", "secret"), {}, 1, 0);
    });
    TAsyncConnection conn(kMainPort, kBackPort, kDatabaseClient);
    connectResult = conn.Connect(Params("alice", "secret"), {}, &kind);
    other.join();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() /
        1000.0;
    EXPECT_EQ(connectResult, kConnectFailed);
    EXPECT_EQ(kind, kFailLoginRefused);
    EXPECT_EQ(negotiatedResult, 302);
    EXPECT_GE(seconds, 29.5);
    EXPECT_LT(seconds, 45.0);
}

} // namespace
} // namespace kdm::test
