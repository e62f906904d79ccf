// A framed TCP connection with one parameter buffer, the abstract interface
// the channels use, and the padding-packet schedule that keeps idle links
// alive through middle boxes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "frame/exceptions.h"
#include "transport/kdmii_buf.h"
#include "transport/socket.h"

namespace kdm {

class CIPConnection;

enum ConnectionDirection : int32_t { kDirectionSend = 0, kDirectionReceive = 1 };

inline constexpr uint32_t kCmdPing = 0x00FF0020;
inline constexpr int kPaddingBytes = 1024;
inline constexpr int kPingAnswerSeconds = 60;

// The abstract connection, in the order of its operations.
class CTCPInterface {
public:
    virtual ~CTCPInterface() = default;
    // False when no frame arrived in time.
    virtual bool ReceiveTimed(int timeoutSeconds) = 0;
    virtual void Receive() = 0;
    virtual void Send() = 0;
    virtual void SendReceive() = 0;
    virtual bool SendReceiveTimed(int timeoutSeconds) = 0;
    virtual void SendBuffer(CKDMIIBuf& buffer, bool reset) = 0;
    virtual void ReceiveInto(CKDMIIBuf& buffer) = 0;
    virtual bool ReceiveIntoTimed(CKDMIIBuf& buffer, int timeoutSeconds) = 0;
    virtual void SendRaw(uint8_t* bytes, uint32_t length) = 0;
    virtual void ResetAndDisconnect() = 0;
    virtual CKDMIIBuf& ReceiveBuffer() = 0;
    virtual CKDMIIBuf& SendBufferRef() = 0;
    // 0 here; the command channel overrides it.
    virtual int WaitForCommand(uint32_t* command, bool* reply, int timeoutSeconds) = 0;
    virtual std::string PeerAddress() const = 0;
};

// Failures of the framed connection. Numbers: socket error, direction.
class CIPConnectionError : public CIPConnectionException {
public:
    CIPConnectionError(const char* operation, int32_t code, int32_t direction,
                       CIPConnection* connection);
    int32_t Code() const { return Number1(); }
    int32_t Direction() const { return Number2(); }
    CIPConnection* Connection() const { return m_connection; }

private:
    CIPConnection* m_connection;
};

inline constexpr char kTextSendFailed[] = "WSOCK SEND DATA FAILED";
inline constexpr char kTextReceiveFailed[] = "WSOCK RECEIVE DATA FAILED";

// Ticks of the schedule's counter; tests replace it.
using PaddingClock = int64_t (*)();
PaddingClock SetPaddingClockForTesting(PaddingClock clock);
int64_t PaddingCounterFrequency();

class CDummyPacketTimeoutValues {
public:
    CDummyPacketTimeoutValues(int64_t intervalMs, int32_t count);
    void Update(int64_t intervalMs, int32_t count);
    bool Due() const;
    void Rearm();
    int32_t Count() const { return m_count; }
    int64_t IntervalTicks() const { return m_intervalTicks; }
    CKDMIIBuf& Buffer() { return m_buffer; }

private:
    int64_t m_intervalTicks = 0;
    int32_t m_count = 0;
    int64_t m_due = 0;
    CKDMIIBuf m_buffer;
};

class CIPConnection : public CSocket, public CTCPInterface {
public:
    explicit CIPConnection(bool keepAlive = false);
    ~CIPConnection() override;

    bool ReceiveTimed(int timeoutSeconds) override;
    void Receive() override;
    void Send() override;
    void SendReceive() override;
    bool SendReceiveTimed(int timeoutSeconds) override;
    void SendBuffer(CKDMIIBuf& buffer, bool reset) override;
    void ReceiveInto(CKDMIIBuf& buffer) override;
    bool ReceiveIntoTimed(CKDMIIBuf& buffer, int timeoutSeconds) override;
    void SendRaw(uint8_t* bytes, uint32_t length) override;
    void ResetAndDisconnect() override;
    CKDMIIBuf& ReceiveBuffer() override { return m_buffer; }
    CKDMIIBuf& SendBufferRef() override { return m_buffer; }
    int WaitForCommand(uint32_t* command, bool* reply, int timeoutSeconds) override;
    std::string PeerAddress() const override { return PeerAddressText(); }

    // Negative interval or count <= 0 removes the schedule.
    void SetPaddingSchedule(int64_t intervalMs, int32_t count);
    const CDummyPacketTimeoutValues* PaddingSchedule() const { return m_padding.get(); }

    // Sends Ping and takes its tagged Int32 answer within `seconds`.
    bool PingPeer(CKDMIIBuf& buffer, int seconds);
    // Brings a channel whose answer did not come back in step with its
    // peer. False when it had to be closed.
    bool Resynchronize(int pingAttempts);

protected:
    // Lets the command channel answer a housekeeping request that arrives
    // while an answer is awaited. True when the frame was such a request.
    virtual bool HandleInterleavedRequest(CKDMIIBuf& buffer);

    [[noreturn]] void Fail(CKDMIIBuf& buffer, const char* operation, int code, int32_t direction);
    void RunPaddingSchedule();
    // 0 or a result code; *timedOut tells.
    int ReceiveFrameInto(CKDMIIBuf& buffer, int timeoutSeconds, bool* timedOut);
    bool GetAndDiscardData();
    // The answer to a request just sent, answering any housekeeping request
    // that arrives before it. False when none came within `seconds`.
    bool ReceiveAnswer(CKDMIIBuf& buffer, int seconds);

private:
    bool ReceiveWithResync(CKDMIIBuf& buffer, int timeoutSeconds);

    CKDMIIBuf m_buffer;
    std::unique_ptr<CDummyPacketTimeoutValues> m_padding;
    bool m_inPadding = false;
};

} // namespace kdm
