// Shared set-up of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/config_store.h"
#include "platform/diag.h"

namespace kdm::fuzz {

// A broken contract is a finding: abort so the fuzzer keeps the input.
inline void Check(bool condition) {
    if (!condition)
        abort();
}

// The defaults the transport creates go to a store of the run's own, never
// the user's; diagnostics stay off so the fuzzer's output stays readable.
inline void PrepareOnce() {
    static const bool done = [] {
        char name[] = "/tmp/kdm-fuzz-reg-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        setenv("KDM_REGISTRY_FILE", name, 1);
        platform::ConfigStore::ResetDefaultForTesting();
        diag::SetEnabled(false);
        return true;
    }();
    (void)done;
}

// The far end of a socket pair that sends the input, ends its direction,
// and reads whatever comes back until the near end closes, so answers
// never block the code under test.
class StreamPeer {
public:
    StreamPeer(const uint8_t* data, size_t size) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0) {
            m_fds[0] = m_fds[1] = -1;
            return;
        }
        m_thread = std::thread([this, data, size] {
            size_t done = 0;
            while (done < size) {
                const ssize_t n = send(m_fds[1], data + done, size - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            shutdown(m_fds[1], SHUT_WR);
            char sink[4096];
            while (recv(m_fds[1], sink, sizeof sink, 0) > 0) {
            }
        });
    }
    // The near end; its new owner closes it, and that ends the peer.
    int TakeNearEnd() {
        const int fd = m_fds[0];
        m_fds[0] = -1;
        return fd;
    }
    bool Ok() const { return m_fds[1] >= 0; }
    // Waits for the peer; the near end must be closed by now.
    ~StreamPeer() {
        if (m_thread.joinable())
            m_thread.join();
        if (m_fds[0] >= 0)
            close(m_fds[0]);
        if (m_fds[1] >= 0)
            close(m_fds[1]);
    }
    StreamPeer(const StreamPeer&) = delete;
    StreamPeer& operator=(const StreamPeer&) = delete;

private:
    int m_fds[2] = {-1, -1};
    std::thread m_thread;
};

} // namespace kdm::fuzz
