// Asynchronous commands per second between the client and kdmrecorder on
// loopback, against a raw request/answer exchange of the same frame bytes
// between two plain sockets, measured in the same run.
//
// Usage: remote_command_bench [rounds] [path to kdmrecorder]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "transport/async_channel.h"
#include "transport/async_connection.h"
#include "transport/commands.h"
#include "transport/frame_io.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kAddress = "127.0.0.77";
constexpr uint32_t kAddressValue = 0x7F00004D;

bool ReadExactly(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

std::vector<uint8_t> FrameOf(kdm::CKDMIIBuf& b) {
    kdm::FinishFrame(b);
    const size_t n = b.PayloadLength() + kdm::kFrameOverhead;
    return std::vector<uint8_t>(b.Block(), b.Block() + n);
}

// The frames a NegotiateInterface command puts on the wire each way.
void CommandFrames(std::vector<uint8_t>* request, std::vector<uint8_t>* answer) {
    kdm::CKDMIIBuf b;
    b.BeginCommand(kdm::kCmdAsync, false);
    b.PutRawU64(1);
    b.PutRawU32(kdm::kQualRequest);
    b.PutRawU32(kdm::kCmdNegotiateInterface);
    kdm::CCMD_NegotiateInterface_Params(1, 2).Write(b);
    *request = FrameOf(b);
    b.BeginCommand(kdm::kCmdAsync, false);
    b.PutRawU64(1);
    b.PutRawU32(kdm::kQualAnswer);
    kdm::CCMD_NegotiateInterface_Result result;
    result.accepted = true;
    result.Write(b);
    *answer = FrameOf(b);
}

double RawRoundTripsPerSecond(const std::vector<uint8_t>& request,
                              const std::vector<uint8_t>& answer, int count) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listener, 1);
    socklen_t len = sizeof sa;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    const int server = ::accept(listener, nullptr, nullptr);
    int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::thread peer([&] {
        std::vector<uint8_t> in(request.size());
        for (int i = 0; i < count; ++i)
            if (!ReadExactly(server, in.data(), in.size()) ||
                !WriteAll(server, answer.data(), answer.size()))
                return;
    });
    std::vector<uint8_t> in(answer.size());
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        WriteAll(client, request.data(), request.size());
        ReadExactly(client, in.data(), in.size());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    peer.join();
    ::close(client);
    ::close(server);
    ::close(listener);
    return count / seconds;
}

double CommandsPerSecond(kdm::TAsyncConnection& session, int count) {
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        kdm::CCMD_NegotiateInterface_Params request(1, 2);
        kdm::CCMD_NegotiateInterface_Result answer;
        if (session.ExecuteCommand(request, answer, nullptr, 60000) != kdm::kStatusOk) {
            std::fprintf(stderr, "command %d failed\n", i);
            std::exit(1);
        }
    }
    return count / std::chrono::duration<double>(Clock::now() - t0).count();
}

bool WaitForPort(uint16_t port) {
    for (int i = 0; i < 200; ++i) {
        kdm::CSocket probe;
        if (probe.ConnectByAddress(kAddressValue, port) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string recorder = argc > 2 ? argv[2] : KDM_RECORDER_PATH;
    const int perRound = 5000;

    std::string addressArg = kAddress;
    std::string accountArg = "bench:secret";
    std::vector<char*> args = {const_cast<char*>(recorder.c_str()),
                               const_cast<char*>("--address"),
                               addressArg.data(),
                               const_cast<char*>("--account"),
                               accountArg.data(),
                               nullptr};
    // The service runs until its standard input ends: keep a pipe open.
    int control[2];
    if (pipe(control) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, control[0], 0);
    posix_spawn_file_actions_addclose(&actions, control[1]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, recorder.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(control[0]);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s\n", recorder.c_str());
        return 1;
    }
    if (!WaitForPort(7501) || !WaitForPort(7601)) {
        std::fprintf(stderr, "kdmrecorder did not listen on %s\n", kAddress);
        kill(pid, SIGKILL);
        return 1;
    }

    kdm::TAsyncConnection session(7501, 7601, 17);
    kdm::TConnectParams params;
    params.host = kAddress;
    params.user = "bench";
    params.password = "secret";
    const int32_t connected = session.ConnectAndNegotiate(params, nullptr, 1, 2);
    if (connected != 0) {
        std::fprintf(stderr, "connect failed: %d\n", connected);
        kill(pid, SIGKILL);
        return 1;
    }

    std::vector<uint8_t> request, answer;
    CommandFrames(&request, &answer);
    std::printf("frames: request %zu bytes, answer %zu bytes; %d per round\n", request.size(),
                answer.size(), perRound);
    double bestRaw = 0, bestCmd = 0;
    for (int r = 0; r < rounds; ++r) {
        const double raw = RawRoundTripsPerSecond(request, answer, perRound);
        const double cmd = CommandsPerSecond(session, perRound);
        bestRaw = std::max(bestRaw, raw);
        bestCmd = std::max(bestCmd, cmd);
        std::printf("round %d: raw %.0f/s, commands %.0f/s, ratio %.3f\n", r + 1, raw, cmd,
                    cmd / raw);
    }
    std::printf("best: raw %.0f round trips/s, asynchronous commands %.0f/s, ratio %.3f\n", bestRaw,
                bestCmd, bestCmd / bestRaw);
    session.Disconnect();
    close(control[1]);
    waitpid(pid, nullptr, 0);
    return 0;
}
