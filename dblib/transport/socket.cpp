#include "transport/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame/exceptions.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "transport/socket_errors.h"
#include "transport/socket_settings.h"

namespace kdm {

namespace {
// A blocking connect is cut into slices so a kill from another thread is
// seen while the peer does not answer.
constexpr int kConnectSliceMs = 50;

int32_t LastErrno() {
    const int32_t code = WinsockFromErrno(errno);
    SetSocketLastError(code);
    return code;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

bool ResolveIPv4(const char* name, uint32_t* address, int32_t* error) {
    in_addr dotted{};
    if (inet_pton(AF_INET, name, &dotted) == 1) {
        *address = ntohl(dotted.s_addr);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = rc != 0 ? WinsockFromResolver(rc) : kSockHOST_NOT_FOUND;
        SetSocketLastError(*error);
        return false;
    }
    *address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}
} // namespace

class CSocket::BlockingScope {
public:
    BlockingScope(CSocket& socket, int32_t state) : m_socket(socket) {
        m_socket.m_blocking.store(state);
    }
    ~BlockingScope() { m_socket.m_blocking.store(kNotBlocking); }

private:
    CSocket& m_socket;
};

CSocket::CSocket(bool keepAlive)
    : m_keepAlive(keepAlive && Settings().deactivateKeepAlive == 0),
      m_sendTimeoutMs(Settings().InitialSendTimeoutMs()) {
    SetDisconnected(true);
    CSocketList::Instance().Add(this);
}

CSocket::~CSocket() {
    try {
        CSocketList::Instance().Remove(this);
        CloseDescriptor();
    } catch (...) {
        diag::Error("UNHANDLED EXCEPTION ~CSocket");
    }
}

void CSocket::SetDisconnected(bool disconnected) {
    // Only a real change touches the event.
    if (m_disconnected.exchange(disconnected) != disconnected) {
        if (disconnected)
            m_disconnectedEvent.Set();
        else
            m_disconnectedEvent.Reset();
    }
}

void CSocket::CloseDescriptor() {
    TEnterCriticalSection guard(m_closeCs);
    const int fd = m_fd.exchange(-1);
    m_connected.store(false);
    m_kind.store(kKindNotUsed);
    m_udpBound = false;
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

int32_t CSocket::ConnectByName(const char* host, uint16_t port) {
    if (host == nullptr)
        host = "";
    uint32_t address = 0;
    int32_t error = kSockHOST_NOT_FOUND;
    bool resolved;
    if (strcasecmp(host, "localhost") == 0)
        resolved = ResolveIPv4("localhost", &address, &error) ||
                   ResolveIPv4("127.0.0.1", &address, &error);
    else
        resolved = ResolveIPv4(host, &address, &error);
    if (!resolved)
        return error;
    return ConnectByAddress(address, port);
}

int32_t CSocket::ConnectWithKillCheck(int fd, uint32_t address, uint16_t port) {
    BlockingScope blocking(*this, kBlockConnect);
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in sa = MakeAddress(address, port);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR)
        return LastErrno();
    while (rc != 0) {
        if (m_killed.load()) {
            SetSocketLastError(kSockESHUTDOWN);
            return kSockESHUTDOWN;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kConnectSliceMs);
        if (ready < 0 && errno != EINTR)
            return LastErrno();
        if (ready <= 0)
            continue;
        int soError = 0;
        socklen_t len = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            errno = soError;
            return LastErrno();
        }
        rc = 0;
    }
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return 0;
}

int32_t CSocket::ConnectByAddress(uint32_t address, uint16_t port) {
    CloseDescriptor();
    m_aheadPos = m_aheadEnd = 0;
    if (m_killed.exchange(false)) {
        SetSocketLastError(kSockESHUTDOWN);
        return kSockESHUTDOWN;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return LastErrno();
    {
        TEnterCriticalSection guard(m_closeCs);
        m_fd.store(fd);
    }
    const int32_t rc = ConnectWithKillCheck(fd, address, port);
    if (rc != 0) {
        CloseDescriptor();
        if (rc == kSockESHUTDOWN)
            m_killed.store(false);
        return rc;
    }
    const SocketSettings& s = Settings();
    int on = 1;
    if (m_keepAlive && s.deactivateKeepAlive == 0 &&
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        CloseDescriptor();
        throw EException("KEEP ALIVE FAILED");
    }
    m_connected.store(true);
    m_kind.store(kKindTcpClient);
    m_peerPort = port;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        m_localAddress = ntohl(local.sin_addr.s_addr);
        m_localPort = ntohs(local.sin_port);
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        diag::Error("\n\n\n ####  DISABLE NAGLE FAILED ####\n\n");
    if (s.activateSingleKeepAlive != 0) {
        int keepOn = s.deactivateKeepAlive == 0 ? 1 : 0;
        int idle = s.singleKeepAliveMs / 1000 > 0 ? s.singleKeepAliveMs / 1000 : 1;
        int interval = 1; // the finest the system offers; asked for 500 ms
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepOn, sizeof keepOn);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    }
    if (s.useRegistryBufferSizes != 0) {
        if (s.tcpBufRecv != -1) {
            diag::Error("SOCKET: Setting recv buf size to %d\n", s.tcpBufRecv);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &s.tcpBufRecv, sizeof s.tcpBufRecv);
        }
        if (s.tcpBufSend != -1) {
            diag::Error("SOCKET: Setting send buf size to %d\n", s.tcpBufSend);
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &s.tcpBufSend, sizeof s.tcpBufSend);
        }
    }
    SetSendTimeout(m_sendTimeoutMs);
    SetDisconnected(false);
    return 0;
}

void CSocket::AdoptConnected(int fd) {
    CloseDescriptor();
    m_aheadPos = m_aheadEnd = 0;
    {
        TEnterCriticalSection guard(m_closeCs);
        m_fd.store(fd);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        m_peerPort = ntohs(peer.sin_port);
    m_connected.store(true);
    m_kind.store(kKindTcpClient);
    SetDisconnected(false);
}

void CSocket::TcpDisconnect() {
    try {
        CloseDescriptor();
        m_localAddress = 0;
        m_localPort = 0;
        m_peerPort = 0;
        m_bytesSent.store(0);
        m_bytesReceived.store(0);
        SetDisconnected(true);
    } catch (...) {
        diag::Error("EXCEPTION CSocket::TcpDisconnect\n");
        diag::Error("m_hSocket = %d\n", m_fd.load());
    }
}

void CSocket::Close() {
    TEnterCriticalSection guard(m_closeCs);
    SetDisconnected(true);
    const int fd = m_fd.exchange(-1);
    m_connected.store(false);
    m_kind.store(kKindNotUsed);
    m_udpBound = false;
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        if (::close(fd) != 0 && errno == EINPROGRESS)
            throw EException("Tried to Close a Blocking Socket ...");
    }
}

void CSocket::KillSocket() {
    try {
        m_killed.store(true);
        CSocketList& list = CSocketList::Instance();
        TEnterCriticalSection listGuard(list.Section());
        if (list.Contains(this)) {
            TEnterCriticalSection guard(m_closeCs);
            m_connected.store(false);
            SetDisconnected(true);
            const int fd = m_fd.load();
            if (fd >= 0)
                ::shutdown(fd, SHUT_RDWR);
        }
        KillHook();
    } catch (...) {
        diag::Error("EXCEPTION IN KILLSOCKET\n");
    }
}

bool CSocket::SetSendTimeout(int32_t ms) {
    m_sendTimeoutMs = ms;
    if (Settings().disableSendTimeout != 0) {
        diag::Error("SetSendTimeout disabled due to registry settings\n");
        return true;
    }
    const int fd = m_fd.load();
    if (fd < 0)
        return true;
    timeval tv{};
    if (ms > 0) {
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        diag::Error("CSocket::SetSendTimeout(%d ms) failed [%s]\n", ms,
                    WinsockErrorName(LastErrno()));
        return false;
    }
    return true;
}

void CSocket::SetSendRecvBufSize(int32_t bytes) {
    const SocketSettings& s = Settings();
    int32_t sendSize = bytes;
    int32_t recvSize = bytes;
    if (s.forceRegistrySettings != 0) {
        if (s.useRegistryBufferSizes == 0)
            return;
        sendSize = s.tcpBufSend;
        recvSize = s.tcpBufRecv;
    }
    const int fd = m_fd.load();
    if (sendSize != -1 && setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendSize, sizeof sendSize) != 0)
        diag::Error("SET SEND BUF TO SIZE [%d] FAILED\n", sendSize);
    if (recvSize != -1 && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvSize, sizeof recvSize) != 0)
        diag::Error("SET RECV BUF TO SIZE [%d] FAILED\n", recvSize);
}

bool CSocket::SetSocketToBlockingMode() {
    const int fd = m_fd.load();
    const int flags = fd >= 0 ? fcntl(fd, F_GETFL, 0) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        diag::Error("CSocket::SetSocketToBlockingMode failed: %s\n",
                    WinsockErrorName(fd < 0 ? kSockENOTSOCK : LastErrno()));
        return false;
    }
    return true;
}

int CSocket::SendPiece(const void* data, int length) {
    BlockingScope blocking(*this, kBlockTcpSend);
    const int fd = m_fd.load();
    if (fd < 0 || m_killed.load()) {
        SetSocketLastError(fd < 0 ? kSockENOTCONN : kSockESHUTDOWN);
        return -1;
    }
    ssize_t n;
    do {
        n = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // The system reports an elapsed send time limit as a full buffer.
        if (errno == EAGAIN)
            errno = ETIMEDOUT;
        LastErrno();
        return -1;
    }
    return static_cast<int>(n);
}

int CSocket::ReceivePiece(void* data, int length) {
    BlockingScope blocking(*this, kBlockTcpReceive);
    const int fd = m_fd.load();
    if (fd < 0 || m_killed.load()) {
        SetSocketLastError(fd < 0 ? kSockENOTCONN : kSockESHUTDOWN);
        return -1;
    }
    if (m_aheadPos < m_aheadEnd) {
        const size_t n = std::min(m_aheadEnd - m_aheadPos, static_cast<size_t>(length));
        std::memcpy(data, m_ahead.data() + m_aheadPos, n);
        m_aheadPos += n;
        return static_cast<int>(n);
    }
    const bool readAhead = static_cast<size_t>(length) < kReadAheadBytes;
    if (readAhead && m_ahead.empty())
        m_ahead.resize(kReadAheadBytes);
    void* target = readAhead ? m_ahead.data() : data;
    const size_t room = readAhead ? kReadAheadBytes : static_cast<size_t>(length);
    ssize_t n;
    do {
        n = ::recv(fd, target, room, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        LastErrno();
        return -1;
    }
    if (!readAhead || n == 0)
        return static_cast<int>(n);
    m_aheadEnd = static_cast<size_t>(n);
    m_aheadPos = std::min(m_aheadEnd, static_cast<size_t>(length));
    std::memcpy(data, m_ahead.data(), m_aheadPos);
    return static_cast<int>(m_aheadPos);
}

int CSocket::ReceivePieceTimed(void* data, int length, int64_t timeoutMs, bool* timedOut) {
    *timedOut = false;
    if (m_aheadPos < m_aheadEnd)
        return ReceivePiece(data, length);
    {
        BlockingScope blocking(*this, kBlockTcpReceive);
        const int fd = m_fd.load();
        if (fd < 0 || m_killed.load()) {
            SetSocketLastError(fd < 0 ? kSockENOTCONN : kSockESHUTDOWN);
            return -1;
        }
        const int64_t deadline = platform::MonotonicMs() + timeoutMs;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int64_t left = deadline - platform::MonotonicMs();
            const int ready = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0) {
                LastErrno();
                return -1;
            }
            if (ready == 0) {
                *timedOut = true;
                return 0;
            }
            break;
        }
    }
    return ReceivePiece(data, length);
}

int32_t CSocket::UdpBind(uint16_t port) {
    CloseDescriptor();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return LastErrno();
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = MakeAddress(INADDR_ANY, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int32_t code = LastErrno();
        ::close(fd);
        return code;
    }
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    TEnterCriticalSection guard(m_closeCs);
    m_fd.store(fd);
    m_kind.store(kKindUdp);
    m_udpBound = true;
    m_localPort = ntohs(local.sin_port);
    return 0;
}

int32_t CSocket::UdpBindAny(uint16_t* port) {
    const int32_t rc = UdpBind(0);
    if (rc == 0 && port != nullptr)
        *port = m_localPort;
    return rc;
}

bool CSocket::EnableBroadcast() {
    int on = 1;
    return setsockopt(m_fd.load(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

int CSocket::UdpSendTo(const void* data, int length, uint32_t address, uint16_t port) {
    BlockingScope blocking(*this, kBlockUdpSend);
    if (m_fd.load() < 0) {
        const int32_t rc = UdpBind(0);
        if (rc != 0)
            return -1;
    }
    const sockaddr_in sa = MakeAddress(address, port);
    const ssize_t n = ::sendto(m_fd.load(), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) {
        LastErrno();
        return -1;
    }
    return static_cast<int>(n);
}

int CSocket::UdpReceive(void* data, int length, uint16_t port, int64_t timeoutMs, bool* timedOut) {
    *timedOut = false;
    if (!m_udpBound) {
        const int32_t rc = UdpBind(port);
        if (rc != 0)
            return -1;
    }
    BlockingScope blocking(*this, kBlockUdpWait);
    const int fd = m_fd.load();
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeoutMs < 0 ? -1 : static_cast<int>(timeoutMs));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        *timedOut = true;
        return -1;
    }
    if (ready < 0) {
        LastErrno();
        return -1;
    }
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd, data, static_cast<size_t>(length), 0,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        LastErrno();
        return -1;
    }
    inet_ntop(AF_INET, &from.sin_addr, m_senderAddress, sizeof m_senderAddress);
    m_senderPort = ntohs(from.sin_port);
    return static_cast<int>(n);
}

std::string CSocket::PeerAddressText() const {
    const int fd = m_fd.load();
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    char text[INET_ADDRSTRLEN] = {};
    if (!m_connected.load() || fd < 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr)
        return "NOT CONNECTED";
    return text;
}

void CSocket::CheckForDisconnectState() {
    switch (SocketLastError()) {
    case kSockENETDOWN:
    case kSockENETRESET:
    case kSockECONNABORTED:
    case kSockECONNRESET:
    case kSockENOTCONN:
    case kSockETIMEDOUT:
        SetDisconnected(true);
        break;
    default:
        break;
    }
}

} // namespace kdm
