// The database service of the recorder: the two listening ports of one
// address, the challenge login, the back-channel attach, the asynchronous
// command envelope, and the housekeeping requests the service sends to its
// clients. One thread per connection; a ticker thread sends late answers
// and runs the housekeeping schedules.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "recorder/recorder_config.h"

namespace kdm {
class CSocket;
class CKDMIIBuf;
} // namespace kdm

namespace kdm::recorder {

inline constexpr uint16_t kMainPort = 7501;
inline constexpr uint16_t kBackPort = 7601;

// Login refusals the service itself decides (configured ones carry the
// configured type).
inline constexpr int32_t kTypeConnectionLimit = 1;
inline constexpr int32_t kTypeClientMismatch = 2;
inline constexpr int32_t kTypeSecondUser = 4;
inline constexpr int32_t kTypeBadUser = 10;
// Asynchronous refusals: the parameter category.
inline constexpr int32_t kTypeParameter = static_cast<int32_t>(0x80000000u);

class CRecorderServer {
public:
    explicit CRecorderServer(RecorderConfig config);
    ~CRecorderServer();
    CRecorderServer(const CRecorderServer&) = delete;
    CRecorderServer& operator=(const CRecorderServer&) = delete;

    // Binds and listens on both ports and starts the threads. False with
    // *error when a port cannot be bound.
    bool Start(std::string* error);
    // Closes every connection and joins every thread.
    void Stop();

    // Control operations; texts are the reply lines of the control protocol.
    bool Set(const std::string& setting, std::string* error);
    // Session id from a text: a number, or "last" for the newest session.
    bool ResolveSession(const std::string& text, int32_t* id) const;
    // Sends the request and runs the exchange in the background.
    bool Send(int32_t sessionId, Channel channel, const HousekeepingRequest& request,
              std::string* error);
    // The oldest result of an exchange on that channel, waiting up to
    // timeoutMs. False when none came.
    bool TakeResult(int32_t sessionId, Channel channel, int64_t timeoutMs, std::string* result);
    // "id:user:attached" (or main-only) of every live session.
    std::vector<std::string> SessionList() const;
    // Waits until `count` sessions are live.
    bool WaitSessions(size_t count, int64_t timeoutMs) const;
    // What the session carried, oldest first.
    bool Trace(int32_t sessionId, std::string* text) const;
    std::string Stats() const;

private:
    struct Session;
    struct Link;

    void AcceptLoop();
    void ServeConnection(std::shared_ptr<CSocket> socket, bool backPort);
    void ServeMain(const std::shared_ptr<CSocket>& socket);
    void ServeBack(const std::shared_ptr<CSocket>& socket);
    // The login exchange on a new main connection; the session, or null.
    std::shared_ptr<Session> Login(const std::shared_ptr<CSocket>& socket, CKDMIIBuf& buffer,
                                   std::vector<uint8_t>& scratch);
    void RunSession(const std::shared_ptr<Session>& session, CKDMIIBuf& buffer,
                    std::vector<uint8_t>& scratch);
    // False when the session must end.
    bool HandleAsync(const std::shared_ptr<Session>& session, CKDMIIBuf& buffer);
    void BuildAnswer(uint32_t identity, CKDMIIBuf& request, CKDMIIBuf& answer);
    void Dispatch(const std::shared_ptr<Session>& session, int64_t sequence,
                  std::vector<uint8_t> body);
    void SendAsync(Session& session, int64_t sequence, uint32_t qualifier,
                   const std::vector<uint8_t>& body);
    void SendBrokenFrame(Session& session);
    void EndSession(const std::shared_ptr<Session>& session);
    // Hands a frame that is not a client request to the exchange waiting on
    // the link. False when no exchange waits.
    bool RouteAnswer(Link& link, CKDMIIBuf& buffer);
    void RunExchange(std::shared_ptr<Session> session, Channel channel,
                     HousekeepingRequest request);
    void AddResult(int32_t sessionId, Channel channel, const std::string& text);
    void TickerLoop();
    void RunSchedules(int64_t now);

    void Spawn(std::function<void()> body);
    void ReapWorkers(bool all);
    void Register(CSocket* socket);
    void Unregister(CSocket* socket);
    // Sleeps, or returns false early when the server stops.
    bool Pause(int64_t ms);
    RecorderConfig Config() const;
    void Note(Session& session, const std::string& token);
    void CountBadFrame(const std::string& why, const std::string& where);

    mutable std::mutex m_configMutex;
    RecorderConfig m_config;
    // The countdown faults, taken from the configuration when set.
    std::atomic<int32_t> m_dropBackAfter;
    std::atomic<int32_t> m_dropMainAfter;
    std::atomic<int32_t> m_brokenFrameAfter;

    int m_listenMain = -1;
    int m_listenBack = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_acceptThread;
    std::thread m_tickerThread;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_stopMutex;
    std::condition_variable m_stopCv;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m_workersMutex;
    std::list<Worker> m_workers;

    std::mutex m_socketsMutex;
    std::set<CSocket*> m_sockets;

    mutable std::mutex m_sessionsMutex;
    mutable std::condition_variable m_sessionsCv;
    std::map<int32_t, std::shared_ptr<Session>> m_sessions;
    std::map<std::string, int32_t> m_activeByUser;
    int32_t m_lastSession = 0;

    mutable std::mutex m_resultsMutex;
    std::condition_variable m_resultsCv;
    std::map<std::pair<int32_t, int>, std::deque<std::string>> m_results;
    std::map<int32_t, std::vector<std::string>> m_endedTraces;

    std::atomic<int64_t> m_accepted{0};
    std::atomic<int64_t> m_open{0};
    std::atomic<int64_t> m_turnedAway{0};
    std::atomic<int64_t> m_badFrames{0};
    std::atomic<int64_t> m_logins{0};
    std::atomic<int64_t> m_loginRefusals{0};
    std::atomic<int64_t> m_requests{0};
    mutable std::mutex m_lastErrorMutex;
    std::string m_lastBadFrame;
};

} // namespace kdm::recorder
