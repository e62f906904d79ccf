#include "recorder/recorder_config.h"

#include <charconv>
#include <fstream>

namespace kdm::recorder {

namespace {
std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

template <class T> bool ParseNumber(const std::string& text, T* value) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && p == end;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// user:password[,refuse=STEP:TYPE][,limit=N]; the password ends at the
// first comma.
bool ParseAccount(const std::string& text, Account* account, std::string* error) {
    const std::vector<std::string> parts = Split(text, ',');
    const size_t colon = parts[0].find(':');
    if (colon == std::string::npos || colon == 0) {
        *error = "account needs user:password";
        return false;
    }
    account->user = parts[0].substr(0, colon);
    account->password = parts[0].substr(colon + 1);
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string& option = parts[i];
        if (option.rfind("refuse=", 0) == 0) {
            const std::vector<std::string> r = Split(option.substr(7), ':');
            if (r.size() != 2 || !ParseNumber(r[1], &account->refuseType)) {
                *error = "refuse needs STEP:TYPE";
                return false;
            }
            if (r[0] == "connectreq")
                account->refuseAt = RefuseStep::kConnectReq;
            else if (r[0] == "connect")
                account->refuseAt = RefuseStep::kConnect;
            else {
                *error = "refuse step is connectreq or connect";
                return false;
            }
        } else if (option.rfind("limit=", 0) == 0) {
            if (!ParseNumber(option.substr(6), &account->limit) || account->limit < 0) {
                *error = "limit needs a number";
                return false;
            }
        } else {
            *error = "unknown account option: " + option;
            return false;
        }
    }
    return true;
}

bool ParseSchedule(const std::string& text, Schedule* schedule) {
    const size_t first = text.find(':');
    const size_t last = text.rfind(':');
    if (first == std::string::npos || last == first)
        return false;
    const std::string channel = text.substr(0, first);
    if (channel == "main")
        schedule->channel = Channel::kMain;
    else if (channel == "back")
        schedule->channel = Channel::kBack;
    else
        return false;
    return ParseHousekeeping(text.substr(first + 1, last - first - 1), &schedule->request) &&
           ParseNumber(text.substr(last + 1), &schedule->intervalMs) && schedule->intervalMs > 0;
}

bool ParseCountdown(const std::string& value, int32_t* target) {
    if (value == "off") {
        *target = -1;
        return true;
    }
    return ParseNumber(value, target) && *target >= -1;
}
} // namespace

bool ParseHousekeeping(const std::string& text, HousekeepingRequest* request) {
    const std::vector<std::string> parts = Split(text, ':');
    const std::string& kind = parts[0];
    request->count = 0;
    if (kind == "inquiry" && parts.size() == 1)
        request->kind = HousekeepingRequest::kInquiry;
    else if (kind == "ping" && parts.size() == 1)
        request->kind = HousekeepingRequest::kPing;
    else if (kind == "disconnect" && parts.size() == 1)
        request->kind = HousekeepingRequest::kDisconnect;
    else if (kind == "synctime" && parts.size() == 2 && ParseNumber(parts[1], &request->count))
        request->kind = HousekeepingRequest::kSyncTime;
    else
        return false;
    return true;
}

const char* HousekeepingName(HousekeepingRequest::Kind kind) {
    switch (kind) {
    case HousekeepingRequest::kInquiry:
        return "INQUIRY";
    case HousekeepingRequest::kSyncTime:
        return "SYNCTIME";
    case HousekeepingRequest::kPing:
        return "PING";
    case HousekeepingRequest::kDisconnect:
        return "DISCONNECT";
    }
    return "?";
}

const Account* FindAccount(const RecorderConfig& config, const std::string& user) {
    for (const Account& a : config.accounts)
        if (a.user == user)
            return &a;
    return nullptr;
}

bool ApplySetting(RecorderConfig& config, const std::string& key, const std::string& value,
                  bool atStart, std::string* error) {
    auto bad = [&] {
        *error = "bad value for " + key + ": " + value;
        return false;
    };
    auto milliseconds = [&](int64_t* target, bool allowZero) {
        int64_t v = 0;
        if (!ParseNumber(value, &v) || v < 0 || (!allowZero && v == 0))
            return bad();
        *target = v;
        return true;
    };
    if (key == "address" || key == "config") {
        if (!atStart) {
            *error = key + " is set at start only";
            return false;
        }
        if (key == "config")
            return LoadConfigFile(config, value, error);
        config.address = value;
        return true;
    }
    if (key == "account") {
        Account account;
        if (!ParseAccount(value, &account, error))
            return false;
        for (Account& a : config.accounts)
            if (a.user == account.user) {
                a = account;
                return true;
            }
        config.accounts.push_back(account);
        return true;
    }
    if (key == "client-kind")
        return ParseNumber(value, &config.clientKind) || bad();
    if (key == "negotiate") {
        if (value == "refuse") {
            config.negotiateAccept = false;
            return true;
        }
        if (value == "accept") {
            config.negotiateAccept = true;
            config.negotiateEcho = true;
            return true;
        }
        if (value.rfind("accept:", 0) == 0 &&
            ParseNumber(value.substr(7), &config.negotiateValue)) {
            config.negotiateAccept = true;
            config.negotiateEcho = false;
            return true;
        }
        return bad();
    }
    if (key == "login-delay")
        return milliseconds(&config.loginDelayMs, true);
    if (key == "connectreq-answer") {
        if (value != "normal" && value != "never")
            return bad();
        config.answerConnectReq = value == "normal";
        return true;
    }
    if (key == "answer-delay")
        return milliseconds(&config.answerDelayMs, true);
    if (key == "async-answers") {
        if (value == "normal")
            config.asyncAnswers = AsyncAnswers::kNormal;
        else if (value == "never")
            config.asyncAnswers = AsyncAnswers::kNever;
        else if (value == "reverse-pairs")
            config.asyncAnswers = AsyncAnswers::kReversePairs;
        else
            return bad();
        return true;
    }
    if (key == "drop-back-after")
        return ParseCountdown(value, &config.dropBackAfter) || bad();
    if (key == "drop-main-after")
        return ParseCountdown(value, &config.dropMainAfter) || bad();
    if (key == "broken-frame-after")
        return ParseCountdown(value, &config.brokenFrameAfter) || bad();
    if (key == "broken-frame") {
        if (value == "signature")
            config.brokenFrame = BrokenFrameKind::kSignature;
        else if (value == "length")
            config.brokenFrame = BrokenFrameKind::kLength;
        else if (value == "trailer")
            config.brokenFrame = BrokenFrameKind::kTrailer;
        else
            return bad();
        return true;
    }
    if (key == "frame-timeout")
        return milliseconds(&config.frameTimeoutMs, false);
    if (key == "login-timeout")
        return milliseconds(&config.loginTimeoutMs, false);
    if (key == "exchange-timeout")
        return milliseconds(&config.exchangeTimeoutMs, false);
    if (key == "max-connections")
        return (ParseNumber(value, &config.maxConnections) && config.maxConnections > 0) || bad();
    if (key == "max-pending")
        return (ParseNumber(value, &config.maxPending) && config.maxPending > 0) || bad();
    if (key == "schedule") {
        if (value == "none") {
            config.schedules.clear();
            return true;
        }
        Schedule schedule;
        if (!ParseSchedule(value, &schedule))
            return bad();
        config.schedules.push_back(schedule);
        return true;
    }
    *error = "unknown setting: " + key;
    return false;
}

bool ApplySettingText(RecorderConfig& config, const std::string& text, bool atStart,
                      std::string* error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "expected key=value: " + text;
        return false;
    }
    return ApplySetting(config, Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)), atStart,
                        error);
}

bool LoadConfigFile(RecorderConfig& config, const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        if (!ApplySettingText(config, text, true, error)) {
            *error = path + ":" + std::to_string(number) + ": " + *error;
            return false;
        }
    }
    return true;
}

bool ParseCommandLine(RecorderConfig& config, int argc, char** argv, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            *error = "unexpected argument: " + arg;
            return false;
        }
        arg = arg.substr(2);
        std::string key = arg;
        std::string value;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            key = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            *error = "--" + key + " needs a value";
            return false;
        }
        if (!ApplySetting(config, key, value, true, error))
            return false;
    }
    return true;
}

} // namespace kdm::recorder
