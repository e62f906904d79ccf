// One parameter buffer as one frame on a TCP stream or in a UDP datagram:
// header words, payload, trailer, and the payload coding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/kdmii_buf.h"

namespace kdm {

class CSocket;

inline constexpr uint32_t kFrameBeginXor = 0x534F4642;     // "BFOS"
inline constexpr uint32_t kFrameTrailerPlain = 0x454F4642; // "BFOE"
inline constexpr uint32_t kFrameTrailerCoded = 0x53454300; // code, "CES"
inline constexpr uint32_t kFrameOverhead = 12;
inline constexpr int kUdpDatagramMax = 1024;

// Code 1 inverts every whole word and the first tail byte once per tail
// byte; applying it twice restores the payload. Other codes throw the text
// "UNKNOWN CODE".
void CodePayload(uint8_t* payload, size_t length, uint8_t code);

// Header words and trailer around the payload built so far.
void FinishFrame(CTCPBuffer& buffer);

// Results: 0, -1 socket error, 10054 nothing moved, 10057 not connected.
// keep: the message stays in the buffer, read from its start.
int SendFrame(CTCPBuffer& buffer, CSocket& socket, bool keep);
// `bytes` has room for the header before and the trailer after the payload;
// `length` is the whole frame.
int SendRawFrame(CSocket& socket, uint8_t* bytes, uint32_t length);
// timeoutSeconds -1 blocks. 0 with *timedOut when no frame arrived in time;
// -1, a socket error number, 10054 (closed or wrong frame), 10057.
int ReceiveFrame(CTCPBuffer& buffer, CSocket& socket, int timeoutSeconds, bool* timedOut);

// Checks a received frame's header and trailer and takes its payload.
// 0, or 10054 for a frame that is not well formed.
int AcceptFrameBytes(CTCPBuffer& buffer, const uint8_t* frame, size_t length);

int ReceiveDatagram(CTCPBuffer& buffer, CSocket& socket, uint16_t port, int64_t timeoutMs,
                    bool* timedOut);
// Switches the socket to broadcast first. 0 or -1.
int SendDatagram(CTCPBuffer& buffer, CSocket& socket, uint32_t address, uint16_t port);

inline constexpr char kTextBroadcastSendFailure[] = "BROADCAST SEND FAILURE";
inline constexpr char kTextUdpReceiveFailure[] = "UDP RECV FAILURE";
// "<operation> : <socket error name>", with the error, direction and port.
[[noreturn]] void ThrowUdpError(const char* operation, int32_t code, int32_t direction,
                                uint16_t port, const CSocket& socket);

} // namespace kdm
