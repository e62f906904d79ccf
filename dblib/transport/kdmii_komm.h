// The command channel over a framed connection: the housekeeping requests a
// server may send at any time, and the login of the main channel and the
// back channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/sync.h"
#include "transport/ip_connection.h"

namespace kdm {

inline constexpr uint32_t kCmdInquiry = 0x00FF0001;
inline constexpr uint32_t kCmdConnectReq = 0x00FF0002;
inline constexpr uint32_t kCmdConnect = 0x00FF0003;
inline constexpr uint32_t kCmdConnect2 = 0x00FF0004;
inline constexpr uint32_t kCmdDisconnect = 0x00FF0005;
inline constexpr uint32_t kCmdMultiConnectReq = 0x00FF0030;
inline constexpr uint32_t kCmdMultiConnect = 0x00FF0031;
inline constexpr uint32_t kCmdSyncTimeStep = 0xFE000005;
inline constexpr uint32_t kCmdSyncTime = 0xFE000006;
inline constexpr uint32_t kSyncParamErrorWord = 0xFFFFFFFF;
inline constexpr int32_t kSyncTimeMaxCount = 50;
inline constexpr int kSyncStepSeconds = 30;
inline constexpr int kLoginAnswerSeconds = 30;
inline constexpr size_t kLoginTextMax = 32;

enum WaitForCommandResult : int {
    kWaitCommand = 0,
    kWaitTimedOut = 4,
    kWaitDisconnected = 5,
};

// Writes the client's identity after the command word 0.
void PutInquiryAnswer(CKDMIIBuf& buffer);

class CKDMIIKomm : public CIPConnection {
public:
    explicit CKDMIIKomm(bool keepAlive = false) : CIPConnection(keepAlive) {}

    // Returns kWaitCommand with a command not handled here (the buffer is
    // positioned after its command word), kWaitTimedOut, or
    // kWaitDisconnected after a server Disconnect. timeoutSeconds -1 waits
    // without limit.
    int WaitForCommand(uint32_t* command, bool* reply, int timeoutSeconds) override;
    // The same, receiving into (and answering from) the caller's buffer.
    int WaitForCommandInto(CKDMIIBuf& buffer, uint32_t* command, bool* reply, int timeoutSeconds);

protected:
    bool HandleInterleavedRequest(CKDMIIBuf& buffer) override;

private:
    enum Handled { kNotHousekeeping, kAnswered, kPeerDisconnected };
    // Handles the command just read from `buffer`; a SyncTime exchange that
    // ends on another command leaves that command in `buffer` with *pending.
    Handled HandleHousekeeping(CKDMIIBuf& buffer, uint32_t identity, bool reply, bool* pending);
    void AnswerSyncTime(CKDMIIBuf& buffer, bool* pending);
};

// Failure kinds of a login; the connect results follow from them.
enum LoginFailureKind : int32_t {
    kFailNone = 0,
    kFailHostNotFound = 1,
    kFailLoginRefused = 2,
    kFailBadUser = 3,
    kFailConnectionLimit = 4,
    kFailClientMismatch = 5,
    kFailInterfaceMismatch = 6,
    kFailPortDisabled = 7,
    kFailSecondUser = 8,
    kFailUnknown = 9,
};

int32_t FailureKindFromErrorType(int32_t errorType);
// Database_Connect's result for a failed connect.
int32_t ConnectResultFromFailureKind(int32_t kind);

// Lower-case hexadecimal MD5 of a text.
std::string Md5Hex(const std::string& text);
// The challenge response: MD5 of (MD5 of the password, then the challenge),
// the joined text cut to `cut` characters when cut > 0.
std::string ChallengeResponse(const std::string& password, const std::string& challenge,
                              size_t cut);

class CInternetClient : public CKDMIIKomm {
public:
    CInternetClient();

    bool Login(const char* host, uint16_t port, const char* user, const char* password,
               int32_t clientKind, int32_t option);
    bool LoginTwoUsers(const char* host, uint16_t port, const char* user, const char* password,
                       const char* secondUser, const char* secondPassword, int32_t clientKind,
                       int32_t option);
    bool AttachBackChannel(const char* host, uint16_t port, const CInternetClient& main);
    // A main channel says goodbye and waits up to `seconds` for the answer.
    // True when the server acknowledged it. Never throws.
    bool Disconnect(int seconds);

    int32_t FailureKind() const { return m_failureKind; }
    int32_t ServerErrorCode() const { return m_serverError; }
    int32_t LastConnectResult() const { return m_lastConnectResult; }
    int32_t MainChannelId() const { return m_mainChannelId; }
    const std::string& ChannelKey() const { return m_channelKey; }
    const std::string& StatusText() const { return m_statusText; }
    bool IsBackChannel() const { return m_backChannel; }
    bool KillRequested() const { return m_killRequested.load(); }
    platform::Event& KillEvent() { return m_killEvent; }

protected:
    void KillHook() override;

private:
    // Sends the request built in the buffer and reads the status word of
    // its answer. False (and the failure kind set) when refused or late.
    bool Exchange(const char* refusalFormat);
    bool ConnectMain(const char* host, uint16_t port);
    // Answer values of the login steps; false with the failure kind set.
    bool TakeChallenge(std::string* challenge);
    bool TakeMainChannel(const std::string& firstResponse);

    bool m_backChannel = false;
    int32_t m_lastConnectResult = 0;
    int32_t m_serverError = 0;
    int32_t m_failureKind = kFailNone;
    int32_t m_mainChannelId = 0;
    std::string m_channelKey;
    std::string m_statusText = "UNKNOWN";
    std::atomic<bool> m_killRequested{false};
    platform::Event m_killEvent;
};

} // namespace kdm
