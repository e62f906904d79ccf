#include "transport/ip_connection.h"

#include <array>
#include <chrono>
#include <cstring>

#include "frame/exceptions.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "transport/frame_io.h"
#include "transport/socket_errors.h"
#include "transport/socket_settings.h"

namespace kdm {

namespace {
int64_t SteadyTicks() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<PaddingClock> g_paddingClock{&SteadyTicks};

int64_t PaddingNow() {
    return g_paddingClock.load()();
}

std::string ConnectionErrorText(const char* operation, int32_t code) {
    std::string text = operation;
    text += " : ";
    text += WinsockErrorName(code);
    if (text.size() > 511)
        text.resize(511);
    return text;
}
} // namespace

PaddingClock SetPaddingClockForTesting(PaddingClock clock) {
    return g_paddingClock.exchange(clock != nullptr ? clock : &SteadyTicks);
}

int64_t PaddingCounterFrequency() {
    return 1000000000;
}

CIPConnectionError::CIPConnectionError(const char* operation, int32_t code, int32_t direction,
                                       CIPConnection* connection)
    : CIPConnectionException(ConnectionErrorText(operation, code), code, direction),
      m_connection(connection) {}

// --- padding schedule ---------------------------------------------------------

CDummyPacketTimeoutValues::CDummyPacketTimeoutValues(int64_t intervalMs, int32_t count) {
    Update(intervalMs, count);
}

void CDummyPacketTimeoutValues::Update(int64_t intervalMs, int32_t count) {
    // (ms x frequency + 500) / 1000, exact for a frequency in whole
    // kilohertz, without overflowing for intervals of centuries.
    const int64_t perMs = PaddingCounterFrequency() / 1000;
    const int64_t limit = INT64_MAX / 2;
    m_intervalTicks = intervalMs > limit / perMs ? limit : intervalMs * perMs;
    m_count = count;
    Rearm();
}

bool CDummyPacketTimeoutValues::Due() const {
    return PaddingNow() > m_due;
}

void CDummyPacketTimeoutValues::Rearm() {
    m_due = PaddingNow() + m_intervalTicks;
}

// --- connection ---------------------------------------------------------------

CIPConnection::CIPConnection(bool keepAlive) : CSocket(keepAlive) {}

CIPConnection::~CIPConnection() = default;

void CIPConnection::Fail(CKDMIIBuf& buffer, const char* operation, int code, int32_t direction) {
    const int32_t error = code == -1 ? SocketLastError() : code;
    buffer.Reset();
    m_buffer.Reset();
    TcpDisconnect();
    if (direction == kDirectionSend)
        diag::Error("Send error [%s]", WinsockErrorName(error));
    throw CIPConnectionError(operation, error, direction, this);
}

int CIPConnection::ReceiveFrameInto(CKDMIIBuf& buffer, int timeoutSeconds, bool* timedOut) {
    return ReceiveFrame(buffer, *this, timeoutSeconds, timedOut);
}

bool CIPConnection::HandleInterleavedRequest(CKDMIIBuf&) {
    return false;
}

bool CIPConnection::ReceiveWithResync(CKDMIIBuf& buffer, int timeoutSeconds) {
    bool timedOut = false;
    const int rc = ReceiveFrameInto(buffer, timeoutSeconds, &timedOut);
    if (rc != 0)
        Fail(buffer, kTextReceiveFailed, rc, kDirectionReceive);
    if (timedOut && Settings().resyncServerOnTimeout != 0)
        Resynchronize(1);
    return !timedOut;
}

bool CIPConnection::ReceiveTimed(int timeoutSeconds) {
    return ReceiveWithResync(m_buffer, timeoutSeconds);
}

void CIPConnection::Receive() {
    ReceiveInto(m_buffer);
}

void CIPConnection::Send() {
    SendBuffer(m_buffer, true);
}

void CIPConnection::SendReceive() {
    Send();
    for (;;) {
        Receive();
        if (!HandleInterleavedRequest(m_buffer))
            return;
    }
}

bool CIPConnection::SendReceiveTimed(int timeoutSeconds) {
    Send();
    const int64_t deadline = platform::MonotonicMs() + static_cast<int64_t>(timeoutSeconds) * 1000;
    for (;;) {
        const int64_t left = deadline - platform::MonotonicMs();
        const int seconds = left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
        bool timedOut = false;
        const int rc = ReceiveFrameInto(m_buffer, seconds, &timedOut);
        if (rc != 0)
            Fail(m_buffer, kTextReceiveFailed, rc, kDirectionReceive);
        if (timedOut)
            return false;
        if (!HandleInterleavedRequest(m_buffer))
            return true;
    }
}

void CIPConnection::SendBuffer(CKDMIIBuf& buffer, bool reset) {
    RunPaddingSchedule();
    const int rc = SendFrame(buffer, *this, !reset);
    if (rc != 0)
        Fail(buffer, kTextSendFailed, rc, kDirectionSend);
}

void CIPConnection::ReceiveInto(CKDMIIBuf& buffer) {
    bool timedOut = false;
    const int rc = ReceiveFrameInto(buffer, -1, &timedOut);
    if (rc != 0)
        Fail(buffer, kTextReceiveFailed, rc, kDirectionReceive);
}

bool CIPConnection::ReceiveIntoTimed(CKDMIIBuf& buffer, int timeoutSeconds) {
    return ReceiveWithResync(buffer, timeoutSeconds);
}

void CIPConnection::SendRaw(uint8_t* bytes, uint32_t length) {
    RunPaddingSchedule();
    const int rc = SendRawFrame(*this, bytes, length);
    if (rc != 0)
        Fail(m_buffer, kTextSendFailed, rc, kDirectionSend);
}

void CIPConnection::ResetAndDisconnect() {
    m_buffer.Reset();
    TcpDisconnect();
}

int CIPConnection::WaitForCommand(uint32_t*, bool*, int) {
    return 0;
}

void CIPConnection::SetPaddingSchedule(int64_t intervalMs, int32_t count) {
    if (intervalMs < 0 || count <= 0) {
        m_padding.reset();
        return;
    }
    if (m_padding)
        m_padding->Update(intervalMs, count);
    else
        m_padding = std::make_unique<CDummyPacketTimeoutValues>(intervalMs, count);
}

void CIPConnection::RunPaddingSchedule() {
    if (!m_padding || m_inPadding || !m_padding->Due())
        return;
    m_inPadding = true;
    CKDMIIBuf& buffer = m_padding->Buffer();
    static const auto kSpaces = [] {
        std::array<uint8_t, kPaddingBytes> spaces{};
        spaces.fill(0x20);
        return spaces;
    }();
    for (int32_t i = 0; i < m_padding->Count(); ++i) {
        buffer.BeginCommand(kCmdPing, true);
        buffer.PutBytesFlags(kSpaces.data(), kPaddingBytes, 0);
        bool ok = SendFrame(buffer, *this, false) == 0;
        if (ok)
            ok = ReceiveAnswer(buffer, kPingAnswerSeconds);
        int32_t answer = -1;
        if (ok)
            ok = buffer.GetInt32(&answer) == 0;
        buffer.Reset();
        if (!ok) {
            m_inPadding = false;
            ResetAndDisconnect();
            throw CIPConnectionError(kTextSendFailed, SocketLastError(), kDirectionSend, this);
        }
    }
    m_padding->Rearm();
    m_inPadding = false;
}

bool CIPConnection::PingPeer(CKDMIIBuf& buffer, int seconds) {
    buffer.BeginCommand(kCmdPing, true);
    if (SendFrame(buffer, *this, false) != 0 || !ReceiveAnswer(buffer, seconds))
        return false;
    int32_t answer = -1;
    const bool ok = buffer.GetInt32(&answer) == 0 && answer == 0;
    buffer.Reset();
    return ok;
}

bool CIPConnection::ReceiveAnswer(CKDMIIBuf& buffer, int seconds) {
    const int64_t deadline = platform::MonotonicMs() + static_cast<int64_t>(seconds) * 1000;
    for (;;) {
        const int64_t left = deadline - platform::MonotonicMs();
        bool timedOut = false;
        if (ReceiveFrameInto(buffer, left <= 0 ? 0 : static_cast<int>((left + 999) / 1000),
                             &timedOut) != 0 ||
            timedOut)
            return false;
        if (!HandleInterleavedRequest(buffer))
            return true;
    }
}

bool CIPConnection::GetAndDiscardData() {
    CKDMIIBuf scratch;
    bool timedOut = false;
    if (ReceiveFrameInto(scratch, 2, &timedOut) != 0)
        return false;
    if (!timedOut)
        return true;
    if (ReceiveFrameInto(scratch, 4, &timedOut) != 0)
        return false;
    if (timedOut) {
        diag::Error("GetAndDiscardData failed for the second time\n");
        return false;
    }
    return true;
}

bool CIPConnection::Resynchronize(int pingAttempts) {
    const std::string peer = PeerAddressText();
    const unsigned self = static_cast<unsigned>(reinterpret_cast<uintptr_t>(this));
    diag::Error("RESYNCHRONIZING CHANNEL CONNECTION = [%s]   SPTR [%X]\n", peer.c_str(), self);
    try {
        CKDMIIBuf buffer;
        GetAndDiscardData();
        int attempts = 0;
        while (attempts < pingAttempts + 1) {
            ++attempts;
            if (PingPeer(buffer, kPingAnswerSeconds))
                break;
        }
        for (int i = 0; i < attempts + 1; ++i)
            GetAndDiscardData();
        if (!PingPeer(buffer, kPingAnswerSeconds)) {
            ResetAndDisconnect();
            diag::Error("RESYNCHRONIZATION FAILED - CLOSING CHANNEL: CONNECTION = [%s]\n",
                        peer.c_str());
            return false;
        }
        diag::Error("RESYNCHRONIZATION OK: CONNECTION = %s   SPTR [%X]\n", peer.c_str(), self);
        return true;
    } catch (...) {
        diag::Error(
            "RESYNCHRONIZATION FAILED: EXCPT. OCCURED, CLOSING CHANNEL: %s   SOCKET_PTR [%X]\n",
            peer.c_str(), self);
        throw;
    }
}

} // namespace kdm
