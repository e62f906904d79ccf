// The socket wrapper under the frame layer: TCP client connections, UDP
// datagrams, the options and time limits the registry tunes, and the
// disconnected state other parts wait on. A socket may be killed from
// another thread to break its owner out of a blocking call.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/critical_section.h"
#include "frame/thread.h"
#include "platform/sync.h"

namespace kdm {

class CSocket : public CListedSocket {
public:
    enum Kind : int32_t { kKindNotUsed = 0, kKindUdp = 2, kKindTcpClient = 3 };
    enum Blocking : int32_t {
        kNotBlocking = 0,
        kBlockTcpReceive = 1,
        kBlockTcpSend = 2,
        kBlockUdpWait = 3,
        kBlockUdpSend = 4,
        kBlockConnect = 6,
    };

    explicit CSocket(bool keepAlive = false);
    ~CSocket() override;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // 0 or a socket error number.
    int32_t ConnectByName(const char* host, uint16_t port);
    // IPv4 address in host byte order.
    int32_t ConnectByAddress(uint32_t address, uint16_t port);
    // Takes a connected TCP socket (a server's accepted connection).
    void AdoptConnected(int fd);

    // Never throws.
    void TcpDisconnect();
    // Raises EException "Tried to Close a Blocking Socket ..." when the
    // system refuses to close a socket in use.
    void Close();
    // Breaks the owner's blocking calls; the next connect fails once with
    // 10058. The descriptor itself is closed by the owner's next close or
    // the destructor, so a racing call never meets a reused descriptor.
    void KillSocket() override;
    int32_t OwnerThreadId() const override { return m_ownerThread.load(); }
    void SetOwnerThreadId(int32_t internalId) { m_ownerThread.store(internalId); }

    // Milliseconds; -1 for none.
    bool SetSendTimeout(int32_t ms);
    void SetSendRecvBufSize(int32_t bytes);
    bool SetSocketToBlockingMode();

    // One system call at most each. Bytes moved, 0 when the peer closed
    // (receive) or nothing moved (send), -1 on an error (SocketLastError
    // tells). Small receives read ahead into the socket's own buffer, so a
    // frame's header and payload usually take one system call.
    virtual int SendPiece(const void* data, int length);
    int ReceivePiece(void* data, int length);
    // Waits at most timeoutMs for data; a wait without data gives 0 with
    // *timedOut set.
    int ReceivePieceTimed(void* data, int length, int64_t timeoutMs, bool* timedOut);

    // 0 or a socket error number.
    int32_t UdpBind(uint16_t port);
    int32_t UdpBindAny(uint16_t* port);
    // Bytes sent or -1.
    int UdpSendTo(const void* data, int length, uint32_t address, uint16_t port);
    bool EnableBroadcast();
    // Binds to `port` first when not bound yet. -1 with *timedOut on a
    // time-out; bytes received otherwise (-1 on an error).
    int UdpReceive(void* data, int length, uint16_t port, int64_t timeoutMs, bool* timedOut);
    // The last datagram's sender.
    const char* SenderAddressText() const { return m_senderAddress; }
    uint16_t SenderPort() const { return m_senderPort; }

    // Dotted IPv4 address of the peer, or "NOT CONNECTED".
    std::string PeerAddressText() const;
    uint16_t PeerPort() const { return m_peerPort; }
    uint16_t LocalPort() const { return m_localPort; }

    bool Connected() const { return m_connected.load(); }
    int32_t Kind() const { return m_kind.load(); }
    int32_t BlockingState() const { return m_blocking.load(); }
    bool KilledFlag() const { return m_killed.load(); }
    int32_t SendTimeoutMs() const { return m_sendTimeoutMs; }
    uint64_t BytesSent() const { return m_bytesSent.load(); }
    uint64_t BytesReceived() const { return m_bytesReceived.load(); }
    void AddBytesSent(uint64_t n) { m_bytesSent.fetch_add(n); }
    void AddBytesReceived(uint64_t n) { m_bytesReceived.fetch_add(n); }
    int Descriptor() const { return m_fd.load(); }

    // Set from construction until the first connect and on every loss.
    platform::Event& DisconnectedEvent() { return m_disconnectedEvent; }
    bool IsDisconnected() const { return m_disconnected.load(); }
    // After a failed send or receive: a lost connection sets the state.
    void CheckForDisconnectState();

protected:
    // Runs at the end of KillSocket.
    virtual void KillHook() {}
    void SetDisconnected(bool disconnected);

private:
    class BlockingScope;
    void CloseDescriptor();
    int32_t ConnectWithKillCheck(int fd, uint32_t address, uint16_t port);

    static constexpr size_t kReadAheadBytes = 16384;
    // Owner thread only; emptied when a new connection starts.
    std::vector<uint8_t> m_ahead;
    size_t m_aheadPos = 0;
    size_t m_aheadEnd = 0;
    std::atomic<int> m_fd{-1};
    std::atomic<int32_t> m_kind{kKindNotUsed};
    std::atomic<bool> m_connected{false};
    std::atomic<int32_t> m_blocking{kNotBlocking};
    std::atomic<bool> m_killed{false};
    std::atomic<bool> m_disconnected{false};
    std::atomic<int32_t> m_ownerThread{0};
    std::atomic<uint64_t> m_bytesSent{0};
    std::atomic<uint64_t> m_bytesReceived{0};
    bool m_keepAlive;
    bool m_udpBound = false;
    uint16_t m_peerPort = 0;
    uint16_t m_localPort = 0;
    uint32_t m_localAddress = 0;
    char m_senderAddress[16] = {};
    uint16_t m_senderPort = 0;
    int32_t m_sendTimeoutMs;
    platform::Event m_disconnectedEvent;
    TCriticalSection m_closeCs;
};

} // namespace kdm
