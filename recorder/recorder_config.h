// Settings of the recorder service: accounts, the negotiation answer and
// the fault switches the tests turn on. The same `key=value` grammar serves
// the command line (`--key value`), the configuration file and the control
// command SET, so every switch can be set at start or while running.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdm::recorder {

// Where a login is refused.
enum class RefuseStep { kNone, kConnectReq, kConnect };

struct Account {
    std::string user;
    std::string password;
    RefuseStep refuseAt = RefuseStep::kNone;
    int32_t refuseType = 0;
    // Sessions of this account at once; 0 for no limit.
    int32_t limit = 0;
};

enum class AsyncAnswers { kNormal, kNever, kReversePairs };
enum class BrokenFrameKind { kSignature, kLength, kTrailer };
enum class Channel { kMain, kBack };

// A housekeeping request the service sends to a client.
struct HousekeepingRequest {
    enum Kind { kInquiry, kSyncTime, kPing, kDisconnect } kind = kPing;
    int32_t count = 0; // SyncTime only
};

struct Schedule {
    Channel channel = Channel::kBack;
    HousekeepingRequest request;
    int64_t intervalMs = 0;
};

struct RecorderConfig {
    std::string address = "127.0.0.1";
    std::vector<Account> accounts;
    int32_t clientKind = 17;

    bool negotiateAccept = true;
    bool negotiateEcho = true; // agreed value = the client's first value
    int32_t negotiateValue = 0;

    int64_t loginDelayMs = 0;
    bool answerConnectReq = true;
    int64_t answerDelayMs = 0;
    AsyncAnswers asyncAnswers = AsyncAnswers::kNormal;
    // Countdowns in asynchronous requests; -1 is off. The fault hits the
    // request that arrives when the count has run down to 0.
    int32_t dropBackAfter = -1;
    int32_t dropMainAfter = -1;
    int32_t brokenFrameAfter = -1;
    BrokenFrameKind brokenFrame = BrokenFrameKind::kTrailer;

    // A started frame must be complete within this time.
    int64_t frameTimeoutMs = 10000;
    // From accepting a connection to its login request.
    int64_t loginTimeoutMs = 30000;
    // For the client's answer to a housekeeping request.
    int64_t exchangeTimeoutMs = 10000;
    int32_t maxConnections = 64;
    int32_t maxPending = 1024;
    std::vector<Schedule> schedules;
};

// Applies one setting. False with *error for an unknown key or a bad value.
// `startOnly` keys (address, config) are refused when !atStart.
bool ApplySetting(RecorderConfig& config, const std::string& key, const std::string& value,
                  bool atStart, std::string* error);
// `key=value` in one text.
bool ApplySettingText(RecorderConfig& config, const std::string& text, bool atStart,
                      std::string* error);
// Lines `key = value`; blank lines and lines starting with '#' are skipped.
bool LoadConfigFile(RecorderConfig& config, const std::string& path, std::string* error);
// `--key value` or `--key=value`; `--config FILE` reads a file in place.
bool ParseCommandLine(RecorderConfig& config, int argc, char** argv, std::string* error);

const Account* FindAccount(const RecorderConfig& config, const std::string& user);
bool ParseHousekeeping(const std::string& text, HousekeepingRequest* request);
const char* HousekeepingName(HousekeepingRequest::Kind kind);

} // namespace kdm::recorder
