#include "transport/kdmii_komm.h"

#include "frame/exceptions.h"
#include "frame/md5.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "transport/socket_errors.h"

namespace kdm {

void PutInquiryAnswer(CKDMIIBuf& buffer) {
    buffer.Reset();
    buffer.PutRawU32(0);
    buffer.PutString("Halvorsken GmbH & CoKG");
    buffer.PutString("Kaldomeris II");
    buffer.PutString("");
    buffer.PutString("");
    const int32_t values[13] = {0, 4, 0, 570, 3, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int32_t v : values)
        buffer.PutInt32(v);
}

// --- command channel ----------------------------------------------------------

void CKDMIIKomm::AnswerSyncTime(CKDMIIBuf& buffer, bool* pending) {
    int32_t count = 0;
    const int status = buffer.GetInt32(&count);
    if (status != 0 || count < 1 || count > kSyncTimeMaxCount) {
        diag::Error("RESYNCHRONISATION ERROR\n");
        buffer.Reset();
        buffer.PutRawU32(kSyncParamErrorWord);
        buffer.PutInt32(0);
        buffer.PutInt32(0);
        buffer.PutString("SYNC PARAM ERROR");
        SendBuffer(buffer, true);
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        bool timedOut = false;
        const int rc = ReceiveFrameInto(buffer, kSyncStepSeconds, &timedOut);
        if (rc != 0)
            Fail(buffer, kTextReceiveFailed, rc, kDirectionReceive);
        if (timedOut)
            return;
        if (buffer.PeekCommandWord() != (kCmdSyncTimeStep | kCommandReplyFlag) ||
            buffer.Remaining() != 4) {
            // Another message ends the exchange; it is handled as it stands.
            *pending = true;
            return;
        }
        buffer.Reset();
        const platform::ClockDateTime now = platform::NowLocal();
        const TNativeDateTime stamp{now.milliseconds, now.day};
        buffer.PutRawU32(0);
        buffer.PutDateTime(&stamp);
        SendBuffer(buffer, true);
    }
}

CKDMIIKomm::Handled CKDMIIKomm::HandleHousekeeping(CKDMIIBuf& buffer, uint32_t identity, bool reply,
                                                   bool* pending) {
    (void)reply;
    switch (identity) {
    case kCmdSyncTime:
        AnswerSyncTime(buffer, pending);
        return kAnswered;
    case kCmdInquiry:
        PutInquiryAnswer(buffer);
        SendBuffer(buffer, true);
        return kAnswered;
    case kCmdDisconnect:
        buffer.Reset();
        buffer.PutRawU32(0);
        try {
            SendBuffer(buffer, true);
        } catch (const CIPConnectionException&) {
            // The peer may already be gone; it asked for the end anyway.
        }
        ResetAndDisconnect();
        return kPeerDisconnected;
    case kCmdPing:
        buffer.Reset();
        buffer.PutInt32(0);
        SendBuffer(buffer, true);
        return kAnswered;
    default:
        return kNotHousekeeping;
    }
}

int CKDMIIKomm::WaitForCommand(uint32_t* command, bool* reply, int timeoutSeconds) {
    return WaitForCommandInto(ReceiveBuffer(), command, reply, timeoutSeconds);
}

int CKDMIIKomm::WaitForCommandInto(CKDMIIBuf& buffer, uint32_t* command, bool* reply,
                                   int timeoutSeconds) {
    bool pending = false;
    for (;;) {
        if (!pending) {
            if (timeoutSeconds < 0)
                ReceiveInto(buffer);
            else if (!ReceiveIntoTimed(buffer, timeoutSeconds))
                return kWaitTimedOut;
        }
        pending = false;
        uint32_t word = 0;
        if (buffer.GetRawU32(&word) != 0)
            continue; // an empty frame carries no command
        const uint32_t identity = word & ~kCommandReplyFlag;
        const bool wantsReply = (word & kCommandReplyFlag) != 0;
        switch (HandleHousekeeping(buffer, identity, wantsReply, &pending)) {
        case kAnswered:
            continue;
        case kPeerDisconnected:
            return kWaitDisconnected;
        case kNotHousekeeping:
            break;
        }
        *command = identity;
        *reply = wantsReply;
        return kWaitCommand;
    }
}

bool CKDMIIKomm::HandleInterleavedRequest(CKDMIIBuf& buffer) {
    // Answers begin with a small status word, never with these commands.
    const uint32_t word = buffer.PeekCommandWord();
    const uint32_t identity = word & ~kCommandReplyFlag;
    const bool isRequest = word == kCmdInquiry || word == kCmdSyncTime ||
                           word == (kCmdPing | kCommandReplyFlag) ||
                           word == (kCmdDisconnect | kCommandReplyFlag);
    if (!isRequest)
        return false;
    buffer.ConsumeWord(word);
    bool pending = false;
    if (HandleHousekeeping(buffer, identity, (word & kCommandReplyFlag) != 0, &pending) ==
        kPeerDisconnected)
        throw CIPConnectionError(kTextReceiveFailed, kSockECONNRESET, kDirectionReceive, this);
    // A SyncTime exchange cut short by the awaited answer hands it on.
    return !pending;
}

// --- login --------------------------------------------------------------------

int32_t FailureKindFromErrorType(int32_t errorType) {
    switch (errorType) {
    case 10:
        return kFailBadUser;
    case 1:
        return kFailConnectionLimit;
    case 2:
        return kFailClientMismatch;
    case 3:
        return kFailInterfaceMismatch;
    case 13:
        return kFailPortDisabled;
    case 4:
        return kFailSecondUser;
    case 14:
        return kFailUnknown;
    default:
        return kFailLoginRefused;
    }
}

int32_t ConnectResultFromFailureKind(int32_t kind) {
    switch (kind) {
    case kFailHostNotFound:
        return 301;
    case kFailLoginRefused:
    case kFailBadUser:
        return 302;
    case kFailConnectionLimit:
        return 303;
    case kFailClientMismatch:
        return 304;
    case kFailInterfaceMismatch:
        return 305;
    case kFailSecondUser:
        return 306;
    case kFailPortDisabled:
        return 307;
    default:
        return 300;
    }
}

std::string Md5Hex(const std::string& text) {
    char hex[33];
    CMD5::HexDigest(text.data(), text.size(), hex);
    return std::string(hex, 32);
}

std::string ChallengeResponse(const std::string& password, const std::string& challenge,
                              size_t cut) {
    std::string joined = Md5Hex(password) + challenge;
    if (cut > 0 && joined.size() > cut)
        joined.resize(cut);
    return Md5Hex(joined);
}

namespace {
std::string Cut(const char* text) {
    std::string s = text != nullptr ? text : "";
    if (s.size() > kLoginTextMax)
        s.resize(kLoginTextMax);
    return s;
}
} // namespace

CInternetClient::CInternetClient() : CKDMIIKomm(true) {}

void CInternetClient::KillHook() {
    m_killRequested.store(true);
    m_killEvent.Set();
}

bool CInternetClient::Exchange(const char* refusalFormat) {
    CKDMIIBuf& buffer = ReceiveBuffer();
    if (!SendReceiveTimed(kLoginAnswerSeconds)) {
        // No answer in time: a refused login as far as the caller can tell.
        m_failureKind = kFailLoginRefused;
        return false;
    }
    uint32_t status = 0;
    if (buffer.GetRawU32(&status) != 0) {
        m_failureKind = kFailLoginRefused;
        return false;
    }
    if (status == 0)
        return true;
    int32_t code = 0;
    int32_t type = 0;
    CBasicString message;
    if (buffer.GetInt32(&code) == 0 && buffer.GetInt32(&type) == 0)
        buffer.GetString(message);
    m_serverError = code;
    m_failureKind = FailureKindFromErrorType(type);
    m_statusText = message.c_str();
    if (refusalFormat != nullptr)
        diag::Error(refusalFormat, message.c_str());
    buffer.Reset();
    return false;
}

bool CInternetClient::TakeChallenge(std::string* challenge) {
    CKDMIIBuf& buffer = ReceiveBuffer();
    CBasicString text;
    if (buffer.GetString(text, kLoginTextMax) != 0) {
        m_failureKind = kFailLoginRefused;
        return false;
    }
    buffer.Reset();
    *challenge = text.c_str();
    return true;
}

bool CInternetClient::TakeMainChannel(const std::string& firstResponse) {
    CKDMIIBuf& buffer = ReceiveBuffer();
    int32_t id = 0;
    if (buffer.GetInt32(&id) != 0) {
        m_failureKind = kFailLoginRefused;
        return false;
    }
    buffer.Reset();
    m_mainChannelId = id;
    m_channelKey = Md5Hex(firstResponse);
    m_statusText = "NO ERROR";
    return true;
}

bool CInternetClient::ConnectMain(const char* host, uint16_t port) {
    m_failureKind = kFailNone;
    m_mainChannelId = 0;
    m_channelKey.clear();
    m_lastConnectResult = ConnectByName(host, port);
    if (m_lastConnectResult != 0) {
        m_failureKind = kFailHostNotFound;
        return false;
    }
    return true;
}

namespace {
// Errors of the transport inside a login end it with the kind set so far.
template <class Body> bool GuardLogin(CInternetClient& client, int32_t* kind, Body body) {
    try {
        return body();
    } catch (const CIPConnectionError& e) {
        diag::Error(e.Direction() == kDirectionReceive ? "FEHLER beim Empfangen: \n"
                                                       : "FEHLER beim Senden: \n");
        diag::Error("WSERROR: %s\n", e.Message());
        *kind = kFailHostNotFound;
    } catch (const char* text) {
        diag::Error("ACCESS ERROR: %s\n", text != nullptr ? text : "");
    }
    client.ResetAndDisconnect();
    return false;
}
} // namespace

bool CInternetClient::Login(const char* host, uint16_t port, const char* user, const char* password,
                            int32_t clientKind, int32_t option) {
    return GuardLogin(*this, &m_failureKind, [&] {
        if (!ConnectMain(host, port))
            return false;
        CKDMIIBuf& buffer = SendBufferRef();
        buffer.BeginCommand(kCmdConnectReq, true);
        buffer.PutString(Cut(user).c_str());
        buffer.PutInt32(clientKind);
        buffer.PutInt32(option);
        if (!Exchange(nullptr))
            return false;
        std::string challenge;
        if (!TakeChallenge(&challenge))
            return false;
        const std::string response = ChallengeResponse(Cut(password), challenge, 64);
        buffer.BeginCommand(kCmdConnect, true);
        buffer.PutString(response.c_str());
        if (!Exchange("CONNECT_REQ ERROR: %s\n"))
            return false;
        return TakeMainChannel(response);
    });
}

bool CInternetClient::LoginTwoUsers(const char* host, uint16_t port, const char* user,
                                    const char* password, const char* secondUser,
                                    const char* secondPassword, int32_t clientKind,
                                    int32_t option) {
    return GuardLogin(*this, &m_failureKind, [&] {
        if (!ConnectMain(host, port))
            return false;
        CKDMIIBuf& buffer = SendBufferRef();
        buffer.BeginCommand(kCmdMultiConnectReq, true);
        buffer.PutInt32(2);
        buffer.PutString(Cut(user).c_str());
        buffer.PutString(Cut(secondUser).c_str());
        buffer.PutInt32(clientKind);
        buffer.PutInt32(option);
        if (!Exchange("%s\n"))
            return false;
        std::string challenge;
        if (!TakeChallenge(&challenge))
            return false;
        const std::string first = ChallengeResponse(Cut(password), challenge, 0);
        const std::string second = ChallengeResponse(Cut(secondPassword), challenge, 0);
        buffer.BeginCommand(kCmdMultiConnect, true);
        buffer.PutString(first.c_str());
        buffer.PutString(second.c_str());
        if (!Exchange("%s\n"))
            return false;
        return TakeMainChannel(first);
    });
}

bool CInternetClient::AttachBackChannel(const char* host, uint16_t port,
                                        const CInternetClient& main) {
    if (main.MainChannelId() == 0) {
        diag::Error("\n\nBACKCHANNEL CONNECTION FAILED\n\n     ### WRONG MAINCHANNEL-THREAD ID "
                    "###\n\n\n");
        m_failureKind = kFailLoginRefused;
        return false;
    }
    return GuardLogin(*this, &m_failureKind, [&] {
        m_backChannel = true;
        if (!ConnectMain(host, port))
            return false;
        CKDMIIBuf& buffer = SendBufferRef();
        buffer.BeginCommand(kCmdConnect2, true);
        buffer.PutString(main.ChannelKey().c_str());
        buffer.PutInt32(main.MainChannelId());
        if (!Exchange(" LOGIN BACKCHANNEL FAILED: [%s]\n"))
            return false;
        buffer.Reset();
        m_statusText = "NO ERROR";
        return true;
    });
}

bool CInternetClient::Disconnect(int seconds) {
    try {
        if (m_backChannel || !Connected()) {
            ResetAndDisconnect();
            return !m_backChannel ? false : true;
        }
        CKDMIIBuf& buffer = SendBufferRef();
        buffer.BeginCommand(kCmdDisconnect, true);
        bool ok = false;
        if (SendReceiveTimed(seconds)) {
            uint32_t status = 1;
            ok = buffer.GetRawU32(&status) == 0 && status == 0;
        }
        ResetAndDisconnect();
        return ok;
    } catch (...) {
        try {
            ResetAndDisconnect();
        } catch (...) {
        }
        return false;
    }
}

} // namespace kdm
