#include "transport/frame_io.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "frame/exceptions.h"
#include "platform/diag.h"
#include "transport/socket.h"
#include "transport/socket_errors.h"
#include "transport/socket_settings.h"

namespace kdm {

namespace {
uint32_t LoadWord(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreWord(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void WriteHeader(uint8_t* frame, uint32_t length) {
    StoreWord(frame, length ^ kFrameBeginXor);
    StoreWord(frame + 4, length);
}

// The whole block, in pieces the registry allows.
int SendAll(CSocket& socket, const uint8_t* data, size_t length) {
    const size_t piece = static_cast<size_t>(Settings().SendPieceSize());
    while (length > 0) {
        const int n = socket.SendPiece(data, static_cast<int>(std::min(length, piece)));
        if (n < 0) {
            if (SocketLastError() == kSockETIMEDOUT)
                diag::Error("TIMEOUT IN SOCKET SEND: %s\n", socket.PeerAddressText().c_str());
            else
                socket.CheckForDisconnectState();
            return -1;
        }
        if (n == 0) {
            diag::Error("CONNECTION CLOSED DURING SEND...\n");
            return kSockECONNRESET;
        }
        data += n;
        length -= static_cast<size_t>(n);
        socket.AddBytesSent(static_cast<uint64_t>(n));
    }
    return 0;
}

// Fills `length` bytes. 1: read; 0: timed out; otherwise a result code.
enum ReadOutcome { kReadDone = 1, kReadTimedOut = 0 };
int ReadExactly(CSocket& socket, uint8_t* dest, size_t length, int timeoutSeconds, bool second,
                int* code) {
    while (length > 0) {
        int n;
        if (timeoutSeconds < 0) {
            n = socket.ReceivePiece(dest, static_cast<int>(std::min<size_t>(length, 1u << 30)));
        } else {
            bool timedOut = false;
            n = socket.ReceivePieceTimed(dest, static_cast<int>(std::min<size_t>(length, 1u << 30)),
                                         static_cast<int64_t>(timeoutSeconds) * 1000, &timedOut);
            if (timedOut)
                return kReadTimedOut;
        }
        if (n == 0) {
            diag::Error(second && timeoutSeconds >= 0 ? "CONNECTION CLOSED DURING RECV #2...\n"
                                                      : "CONNECTION CLOSED DURING RECEIVE...\n");
            *code = kSockECONNRESET;
            return -1;
        }
        if (n < 0) {
            socket.CheckForDisconnectState();
            *code = second && timeoutSeconds >= 0 ? SocketLastError() : -1;
            return -1;
        }
        dest += n;
        length -= static_cast<size_t>(n);
        socket.AddBytesReceived(static_cast<uint64_t>(n));
    }
    return kReadDone;
}

bool CheckTrailer(CTCPBuffer& buffer, uint32_t length) {
    uint8_t* frame = buffer.Block();
    const uint32_t trailer = LoadWord(frame + length - 4);
    if (trailer == kFrameTrailerPlain)
        return true;
    if ((trailer & 0xFFFFFF00u) == kFrameTrailerCoded) {
        CodePayload(frame + kPayloadOffset, length - kFrameOverhead,
                    static_cast<uint8_t>(trailer & 0xFF));
        return true;
    }
    return false;
}

void ReportWrongFrame(uint32_t length) {
    diag::Error("SEVERE TCP ERROR !!! WRONG FRAME !!!\n");
    diag::Error("DATA SIZE : %d", static_cast<int32_t>(length));
}
} // namespace

void CodePayload(uint8_t* payload, size_t length, uint8_t code) {
    if (code != 1)
        throw "UNKNOWN CODE";
    const size_t words = length / 4;
    for (size_t i = 0; i < words * 4; ++i)
        payload[i] = static_cast<uint8_t>(~payload[i]);
    const size_t tail = length - words * 4;
    if (tail % 2 == 1)
        payload[words * 4] = static_cast<uint8_t>(~payload[words * 4]);
}

void FinishFrame(CTCPBuffer& buffer) {
    const uint32_t payload = buffer.PayloadLength();
    const uint32_t length = payload + kFrameOverhead;
    uint8_t* frame = buffer.FrameArea(length);
    WriteHeader(frame, length);
    if (buffer.PayloadCodingOn()) {
        CodePayload(frame + kPayloadOffset, payload, buffer.PayloadCode());
        StoreWord(frame + length - 4, kFrameTrailerCoded | buffer.PayloadCode());
    } else {
        StoreWord(frame + length - 4, kFrameTrailerPlain);
    }
}

int SendFrame(CTCPBuffer& buffer, CSocket& socket, bool keep) {
    FinishFrame(buffer);
    const uint32_t payload = buffer.PayloadLength();
    if (keep) {
        buffer.RewindToRead();
        buffer.SetMark();
    }
    if (!socket.Connected() && payload > 0)
        return kSockENOTCONN;
    const int rc = SendAll(socket, buffer.Block(), payload + kFrameOverhead);
    if (rc == 0) {
        if (keep) {
            // The coded form went out; the kept message is read as built.
            if (buffer.PayloadCodingOn())
                CodePayload(buffer.Block() + kPayloadOffset, payload, buffer.PayloadCode());
            buffer.ReturnToMark();
        } else {
            buffer.Reset();
        }
    }
    return rc;
}

int SendRawFrame(CSocket& socket, uint8_t* bytes, uint32_t length) {
    if (length < kFrameOverhead)
        return kSockECONNRESET;
    WriteHeader(bytes, length);
    StoreWord(bytes + length - 4, kFrameTrailerPlain);
    if (!socket.Connected() && length > kFrameOverhead)
        return kSockENOTCONN;
    return SendAll(socket, bytes, length);
}

int ReceiveFrame(CTCPBuffer& buffer, CSocket& socket, int timeoutSeconds, bool* timedOut) {
    *timedOut = false;
    buffer.Reset();
    if (!socket.Connected())
        return kSockENOTCONN;
    uint8_t* frame = buffer.FrameArea(kFrameHeaderSize);
    int code = 0;
    int outcome = ReadExactly(socket, frame, kFrameHeaderSize, timeoutSeconds, false, &code);
    if (outcome == kReadTimedOut) {
        *timedOut = true;
        buffer.Reset();
        return 0;
    }
    if (outcome != kReadDone) {
        buffer.Reset();
        return code;
    }
    const uint32_t word0 = LoadWord(frame);
    const uint32_t length = LoadWord(frame + 4);
    if ((word0 ^ length) != kFrameBeginXor) {
        diag::Error("WRONG BUFFER BEGIN SIGNATURE\n");
        buffer.Reset();
        return kSockECONNRESET;
    }
    if (length < kFrameOverhead || length > buffer.BlockCeiling()) {
        ReportWrongFrame(length);
        buffer.Reset();
        return kSockECONNRESET;
    }
    frame = buffer.FrameArea(length);
    outcome = ReadExactly(socket, frame + kFrameHeaderSize, length - kFrameHeaderSize,
                          timeoutSeconds, true, &code);
    if (outcome == kReadTimedOut) {
        *timedOut = true;
        buffer.Reset();
        return 0;
    }
    if (outcome != kReadDone) {
        buffer.Reset();
        return code;
    }
    if (!CheckTrailer(buffer, length)) {
        ReportWrongFrame(length);
        buffer.Reset();
        return kSockECONNRESET;
    }
    buffer.SetReceivedPayload(length - kFrameOverhead);
    return 0;
}

int AcceptFrameBytes(CTCPBuffer& buffer, const uint8_t* bytes, size_t size) {
    buffer.Reset();
    if (size < kFrameOverhead)
        return kSockECONNRESET;
    const uint32_t word0 = LoadWord(bytes);
    const uint32_t length = LoadWord(bytes + 4);
    if ((word0 ^ length) != kFrameBeginXor || length < kFrameOverhead || length > size ||
        length > buffer.BlockCeiling())
        return kSockECONNRESET;
    uint8_t* frame = buffer.FrameArea(length);
    std::memcpy(frame, bytes, length);
    if (!CheckTrailer(buffer, length)) {
        buffer.Reset();
        return kSockECONNRESET;
    }
    buffer.SetReceivedPayload(length - kFrameOverhead);
    return 0;
}

int ReceiveDatagram(CTCPBuffer& buffer, CSocket& socket, uint16_t port, int64_t timeoutMs,
                    bool* timedOut) {
    buffer.Reset();
    uint8_t datagram[kUdpDatagramMax];
    const int n = socket.UdpReceive(datagram, kUdpDatagramMax, port, timeoutMs, timedOut);
    if (*timedOut)
        return 0;
    if (n < 0)
        return -1;
    return AcceptFrameBytes(buffer, datagram, static_cast<size_t>(n));
}

void ThrowUdpError(const char* operation, int32_t code, int32_t direction, uint16_t port,
                   const CSocket& socket) {
    std::string text = operation;
    text += " : ";
    text += WinsockErrorName(code);
    throw CUDPException(text, code, direction, port, socket.Descriptor());
}

int SendDatagram(CTCPBuffer& buffer, CSocket& socket, uint32_t address, uint16_t port) {
    FinishFrame(buffer);
    const uint32_t length = buffer.PayloadLength() + kFrameOverhead;
    if (socket.Descriptor() < 0 && socket.UdpBindAny(nullptr) != 0)
        return -1;
    if (!socket.EnableBroadcast())
        diag::Error("ACTIVATE BROADCASTING FAILED\n");
    const int n = socket.UdpSendTo(buffer.Block(), static_cast<int>(length), address, port);
    buffer.Reset();
    return n == static_cast<int>(length) ? 0 : -1;
}

} // namespace kdm
