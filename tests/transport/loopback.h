// Connected TCP pairs on the loopback interface for the transport tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/config_store.h"

namespace kdm::test {

// A listening socket on 127.0.0.1 with a port the system picked.
class Listener {
public:
    Listener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(m_fd, 8);
        socklen_t len = sizeof sa;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
    }
    ~Listener() { ::close(m_fd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t Port() const { return m_port; }
    // The accepted descriptor, -1 on failure.
    int Accept() { return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Raw client descriptor connected to a listener.
inline int ConnectRaw(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool WriteAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Every test binary of the transport keeps its registry values in a file of
// its own, so the defaults it creates never reach the user's store.
class PrivateRegistry {
public:
    PrivateRegistry() {
        char name[] = "/tmp/kdm-reg-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        ::unlink(name);
        m_path = name;
        if (const char* previous = ::getenv("KDM_REGISTRY_FILE"))
            m_previous = previous;
        ::setenv("KDM_REGISTRY_FILE", m_path.c_str(), 1);
        platform::ConfigStore::ResetDefaultForTesting();
    }
    ~PrivateRegistry() {
        ::unlink(m_path.c_str());
        if (m_previous.empty())
            ::unsetenv("KDM_REGISTRY_FILE");
        else
            ::setenv("KDM_REGISTRY_FILE", m_previous.c_str(), 1);
        platform::ConfigStore::ResetDefaultForTesting();
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_previous;
};

} // namespace kdm::test
