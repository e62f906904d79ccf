#include "recorder/control.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace kdm::recorder {

namespace {
bool ParseChannel(const std::string& text, Channel* channel) {
    if (text == "main")
        *channel = Channel::kMain;
    else if (text == "back")
        *channel = Channel::kBack;
    else
        return false;
    return true;
}

bool ParseMs(const std::string& text, int64_t* ms) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *ms);
    return ec == std::errc() && p == end && *ms >= 0;
}
} // namespace

std::string ExecuteControl(CRecorderServer& server, const std::string& line, bool* quit) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return "ERR empty command";
    const std::string& command = words[0];
    std::string error;
    int32_t session = 0;
    Channel channel = Channel::kBack;
    int64_t ms = 0;

    if (command == "PING" && words.size() == 1)
        return "OK";
    if (command == "QUIT" && words.size() == 1) {
        *quit = true;
        return "OK";
    }
    if (command == "SET" && words.size() >= 2) {
        // The value may hold blanks (a password).
        const std::string setting = line.substr(line.find_first_not_of(" \t", 3));
        return server.Set(setting, &error) ? "OK" : "ERR " + error;
    }
    if (command == "STATS" && words.size() == 1)
        return "OK " + server.Stats();
    if (command == "SESSIONS" && words.size() == 1) {
        const std::vector<std::string> list = server.SessionList();
        std::string reply = "OK " + std::to_string(list.size());
        for (const std::string& s : list)
            reply += " " + s;
        return reply;
    }
    if (command == "WAIT-SESSIONS" && words.size() == 3) {
        int64_t count = 0;
        if (!ParseMs(words[1], &count) || !ParseMs(words[2], &ms))
            return "ERR usage: WAIT-SESSIONS COUNT MS";
        return server.WaitSessions(static_cast<size_t>(count), ms) ? "OK" : "ERR timeout";
    }
    if (command == "TRACE" && words.size() == 2) {
        std::string text;
        if (!server.ResolveSession(words[1], &session) || !server.Trace(session, &text))
            return "ERR no such session";
        return "OK " + text;
    }
    if (command == "SEND" && words.size() == 4) {
        HousekeepingRequest request;
        if (!server.ResolveSession(words[1], &session) || !ParseChannel(words[2], &channel) ||
            !ParseHousekeeping(words[3], &request))
            return "ERR usage: SEND SESSION main|back inquiry|ping|disconnect|synctime:N";
        return server.Send(session, channel, request, &error) ? "OK" : "ERR " + error;
    }
    if (command == "RESULT" && words.size() == 4) {
        if (!server.ResolveSession(words[1], &session) || !ParseChannel(words[2], &channel) ||
            !ParseMs(words[3], &ms))
            return "ERR usage: RESULT SESSION main|back MS";
        std::string result;
        return server.TakeResult(session, channel, ms, &result) ? "OK " + result : "ERR no result";
    }
    return "ERR unknown command: " + line;
}

} // namespace kdm::recorder
