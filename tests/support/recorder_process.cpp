#include "support/recorder_process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef KDM_RECORDER_PATH
#error "KDM_RECORDER_PATH names the kdmrecorder program"
#endif

namespace kdm::test {

namespace {
constexpr int64_t kReadyWaitMs = 15000;
constexpr int64_t kStopGraceMs = 10000;
constexpr int kFirstHost = 2;
constexpr int kLastHost = 249; // 127.0.0.250 stays free for "nobody listens"

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Spreads parallel test processes over the addresses.
std::atomic<int> g_next{-1};
} // namespace

RecorderProcess::RecorderProcess(std::vector<std::string> args) {
    // The service may vanish while we write to it.
    std::signal(SIGPIPE, SIG_IGN);
    constexpr int kHosts = kLastHost - kFirstHost + 1;
    int expected = -1;
    g_next.compare_exchange_strong(expected, static_cast<int>(getpid() % kHosts));
    for (int attempt = 0; attempt < 40; ++attempt) {
        const int host = kFirstHost + (g_next.fetch_add(1) % kHosts);
        const std::string address = "127.0.0." + std::to_string(host);
        bool inUse = false;
        if (Launch(args, address, &inUse)) {
            m_address = address;
            return;
        }
        if (!inUse)
            return;
    }
    m_startError = "no free loopback address";
}

RecorderProcess::~RecorderProcess() {
    Stop();
}

bool RecorderProcess::Launch(const std::vector<std::string>& args, const std::string& address,
                             bool* addressInUse) {
    std::vector<std::string> argv = {KDM_RECORDER_PATH, "--address", address};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (std::string& a : argv)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);

    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0)
        return false;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    if (pid < 0) {
        close(toChild[1]);
        close(fromChild[0]);
        m_startError = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    m_pid = pid;
    m_in = toChild[1];
    m_out = fromChild[0];
    m_pending.clear();
    std::string line;
    if (ReadLine(&line, kReadyWaitMs) && line.rfind("READY", 0) == 0)
        return true;
    m_startError = line.empty() ? "no READY line" : line;
    *addressInUse = line.find("Address already in use") != std::string::npos;
    Stop();
    return false;
}

bool RecorderProcess::ReadLine(std::string* line, int64_t timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const size_t eol = m_pending.find('\n');
        if (eol != std::string::npos) {
            *line = m_pending.substr(0, eol);
            m_pending.erase(0, eol + 1);
            return true;
        }
        const int64_t left = deadline - NowMs();
        if (m_out < 0 || left <= 0)
            break;
        pollfd p{m_out, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char chunk[4096];
        const ssize_t n = read(m_out, chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_pending.append(chunk, static_cast<size_t>(n));
    }
    line->clear();
    return false;
}

std::string RecorderProcess::Command(const std::string& line, int64_t timeoutMs) {
    if (m_in < 0)
        return "";
    const std::string text = line + "\n";
    if (write(m_in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "";
    std::string reply;
    ReadLine(&reply, timeoutMs);
    return reply;
}

std::map<std::string, std::string> RecorderProcess::Stats() {
    std::map<std::string, std::string> stats;
    std::istringstream in(Command("STATS"));
    std::string word;
    in >> word; // OK
    while (in >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos)
            stats[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return stats;
}

int64_t RecorderProcess::Stat(const std::string& name) {
    const auto stats = Stats();
    auto it = stats.find(name);
    return it == stats.end() ? -1 : std::stoll(it->second);
}

bool RecorderProcess::WaitStat(const std::string& name, int64_t value, int64_t timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        if (Stat(name) == value)
            return true;
        if (NowMs() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int64_t RecorderProcess::ResidentKiB() const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6));
    return -1;
}

void RecorderProcess::CloseFds() {
    if (m_in >= 0)
        close(m_in);
    if (m_out >= 0)
        close(m_out);
    m_in = m_out = -1;
}

int RecorderProcess::Stop() {
    if (m_pid <= 0)
        return m_exitStatus;
    if (m_in >= 0) {
        const char quit[] = "QUIT\n";
        [[maybe_unused]] const ssize_t n = write(m_in, quit, sizeof quit - 1);
    }
    CloseFds();
    int status = 0;
    const int64_t deadline = NowMs() + kStopGraceMs;
    pid_t done = 0;
    while ((done = waitpid(m_pid, &status, WNOHANG)) == 0 && NowMs() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_exitStatus = -1;
    } else {
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    m_pid = -1;
    return m_exitStatus;
}

} // namespace kdm::test
