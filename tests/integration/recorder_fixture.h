// A test that owns one kdmrecorder and a client session against it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/exceptions.h"
#include "support/recorder_process.h"
#include "transport/async_connection.h"
#include "transport/commands.h"

namespace kdm::test {

inline constexpr uint16_t kMainPort = 7501;
inline constexpr uint16_t kBackPort = 7601;
inline constexpr int32_t kDatabaseClient = 17;

class RecorderTest : public ::testing::Test {
protected:
    void StartServer(std::vector<std::string> args) {
        server = std::make_unique<RecorderProcess>(std::move(args));
        ASSERT_TRUE(server->Started()) << server->StartError();
    }
    void TearDown() override {
        // A crash or a sanitizer report in the service shows here.
        if (server) {
            EXPECT_EQ(server->Stop(), 0) << "kdmrecorder did not end cleanly";
        }
    }
    TConnectParams Params(const std::string& user, const std::string& password) const {
        TConnectParams p;
        p.host = server->Address();
        p.user = user;
        p.password = password;
        return p;
    }
    // ConnectAndNegotiate, with a raised error reported as a test failure
    // (the library's exceptions are not std::exception).
    static int32_t Negotiated(TAsyncConnection& conn, const TConnectParams& params,
                              const ConnectProgress& progress, int32_t first, int32_t second) {
        try {
            return conn.ConnectAndNegotiate(params, progress, first, second);
        } catch (const EException& e) {
            ADD_FAILURE() << "ConnectAndNegotiate raised: " << e.Message();
            return -1;
        }
    }
    // The reply without its "OK "; a failure when it is not OK.
    std::string Ok(const std::string& line, int64_t timeoutMs = 20000) {
        const std::string reply = server->Command(line, timeoutMs);
        EXPECT_EQ(reply.substr(0, 2), "OK") << line << " -> " << reply;
        return reply.size() > 3 ? reply.substr(3) : "";
    }
    // Tokens of the session's trace.
    std::vector<std::string> Trace(const std::string& session = "last") {
        std::vector<std::string> tokens;
        std::string text = Ok("TRACE " + session);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(' ', start);
            if (end == std::string::npos)
                end = text.size();
            tokens.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return tokens;
    }

    std::unique_ptr<RecorderProcess> server;
};

// A request with a chosen identity and no values.
class ProbeParams : public CCMD_Base_Params {
public:
    explicit ProbeParams(uint32_t identity, const char* name = "Probe")
        : CCMD_Base_Params(identity, name) {}
    int Read(CKDMIIBuf&) override { return kStatusOk; }
    int Write(CKDMIIBuf&) override { return kStatusOk; }
};

} // namespace kdm::test
