#include "recorder/recorder_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "frame/exceptions.h"
#include "platform/clock.h"
#include "transport/async_channel.h"
#include "transport/commands.h"
#include "transport/frame_io.h"
#include "transport/kdmii_buf.h"
#include "transport/kdmii_komm.h"
#include "transport/socket.h"

namespace kdm::recorder {

namespace {
constexpr int32_t kSendTimeoutMs = 10000;
constexpr int64_t kLingerMs = 2000;
constexpr int64_t kTickMs = 10;
constexpr size_t kTraceKeep = 2000;
constexpr size_t kEndedTracesKeep = 64;
constexpr size_t kResultsKeep = 256;
constexpr size_t kLoginTextCeiling = 256;
constexpr size_t kChallengeLength = 32;
constexpr uint32_t kRefusedStatus = 1;

uint32_t LoadWord(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreWord(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

// Client requests carry 0x00FF in their upper half (bit 24 the reply flag);
// answers start with a status word, the error word 0xFFFFFFFF or a tag.
bool IsClientRequest(uint32_t word) {
    return (word & 0x00FF0000u) == 0x00FF0000u && (word >> 24) <= 1;
}

// The payload received into `buffer`, or built in it so far.
std::vector<uint8_t> PayloadBytes(const CKDMIIBuf& buffer) {
    const uint8_t* p = buffer.Block() + kPayloadOffset;
    return std::vector<uint8_t>(p, p + buffer.PayloadLength());
}

// Puts a payload into the buffer as if it had just been received.
void LoadPayload(CKDMIIBuf& buffer, const std::vector<uint8_t>& payload) {
    buffer.Reset();
    uint8_t* block = buffer.FrameArea(kPayloadOffset + payload.size() + kFrameTrailerSize);
    if (!payload.empty())
        std::memcpy(block + kPayloadOffset, payload.data(), payload.size());
    buffer.SetReceivedPayload(static_cast<uint32_t>(payload.size()));
}

enum class ReadOutcome { kFrame, kClosed, kIdle, kStalled, kBad };

// Fills [dest, dest + length). The first piece may wait idleMs (-1 without
// limit); the others only until *deadline, which the first piece sets.
ReadOutcome ReadBytes(CSocket& socket, uint8_t* dest, size_t length, bool frameStart,
                      int64_t idleMs, int64_t frameMs, int64_t* deadline) {
    while (length > 0) {
        bool timedOut = false;
        int n;
        if (frameStart && idleMs < 0) {
            n = socket.ReceivePiece(dest, static_cast<int>(length));
        } else {
            const int64_t limit = frameStart ? idleMs : *deadline - platform::MonotonicMs();
            if (limit <= 0)
                return frameStart ? ReadOutcome::kIdle : ReadOutcome::kStalled;
            n = socket.ReceivePieceTimed(dest, static_cast<int>(length), limit, &timedOut);
        }
        if (timedOut)
            return frameStart ? ReadOutcome::kIdle : ReadOutcome::kStalled;
        if (n <= 0)
            return ReadOutcome::kClosed;
        if (frameStart)
            *deadline = platform::MonotonicMs() + frameMs;
        frameStart = false;
        dest += n;
        length -= static_cast<size_t>(n);
    }
    return ReadOutcome::kFrame;
}

// One frame within the time limits: idleMs for its first byte (-1 without
// limit), frameMs from the first byte to the last. The length is checked
// before anything is allocated for it.
ReadOutcome ReadFrame(CSocket& socket, CKDMIIBuf& buffer, std::vector<uint8_t>& scratch,
                      int64_t idleMs, int64_t frameMs, std::string* why) {
    buffer.Reset();
    uint8_t header[kFrameHeaderSize];
    int64_t deadline = 0;
    ReadOutcome r = ReadBytes(socket, header, kFrameHeaderSize, true, idleMs, frameMs, &deadline);
    if (r == ReadOutcome::kFrame) {
        const uint32_t word0 = LoadWord(header);
        const uint32_t length = LoadWord(header + 4);
        if ((word0 ^ length) != kFrameBeginXor) {
            *why = "wrong-begin-signature";
            return ReadOutcome::kBad;
        }
        if (length < kFrameOverhead || length > kBufCeiling) {
            *why = "length-out-of-range";
            return ReadOutcome::kBad;
        }
        scratch.resize(length);
        std::memcpy(scratch.data(), header, kFrameHeaderSize);
        r = ReadBytes(socket, scratch.data() + kFrameHeaderSize, length - kFrameHeaderSize, false,
                      idleMs, frameMs, &deadline);
        if (r == ReadOutcome::kFrame) {
            try {
                if (AcceptFrameBytes(buffer, scratch.data(), length) == 0)
                    return ReadOutcome::kFrame;
                *why = "wrong-trailer";
            } catch (const char*) {
                *why = "unknown-payload-code";
            }
            buffer.Reset();
            return ReadOutcome::kBad;
        }
    }
    if (r == ReadOutcome::kStalled)
        *why = "stalled-mid-frame";
    return r;
}

bool SendPayload(CSocket& socket, CKDMIIBuf& buffer) {
    const bool ok = SendFrame(buffer, socket, false) == 0;
    buffer.Reset();
    return ok;
}

void SendRefusal(CSocket& socket, CKDMIIBuf& buffer, int32_t code, int32_t type,
                 const char* message) {
    buffer.Reset();
    CCMD_Async_Result::WriteRefusal(buffer, kRefusedStatus, code, type, message);
    SendPayload(socket, buffer);
}

std::string RandomChallenge() {
    static std::mutex lock;
    static std::mt19937_64 engine{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::lock_guard guard(lock);
    std::string text(kChallengeLength, '0');
    for (char& c : text)
        c = kDigits[engine() % 36];
    return text;
}

std::string CutLoginText(const std::string& text) {
    return text.size() > kLoginTextMax ? text.substr(0, kLoginTextMax) : text;
}

// A refusal text for a configured error type.
std::string RefusalText(int32_t type) {
    switch (type) {
    case kTypeConnectionLimit:
        return "Database connection limit exceeded.";
    case kTypeClientMismatch:
        return "Client application mismatch.";
    case 3:
        return "Server interface mismatch.";
    case kTypeSecondUser:
        return "Second user not authorised.";
    case kTypeBadUser:
        return "Unknown username or bad password.";
    case 13:
        return "Port disabled.";
    default:
        return "Login refused (error type " + std::to_string(type) + ").";
    }
}

// Takes one step of a countdown fault; true when it fires.
bool CountDown(std::atomic<int32_t>& counter) {
    int32_t v = counter.load();
    while (v >= 0) {
        if (counter.compare_exchange_weak(v, v == 0 ? -1 : v - 1))
            return v == 0;
    }
    return false;
}

int ChannelIndex(Channel channel) {
    return channel == Channel::kMain ? 0 : 1;
}
} // namespace

struct CRecorderServer::Link {
    std::shared_ptr<CSocket> socket; // guarded by sendMutex
    std::mutex sendMutex;
    std::mutex exMutex;
    std::condition_variable exCv;
    bool exchangeActive = false; // guarded by exMutex
    bool ended = false;          // guarded by exMutex
    std::deque<std::vector<uint8_t>> answers;

    bool Send(CKDMIIBuf& buffer) {
        std::lock_guard guard(sendMutex);
        if (!socket) {
            buffer.Reset();
            return false;
        }
        return SendPayload(*socket, buffer);
    }
    bool SendBytes(const uint8_t* data, size_t length) {
        std::lock_guard guard(sendMutex);
        while (socket && length > 0) {
            const int n = socket->SendPiece(data, static_cast<int>(length));
            if (n <= 0)
                return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return length == 0;
    }
    void Kill() {
        std::shared_ptr<CSocket> s;
        {
            std::lock_guard guard(sendMutex);
            s = socket;
        }
        if (s)
            s->KillSocket();
    }
    void MarkEnded() {
        std::lock_guard guard(exMutex);
        ended = true;
        exCv.notify_all();
    }
};

struct CRecorderServer::Session {
    int32_t id = 0;
    std::string user;
    std::string secondUser;
    std::string key;
    Link main;
    Link back;
    std::atomic<bool> attached{false};
    std::atomic<bool> ended{false};

    struct Pending {
        std::vector<uint8_t> body;
        int64_t dueMs = -1; // -1: held until cancelled or released
    };
    std::mutex asyncMutex;
    std::map<int64_t, Pending> pending;
    bool holding = false;
    int64_t held = 0;

    mutable std::mutex traceMutex;
    std::vector<std::string> trace;
    std::map<size_t, int64_t> scheduleDue; // ticker thread only
};

CRecorderServer::CRecorderServer(RecorderConfig config)
    : m_config(std::move(config)), m_dropBackAfter(m_config.dropBackAfter),
      m_dropMainAfter(m_config.dropMainAfter), m_brokenFrameAfter(m_config.brokenFrameAfter) {}

CRecorderServer::~CRecorderServer() {
    Stop();
}

RecorderConfig CRecorderServer::Config() const {
    std::lock_guard guard(m_configMutex);
    return m_config;
}

bool CRecorderServer::Set(const std::string& setting, std::string* error) {
    std::lock_guard guard(m_configMutex);
    RecorderConfig changed = m_config;
    if (!ApplySettingText(changed, setting, false, error))
        return false;
    m_config = changed;
    // Only the countdown named is armed anew; the others keep their state.
    const std::string key = setting.substr(0, setting.find('='));
    if (key.find("drop-back-after") != std::string::npos)
        m_dropBackAfter.store(changed.dropBackAfter);
    else if (key.find("drop-main-after") != std::string::npos)
        m_dropMainAfter.store(changed.dropMainAfter);
    else if (key.find("broken-frame-after") != std::string::npos)
        m_brokenFrameAfter.store(changed.brokenFrameAfter);
    return true;
}

// --- start and stop -------------------------------------------------------------

namespace {
int Listen(const std::string& address, uint16_t port, std::string* error) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        *error = "not an IPv4 address: " + address;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, 64) != 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

bool CRecorderServer::Start(std::string* error) {
    const RecorderConfig cfg = Config();
    m_listenMain = Listen(cfg.address, kMainPort, error);
    if (m_listenMain < 0)
        return false;
    m_listenBack = Listen(cfg.address, kBackPort, error);
    if (m_listenBack < 0) {
        ::close(m_listenMain);
        m_listenMain = -1;
        return false;
    }
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    m_tickerThread = std::thread([this] { TickerLoop(); });
    return true;
}

void CRecorderServer::Stop() {
    {
        std::lock_guard guard(m_stopMutex);
        if (m_stopping.exchange(true))
            return;
        m_stopCv.notify_all();
    }
    if (m_wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
    }
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_tickerThread.joinable())
        m_tickerThread.join();
    for (int* fd : {&m_listenMain, &m_listenBack, &m_wake[0], &m_wake[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    {
        std::lock_guard guard(m_socketsMutex);
        for (CSocket* s : m_sockets)
            s->KillSocket();
    }
    {
        std::lock_guard guard(m_sessionsMutex);
        for (auto& [id, session] : m_sessions) {
            session->main.MarkEnded();
            session->back.MarkEnded();
        }
    }
    ReapWorkers(true);
    std::lock_guard guard(m_sessionsMutex);
    m_sessions.clear();
}

bool CRecorderServer::Pause(int64_t ms) {
    std::unique_lock lock(m_stopMutex);
    return !m_stopCv.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return m_stopping.load(); });
}

void CRecorderServer::Spawn(std::function<void()> body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard guard(m_workersMutex);
    m_workers.push_back({std::thread([body = std::move(body), done] {
                             body();
                             done->store(true);
                         }),
                         done});
}

void CRecorderServer::ReapWorkers(bool all) {
    std::list<Worker> finished;
    {
        std::lock_guard guard(m_workersMutex);
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (all || it->done->load()) {
                finished.push_back(std::move(*it));
                it = m_workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Worker& w : finished)
        w.thread.join();
}

void CRecorderServer::Register(CSocket* socket) {
    std::lock_guard guard(m_socketsMutex);
    m_sockets.insert(socket);
    if (m_stopping.load())
        socket->KillSocket();
}

void CRecorderServer::Unregister(CSocket* socket) {
    std::lock_guard guard(m_socketsMutex);
    m_sockets.erase(socket);
}

void CRecorderServer::AcceptLoop() {
    while (!m_stopping.load()) {
        pollfd fds[3] = {
            {m_listenMain, POLLIN, 0}, {m_listenBack, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        const int ready = ::poll(fds, 3, 1000);
        ReapWorkers(false);
        if (ready <= 0 || m_stopping.load())
            continue;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) == 0)
                continue;
            const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            // Counted last, so that a reader who sees the count sees its outcome.
            if (m_open.load() >= Config().maxConnections) {
                // A flood of connections must not cost a thread each.
                ::close(fd);
                ++m_turnedAway;
                ++m_accepted;
                continue;
            }
            auto socket = std::make_shared<CSocket>();
            socket->AdoptConnected(fd);
            socket->SetSendTimeout(kSendTimeoutMs);
            ++m_open;
            ++m_accepted;
            const bool back = i == 1;
            Spawn([this, socket, back] { ServeConnection(socket, back); });
        }
    }
}

void CRecorderServer::ServeConnection(std::shared_ptr<CSocket> socket, bool backPort) {
    Register(socket.get());
    try {
        if (backPort)
            ServeBack(socket);
        else
            ServeMain(socket);
    } catch (const EException& e) {
        CountBadFrame("internal-error", e.Message());
    } catch (...) {
        CountBadFrame("internal-error", "unknown");
    }
    Unregister(socket.get());
    // The descriptor closes with the last owner, so a send racing with the
    // end never meets a reused descriptor.
    socket->KillSocket();
    --m_open;
}

void CRecorderServer::CountBadFrame(const std::string& why, const std::string& where) {
    ++m_badFrames;
    std::lock_guard guard(m_lastErrorMutex);
    m_lastBadFrame = why + "@" + where;
}

void CRecorderServer::Note(Session& session, const std::string& token) {
    std::lock_guard guard(session.traceMutex);
    if (session.trace.size() < kTraceKeep)
        session.trace.push_back(token);
}

// --- login ----------------------------------------------------------------------

void CRecorderServer::ServeMain(const std::shared_ptr<CSocket>& socket) {
    CKDMIIBuf buffer;
    std::vector<uint8_t> scratch;
    std::shared_ptr<Session> session = Login(socket, buffer, scratch);
    if (!session)
        return;
    RunSession(session, buffer, scratch);
    EndSession(session);
}

std::shared_ptr<CRecorderServer::Session>
CRecorderServer::Login(const std::shared_ptr<CSocket>& socket, CKDMIIBuf& buffer,
                       std::vector<uint8_t>& scratch) {
    const RecorderConfig cfg = Config();
    std::string why;
    auto receive = [&](const char* step) {
        const ReadOutcome r =
            ReadFrame(*socket, buffer, scratch, cfg.loginTimeoutMs, cfg.frameTimeoutMs, &why);
        if (r == ReadOutcome::kBad || r == ReadOutcome::kStalled)
            CountBadFrame(why, step);
        return r == ReadOutcome::kFrame;
    };
    auto refuse = [&](int32_t type, const std::string& text) {
        ++m_loginRefusals;
        if (Pause(cfg.loginDelayMs))
            SendRefusal(*socket, buffer, type, type, text.c_str());
        return nullptr;
    };
    auto getText = [&](std::string* text) {
        CBasicString s;
        if (buffer.GetString(s) != 0 || s.Length() > kLoginTextCeiling)
            return false;
        *text = s.c_str();
        return true;
    };

    if (!receive("login"))
        return nullptr;
    uint32_t word = 0;
    buffer.GetRawU32(&word);
    const bool multi = word == (kCmdMultiConnectReq | kCommandReplyFlag);
    if (!multi && word != (kCmdConnectReq | kCommandReplyFlag)) {
        CountBadFrame("login-expected", Hex(word));
        return refuse(0, "Login request expected.");
    }
    std::string user;
    std::string second;
    int32_t kind = 0;
    int32_t option = 0;
    int32_t users = 2;
    bool ok = multi
                  ? buffer.GetInt32(&users) == 0 && users == 2 && getText(&user) && getText(&second)
                  : getText(&user);
    ok = ok && buffer.GetInt32(&kind) == 0 && buffer.GetInt32(&option) == 0 && buffer.IsFullyRead();
    if (!ok) {
        CountBadFrame("malformed-login", multi ? "MultiConnectReq" : "ConnectReq");
        return refuse(0, "Malformed login request.");
    }
    if (!cfg.answerConnectReq) {
        // Swallows whatever comes until the client gives up.
        while (ReadFrame(*socket, buffer, scratch, -1, cfg.frameTimeoutMs, &why) ==
               ReadOutcome::kFrame) {
        }
        return nullptr;
    }
    if (kind != cfg.clientKind)
        return refuse(kTypeClientMismatch, RefusalText(kTypeClientMismatch));
    const Account* first = FindAccount(cfg, user);
    const Account* other = multi ? FindAccount(cfg, second) : nullptr;
    if (first != nullptr && first->refuseAt == RefuseStep::kConnectReq)
        return refuse(first->refuseType, RefusalText(first->refuseType));
    if (other != nullptr && other->refuseAt == RefuseStep::kConnectReq)
        return refuse(kTypeSecondUser, RefusalText(kTypeSecondUser));
    auto overLimit = [&] {
        std::lock_guard guard(m_sessionsMutex);
        auto it = m_activeByUser.find(user);
        return first != nullptr && first->limit > 0 && it != m_activeByUser.end() &&
               it->second >= first->limit;
    };
    if (overLimit())
        return refuse(kTypeConnectionLimit, RefusalText(kTypeConnectionLimit));

    const std::string challenge = RandomChallenge();
    if (!Pause(cfg.loginDelayMs))
        return nullptr;
    buffer.Reset();
    buffer.PutRawU32(0);
    buffer.PutString(challenge.c_str());
    if (!SendPayload(*socket, buffer))
        return nullptr;

    if (!receive("connect"))
        return nullptr;
    word = 0;
    buffer.GetRawU32(&word);
    std::string response;
    std::string secondResponse;
    const uint32_t expected = (multi ? kCmdMultiConnect : kCmdConnect) | kCommandReplyFlag;
    ok = word == expected && getText(&response) && (!multi || getText(&secondResponse)) &&
         buffer.IsFullyRead();
    if (!ok) {
        CountBadFrame("malformed-connect", Hex(word));
        return refuse(0, "Malformed login request.");
    }
    if (first != nullptr && first->refuseAt == RefuseStep::kConnect)
        return refuse(first->refuseType, RefusalText(first->refuseType));
    // The same hash the client computes: passwords count up to their 32nd
    // character, and a single login cuts the joined text at 64.
    if (first == nullptr ||
        response != ChallengeResponse(CutLoginText(first->password), challenge, multi ? 0 : 64))
        return refuse(kTypeBadUser, RefusalText(kTypeBadUser));
    if (multi && (other == nullptr || other->refuseAt == RefuseStep::kConnect ||
                  secondResponse != ChallengeResponse(CutLoginText(other->password), challenge, 0)))
        return refuse(kTypeSecondUser, RefusalText(kTypeSecondUser));

    auto session = std::make_shared<Session>();
    session->user = user;
    session->secondUser = second;
    session->key = Md5Hex(response);
    {
        std::lock_guard guard(m_sessionsMutex);
        int32_t& active = m_activeByUser[user];
        if (first->limit > 0 && active >= first->limit) {
            if (active == 0)
                m_activeByUser.erase(user);
            return refuse(kTypeConnectionLimit, RefusalText(kTypeConnectionLimit));
        }
        ++active;
        static std::mt19937 engine{std::random_device{}()};
        do {
            session->id = static_cast<int32_t>(engine() & 0x7FFFFFFF);
        } while (session->id == 0 || m_sessions.count(session->id) != 0);
        m_sessions[session->id] = session;
    }
    {
        std::lock_guard guard(session->main.sendMutex);
        session->main.socket = socket;
    }
    ++m_logins;
    Note(*session, "LOGIN:" + user);
    if (!Pause(cfg.loginDelayMs)) {
        EndSession(session);
        return nullptr;
    }
    buffer.Reset();
    buffer.PutRawU32(0);
    buffer.PutInt32(session->id);
    if (!session->main.Send(buffer)) {
        EndSession(session);
        return nullptr;
    }
    return session;
}

void CRecorderServer::ServeBack(const std::shared_ptr<CSocket>& socket) {
    const RecorderConfig cfg = Config();
    CKDMIIBuf buffer;
    std::vector<uint8_t> scratch;
    std::string why;
    ReadOutcome r =
        ReadFrame(*socket, buffer, scratch, cfg.loginTimeoutMs, cfg.frameTimeoutMs, &why);
    if (r != ReadOutcome::kFrame) {
        if (r == ReadOutcome::kBad || r == ReadOutcome::kStalled)
            CountBadFrame(why, "attach");
        return;
    }
    uint32_t word = 0;
    CBasicString key;
    int32_t id = 0;
    buffer.GetRawU32(&word);
    const bool ok = word == (kCmdConnect2 | kCommandReplyFlag) && buffer.GetString(key) == 0 &&
                    key.Length() <= kLoginTextCeiling && buffer.GetInt32(&id) == 0 &&
                    buffer.IsFullyRead();
    if (!Pause(cfg.loginDelayMs))
        return;
    if (!ok) {
        CountBadFrame("malformed-attach", Hex(word));
        SendRefusal(*socket, buffer, 0, 0, "Back channel attach expected.");
        return;
    }
    std::shared_ptr<Session> session;
    {
        std::lock_guard guard(m_sessionsMutex);
        auto it = m_sessions.find(id);
        if (it != m_sessions.end() && !it->second->ended.load() && !it->second->attached.load() &&
            it->second->key == key.c_str()) {
            session = it->second;
            std::lock_guard sendGuard(session->back.sendMutex);
            session->back.socket = socket;
            session->attached.store(true);
            m_lastSession = id;
        }
    }
    if (!session) {
        ++m_loginRefusals;
        SendRefusal(*socket, buffer, kTypeBadUser, kTypeBadUser, "Unknown main channel.");
        return;
    }
    Note(*session, "ATTACH");
    buffer.Reset();
    buffer.PutRawU32(0);
    session->back.Send(buffer);
    m_sessionsCv.notify_all();

    // The client only answers here; anything else is noted and dropped.
    for (;;) {
        r = ReadFrame(*socket, buffer, scratch, -1, cfg.frameTimeoutMs, &why);
        if (r != ReadOutcome::kFrame) {
            if (r == ReadOutcome::kBad || r == ReadOutcome::kStalled) {
                CountBadFrame(why, "back");
                Note(*session, "BACK-BAD");
            }
            break;
        }
        if (buffer.Remaining() < 4 || IsClientRequest(buffer.PeekCommandWord()) ||
            !RouteAnswer(session->back, buffer))
            Note(*session, "BACK-STRAY:" + Hex(buffer.PeekCommandWord()));
    }
    session->back.MarkEnded();
    Note(*session, "BACK-END");
}

// --- the session ----------------------------------------------------------------

void CRecorderServer::RunSession(const std::shared_ptr<Session>& session, CKDMIIBuf& buffer,
                                 std::vector<uint8_t>& scratch) {
    CSocket& socket = *session->main.socket;
    std::string why;
    for (;;) {
        const int64_t frameMs = Config().frameTimeoutMs;
        const ReadOutcome r = ReadFrame(socket, buffer, scratch, -1, frameMs, &why);
        if (r != ReadOutcome::kFrame) {
            if (r == ReadOutcome::kBad || r == ReadOutcome::kStalled) {
                // The framing is lost: nothing after this can be trusted.
                CountBadFrame(why, "main");
                Note(*session, "BAD:" + why);
            }
            Note(*session, "MAIN-END");
            return;
        }
        if (buffer.Remaining() < 4) {
            Note(*session, "EMPTY");
            continue;
        }
        uint32_t word = buffer.PeekCommandWord();
        if (!IsClientRequest(word)) {
            if (!RouteAnswer(session->main, buffer))
                Note(*session, "STRAY:" + Hex(word));
            continue;
        }
        buffer.GetRawU32(&word);
        const uint32_t identity = word & ~kCommandReplyFlag;
        const bool reply = (word & kCommandReplyFlag) != 0;
        if (identity == kCmdAsync) {
            if (!HandleAsync(session, buffer))
                return;
        } else if (identity == kCmdPing && reply) {
            int32_t answer = 0;
            if (!buffer.IsFullyRead()) {
                // A padding packet: one Bytes value of spaces.
                uint32_t length = 0;
                const uint8_t* data = nullptr;
                uint8_t flags = 0;
                bool spaces = buffer.GetBytesInPlaceFlags(&length, &data, &flags) == 0 &&
                              buffer.IsFullyRead();
                for (uint32_t i = 0; spaces && i < length; ++i)
                    spaces = data[i] == 0x20;
                Note(*session, spaces ? "PAD:" + std::to_string(length) : "PAD-BAD");
                answer = spaces ? 0 : -1;
            } else {
                Note(*session, "PING");
            }
            buffer.Reset();
            buffer.PutInt32(answer);
            session->main.Send(buffer);
        } else if (identity == kCmdDisconnect && reply) {
            Note(*session, "DISCONNECT");
            buffer.Reset();
            buffer.PutRawU32(0);
            session->main.Send(buffer);
            // Lets the client close first, taking answers still on the way.
            const int64_t until = platform::MonotonicMs() + kLingerMs;
            for (;;) {
                const int64_t left = until - platform::MonotonicMs();
                if (left <= 0 ||
                    ReadFrame(socket, buffer, scratch, left, frameMs, &why) != ReadOutcome::kFrame)
                    break;
                if (buffer.Remaining() >= 4 && !IsClientRequest(buffer.PeekCommandWord()))
                    RouteAnswer(session->main, buffer);
            }
            return;
        } else if (reply) {
            Note(*session, "UNKNOWN:" + Hex(word));
            const bool login = identity == kCmdConnectReq || identity == kCmdConnect ||
                               identity == kCmdMultiConnectReq || identity == kCmdMultiConnect ||
                               identity == kCmdConnect2;
            SendRefusal(socket, buffer, 0, 0, login ? "Already logged in." : "Unknown command.");
        } else {
            Note(*session, "UNKNOWN:" + Hex(word));
        }
    }
}

bool CRecorderServer::HandleAsync(const std::shared_ptr<Session>& session, CKDMIIBuf& buffer) {
    uint64_t sequence = 0;
    uint32_t qualifier = 0;
    if (buffer.GetRawU64(&sequence) != 0 || buffer.GetRawU32(&qualifier) != 0) {
        Note(*session, "ASYNC-BAD");
        return true;
    }
    const int64_t seq = static_cast<int64_t>(sequence);
    if (qualifier == kQualRequest) {
        uint32_t identity = 0;
        if (buffer.GetRawU32(&identity) != 0) {
            Note(*session, "ASYNC-BAD");
            return true;
        }
        ++m_requests;
        Note(*session, "REQ:" + Hex(identity) + ":" + std::to_string(seq));
        if (CountDown(m_dropMainAfter)) {
            Note(*session, "DROP-MAIN");
            return false;
        }
        if (CountDown(m_dropBackAfter)) {
            Note(*session, "DROP-BACK");
            session->back.Kill();
            return true;
        }
        if (CountDown(m_brokenFrameAfter)) {
            SendBrokenFrame(*session);
            return true;
        }
        CKDMIIBuf answer;
        BuildAnswer(identity, buffer, answer);
        Dispatch(session, seq, PayloadBytes(answer));
        return true;
    }
    if (qualifier == kQualCancel && buffer.IsFullyRead()) {
        bool found = false;
        {
            std::lock_guard guard(session->asyncMutex);
            auto it = session->pending.find(seq);
            if (it != session->pending.end()) {
                found = true;
                session->pending.erase(it);
                if (session->holding && session->held == seq)
                    session->holding = false;
            }
        }
        // Exactly one message per request: an answered one stays answered.
        Note(*session, "CANCEL:" + std::to_string(seq) + (found ? "" : ":late"));
        if (found)
            SendAsync(*session, seq, kQualAborted, {});
        return true;
    }
    Note(*session, "ASYNC-BAD:" + Hex(qualifier));
    return true;
}

void CRecorderServer::BuildAnswer(uint32_t identity, CKDMIIBuf& request, CKDMIIBuf& answer) {
    answer.Reset();
    if (identity == kCmdNegotiateInterface) {
        CCMD_NegotiateInterface_Params params;
        int rc = params.Read(request);
        if (rc == kStatusOk && !request.IsFullyRead())
            rc = kStatusDataLost;
        if (rc != kStatusOk) {
            CCMD_Async_Result::WriteRefusal(answer, kRefusedStatus, rc, kTypeParameter,
                                            "NegotiateInterface: malformed parameters.");
            return;
        }
        const RecorderConfig cfg = Config();
        CCMD_NegotiateInterface_Result result;
        result.accepted = cfg.negotiateAccept;
        result.agreed = cfg.negotiateEcho ? params.first : cfg.negotiateValue;
        result.extra1 = params.first;
        result.extra2 = params.second;
        result.Write(answer);
        return;
    }
    CCMD_Async_Result::WriteRefusal(answer, kRefusedStatus, kErrNotImplemented, 0,
                                    kTextNotImplemented);
}

void CRecorderServer::Dispatch(const std::shared_ptr<Session>& session, int64_t sequence,
                               std::vector<uint8_t> body) {
    const RecorderConfig cfg = Config();
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> now;
    {
        std::lock_guard guard(session->asyncMutex);
        if (static_cast<int32_t>(session->pending.size()) >= cfg.maxPending) {
            CKDMIIBuf refusal;
            CCMD_Async_Result::WriteRefusal(refusal, kRefusedStatus, 0, 0,
                                            "Too many outstanding commands.");
            now.emplace_back(sequence, PayloadBytes(refusal));
        } else if (cfg.asyncAnswers == AsyncAnswers::kNever) {
            session->pending[sequence] = {std::move(body), -1};
        } else if (cfg.asyncAnswers == AsyncAnswers::kReversePairs && !session->holding) {
            session->holding = true;
            session->held = sequence;
            session->pending[sequence] = {std::move(body), -1};
        } else if (cfg.asyncAnswers == AsyncAnswers::kReversePairs) {
            now.emplace_back(sequence, std::move(body));
            auto it = session->pending.find(session->held);
            if (it != session->pending.end()) {
                now.emplace_back(session->held, std::move(it->second.body));
                session->pending.erase(it);
            }
            session->holding = false;
        } else if (cfg.answerDelayMs > 0) {
            session->pending[sequence] = {std::move(body),
                                          platform::MonotonicMs() + cfg.answerDelayMs};
        } else {
            now.emplace_back(sequence, std::move(body));
        }
    }
    for (const auto& [seq, payload] : now)
        SendAsync(*session, seq, kQualAnswer, payload);
}

void CRecorderServer::SendAsync(Session& session, int64_t sequence, uint32_t qualifier,
                                const std::vector<uint8_t>& body) {
    CKDMIIBuf buffer;
    buffer.BeginCommand(kCmdAsync, false);
    buffer.PutRawU64(static_cast<uint64_t>(sequence));
    buffer.PutRawU32(qualifier);
    if (!body.empty())
        buffer.PutRawBytes(body.data(), static_cast<int32_t>(body.size()));
    // Noted first: the client may act on the answer before Send returns.
    Note(session, (qualifier == kQualAborted ? "ABORTED:" : "ANSWER:") + std::to_string(sequence));
    if (!session.back.Send(buffer))
        Note(session, "LOST:" + std::to_string(sequence));
}

void CRecorderServer::SendBrokenFrame(Session& session) {
    // A well-formed async answer frame, then spoiled in one place.
    uint8_t frame[kFrameOverhead + 16] = {};
    const uint32_t length = sizeof frame;
    StoreWord(frame, length ^ kFrameBeginXor);
    StoreWord(frame + 4, length);
    StoreWord(frame + 8, kCmdAsync);
    StoreWord(frame + length - 4, kFrameTrailerPlain);
    std::string kind;
    switch (Config().brokenFrame) {
    case BrokenFrameKind::kSignature:
        StoreWord(frame, length ^ kFrameBeginXor ^ 0x00010000u);
        kind = "signature";
        break;
    case BrokenFrameKind::kLength:
        StoreWord(frame, 5 ^ kFrameBeginXor);
        StoreWord(frame + 4, 5);
        kind = "length";
        break;
    case BrokenFrameKind::kTrailer:
        StoreWord(frame + length - 4, 0x58585858u);
        kind = "trailer";
        break;
    }
    session.back.SendBytes(frame, length);
    Note(session, "BROKEN:" + kind);
}

void CRecorderServer::EndSession(const std::shared_ptr<Session>& session) {
    if (session->ended.exchange(true))
        return;
    {
        std::lock_guard guard(m_sessionsMutex);
        m_sessions.erase(session->id);
        auto it = m_activeByUser.find(session->user);
        if (it != m_activeByUser.end() && --it->second <= 0)
            m_activeByUser.erase(it);
    }
    session->main.Kill();
    session->back.Kill();
    session->main.MarkEnded();
    session->back.MarkEnded();
    {
        std::lock_guard guard(m_resultsMutex);
        std::lock_guard traceGuard(session->traceMutex);
        m_endedTraces[session->id] = session->trace;
        while (m_endedTraces.size() > kEndedTracesKeep) {
            const int32_t oldest = m_endedTraces.begin()->first;
            m_results.erase({oldest, ChannelIndex(Channel::kMain)});
            m_results.erase({oldest, ChannelIndex(Channel::kBack)});
            m_endedTraces.erase(m_endedTraces.begin());
        }
    }
    m_sessionsCv.notify_all();
}

// --- housekeeping requests ------------------------------------------------------

bool CRecorderServer::RouteAnswer(Link& link, CKDMIIBuf& buffer) {
    std::lock_guard guard(link.exMutex);
    if (!link.exchangeActive)
        return false;
    link.answers.push_back(PayloadBytes(buffer));
    link.exCv.notify_all();
    return true;
}

bool CRecorderServer::Send(int32_t sessionId, Channel channel, const HousekeepingRequest& request,
                           std::string* error) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard guard(m_sessionsMutex);
        auto it = m_sessions.find(sessionId);
        if (it != m_sessions.end())
            session = it->second;
    }
    if (!session) {
        *error = "no such session";
        return false;
    }
    if (channel == Channel::kBack && !session->attached.load()) {
        *error = "no back channel";
        return false;
    }
    Link& link = channel == Channel::kMain ? session->main : session->back;
    {
        std::lock_guard guard(link.exMutex);
        if (link.exchangeActive) {
            *error = "exchange in progress";
            return false;
        }
        link.exchangeActive = true;
        link.answers.clear();
    }
    CKDMIIBuf buffer;
    switch (request.kind) {
    case HousekeepingRequest::kInquiry:
        buffer.BeginCommand(kCmdInquiry, false);
        break;
    case HousekeepingRequest::kSyncTime:
        buffer.BeginCommand(kCmdSyncTime, false);
        buffer.PutInt32(request.count);
        break;
    case HousekeepingRequest::kPing:
        buffer.BeginCommand(kCmdPing, true);
        break;
    case HousekeepingRequest::kDisconnect:
        buffer.BeginCommand(kCmdDisconnect, true);
        break;
    }
    const std::string channelName = channel == Channel::kMain ? "main" : "back";
    if (!link.Send(buffer)) {
        std::lock_guard guard(link.exMutex);
        link.exchangeActive = false;
        *error = "send failed";
        return false;
    }
    Note(*session, std::string("HK:") + HousekeepingName(request.kind) + ":" + channelName);
    Spawn([this, session, channel, request] { RunExchange(session, channel, request); });
    return true;
}

void CRecorderServer::RunExchange(std::shared_ptr<Session> session, Channel channel,
                                  HousekeepingRequest request) {
    Link& link = channel == Channel::kMain ? session->main : session->back;
    const int64_t timeoutMs = Config().exchangeTimeoutMs;
    CKDMIIBuf answer;
    // 0 with the answer in `answer`, else the result text.
    auto wait = [&](std::string* failure) {
        std::unique_lock lock(link.exMutex);
        link.exCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return !link.answers.empty() || link.ended || m_stopping.load();
        });
        if (!link.answers.empty()) {
            LoadPayload(answer, link.answers.front());
            link.answers.pop_front();
            return true;
        }
        *failure = link.ended || m_stopping.load() ? "CLOSED" : "TIMEOUT";
        return false;
    };
    auto syncError = [&](std::string* text) {
        int32_t code = 0;
        int32_t type = 0;
        CBasicString message;
        if (answer.GetInt32(&code) != 0 || answer.GetInt32(&type) != 0 ||
            answer.GetString(message) != 0 || !answer.IsFullyRead())
            return false;
        *text =
            "ERROR " + std::to_string(code) + " " + std::to_string(type) + " " + message.c_str();
        return true;
    };
    std::string result;
    bool answered = false;
    switch (request.kind) {
    case HousekeepingRequest::kInquiry: {
        if (!wait(&result))
            break;
        uint32_t status = 1;
        std::string text;
        bool ok = answer.GetRawU32(&status) == 0;
        for (int i = 0; ok && i < 4; ++i) {
            CBasicString s;
            ok = answer.GetString(s) == 0;
            text += (i > 0 ? "|" : "") + std::string(s.c_str());
        }
        for (int i = 0; ok && i < 13; ++i) {
            int32_t v = 0;
            ok = answer.GetInt32(&v) == 0;
            text += (i == 0 ? "|" : ",") + std::to_string(v);
        }
        ok = ok && answer.IsFullyRead();
        result = ok ? std::to_string(status) + " " + text : "MALFORMED";
        answered = ok;
        break;
    }
    case HousekeepingRequest::kPing:
    case HousekeepingRequest::kDisconnect: {
        if (!wait(&result))
            break;
        int32_t value = -1;
        uint32_t status = 1;
        const bool ok = request.kind == HousekeepingRequest::kPing
                            ? answer.GetInt32(&value) == 0 && answer.IsFullyRead()
                            : answer.GetRawU32(&status) == 0 && answer.IsFullyRead();
        result = !ok ? "MALFORMED"
                     : std::to_string(request.kind == HousekeepingRequest::kPing
                                          ? value
                                          : static_cast<int32_t>(status));
        answered = ok;
        break;
    }
    case HousekeepingRequest::kSyncTime: {
        if (request.count < 1 || request.count > kSyncTimeMaxCount) {
            // The client must refuse the count at once.
            if (!wait(&result))
                break;
            uint32_t word = 0;
            answered =
                answer.GetRawU32(&word) == 0 && word == kSyncParamErrorWord && syncError(&result);
            if (!answered)
                result = "UNEXPECTED";
            break;
        }
        int32_t steps = 0;
        TNativeDateTime stamp{0, 0};
        for (; steps < request.count; ++steps) {
            CKDMIIBuf step;
            step.BeginCommand(kCmdSyncTimeStep, true);
            if (!link.Send(step)) {
                result = "CLOSED";
                break;
            }
            if (!wait(&result))
                break;
            uint32_t word = 1;
            if (answer.GetRawU32(&word) != 0 ||
                (word == kSyncParamErrorWord
                     ? !syncError(&result)
                     : word != 0 || answer.GetDateTime(&stamp) != 0 || !answer.IsFullyRead())) {
                result = "MALFORMED";
                break;
            }
            if (word == kSyncParamErrorWord)
                break;
        }
        if (steps == request.count) {
            result = "OK " + std::to_string(steps) + " " + std::to_string(stamp.day) + " " +
                     std::to_string(stamp.ms);
            answered = true;
        }
        break;
    }
    }
    {
        std::lock_guard guard(link.exMutex);
        link.exchangeActive = false;
        link.answers.clear();
    }
    if (request.kind == HousekeepingRequest::kDisconnect && answered) {
        // The client has gone from that channel; so does the service.
        if (channel == Channel::kMain)
            EndSession(session);
        else
            link.Kill();
    }
    // Last: whoever reads the result may start the next exchange at once.
    AddResult(session->id, channel, std::string(HousekeepingName(request.kind)) + " " + result);
}

void CRecorderServer::AddResult(int32_t sessionId, Channel channel, const std::string& text) {
    std::lock_guard guard(m_resultsMutex);
    auto& queue = m_results[{sessionId, ChannelIndex(channel)}];
    // A schedule nobody reads must not grow the service without end.
    if (queue.size() >= kResultsKeep)
        queue.pop_front();
    queue.push_back(text);
    m_resultsCv.notify_all();
}

bool CRecorderServer::TakeResult(int32_t sessionId, Channel channel, int64_t timeoutMs,
                                 std::string* result) {
    std::unique_lock lock(m_resultsMutex);
    auto& queue = m_results[{sessionId, ChannelIndex(channel)}];
    if (!m_resultsCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !queue.empty(); }))
        return false;
    *result = queue.front();
    queue.pop_front();
    return true;
}

// --- ticker ---------------------------------------------------------------------

void CRecorderServer::TickerLoop() {
    while (Pause(kTickMs)) {
        const int64_t now = platform::MonotonicMs();
        std::vector<std::shared_ptr<Session>> sessions;
        {
            std::lock_guard guard(m_sessionsMutex);
            for (auto& [id, s] : m_sessions)
                sessions.push_back(s);
        }
        for (const auto& session : sessions) {
            std::vector<std::pair<int64_t, std::vector<uint8_t>>> due;
            {
                std::lock_guard guard(session->asyncMutex);
                for (auto it = session->pending.begin(); it != session->pending.end();) {
                    if (it->second.dueMs >= 0 && it->second.dueMs <= now) {
                        due.emplace_back(it->first, std::move(it->second.body));
                        it = session->pending.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            for (const auto& [seq, body] : due)
                SendAsync(*session, seq, kQualAnswer, body);
        }
        RunSchedules(now);
    }
}

void CRecorderServer::RunSchedules(int64_t now) {
    const RecorderConfig cfg = Config();
    if (cfg.schedules.empty())
        return;
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (auto& [id, s] : m_sessions)
            if (s->attached.load())
                sessions.push_back(s);
    }
    for (const auto& session : sessions) {
        for (size_t i = 0; i < cfg.schedules.size(); ++i) {
            const Schedule& schedule = cfg.schedules[i];
            int64_t& due = session->scheduleDue[i];
            if (due == 0)
                due = now + schedule.intervalMs;
            if (now < due)
                continue;
            due = now + schedule.intervalMs;
            std::string ignored;
            Send(session->id, schedule.channel, schedule.request, &ignored);
        }
    }
}

// --- control queries ------------------------------------------------------------

bool CRecorderServer::ResolveSession(const std::string& text, int32_t* id) const {
    if (text == "last") {
        std::lock_guard guard(m_sessionsMutex);
        *id = m_lastSession;
        return m_lastSession != 0;
    }
    try {
        size_t used = 0;
        const long v = std::stol(text, &used);
        *id = static_cast<int32_t>(v);
        return used == text.size();
    } catch (...) {
        return false;
    }
}

std::vector<std::string> CRecorderServer::SessionList() const {
    std::vector<std::string> list;
    std::lock_guard guard(m_sessionsMutex);
    for (const auto& [id, s] : m_sessions)
        list.push_back(std::to_string(id) + ":" + s->user + ":" +
                       (s->attached.load() ? "attached" : "main-only"));
    return list;
}

bool CRecorderServer::WaitSessions(size_t count, int64_t timeoutMs) const {
    std::unique_lock lock(m_sessionsMutex);
    return m_sessionsCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const auto& [id, s] : m_sessions)
            n += s->attached.load() ? 1 : 0;
        return n == count && n == m_sessions.size();
    });
}

bool CRecorderServer::Trace(int32_t sessionId, std::string* text) const {
    std::vector<std::string> tokens;
    {
        std::lock_guard guard(m_sessionsMutex);
        auto it = m_sessions.find(sessionId);
        if (it != m_sessions.end()) {
            std::lock_guard traceGuard(it->second->traceMutex);
            tokens = it->second->trace;
        } else {
            std::lock_guard resultsGuard(m_resultsMutex);
            auto ended = m_endedTraces.find(sessionId);
            if (ended == m_endedTraces.end())
                return false;
            tokens = ended->second;
        }
    }
    text->clear();
    for (const std::string& t : tokens)
        *text += (text->empty() ? "" : " ") + t;
    return true;
}

std::string CRecorderServer::Stats() const {
    size_t sessions = 0;
    {
        std::lock_guard guard(m_sessionsMutex);
        sessions = m_sessions.size();
    }
    std::string last;
    {
        std::lock_guard guard(m_lastErrorMutex);
        last = m_lastBadFrame.empty() ? "none" : m_lastBadFrame;
    }
    return "accepted=" + std::to_string(m_accepted.load()) +
           " open=" + std::to_string(m_open.load()) +
           " turned-away=" + std::to_string(m_turnedAway.load()) +
           " bad-frames=" + std::to_string(m_badFrames.load()) +
           " logins=" + std::to_string(m_logins.load()) +
           " login-refusals=" + std::to_string(m_loginRefusals.load()) +
           " requests=" + std::to_string(m_requests.load()) +
           " sessions=" + std::to_string(sessions) + " last-bad=" + last;
}

} // namespace kdm::recorder
