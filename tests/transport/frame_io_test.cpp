#include "transport/frame_io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame/exceptions.h"
#include "support/diag_capture.h"
#include "transport/loopback.h"
#include "transport/socket.h"
#include "transport/socket_errors.h"
#include "transport/socket_settings.h"

namespace kdm {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Word(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Frame(const Bytes& payload, uint32_t trailer = kFrameTrailerPlain, int lengthDelta = 0) {
    const uint32_t length = static_cast<uint32_t>(payload.size() + 12 + lengthDelta);
    Bytes out = Word(length ^ kFrameBeginXor);
    Bytes w1 = Word(length);
    out.insert(out.end(), w1.begin(), w1.end());
    out.insert(out.end(), payload.begin(), payload.end());
    Bytes t = Word(trailer);
    out.insert(out.end(), t.begin(), t.end());
    return out;
}

Bytes Payload(const CTCPBuffer& b) {
    const uint8_t* p = b.Block() + kPayloadOffset;
    return Bytes(p, p + b.PayloadLength());
}

// A client socket and the server end of its connection.
struct Pair {
    test::Listener listener;
    CSocket client;
    int server = -1;
    Pair() {
        EXPECT_EQ(client.ConnectByAddress(0x7F000001, listener.Port()), 0);
        server = listener.Accept();
    }
    ~Pair() {
        if (server >= 0)
            ::close(server);
    }
    void CloseServer() {
        ::close(server);
        server = -1;
    }
};

TEST(Frame, FinishFrameWritesHeaderAndTrailerAroundThePayload) {
    CKDMIIBuf b;
    b.PutRawBytes("abcde", 5);
    FinishFrame(b);
    const Bytes expected = {0x53, 0x46, 0x4F, 0x53, 17,  0,   0,   0,  'a',
                            'b',  'c',  'd',  'e',  'B', 'F', 'O', 'E'};
    EXPECT_EQ(Bytes(b.Block(), b.Block() + 17), expected);
}

TEST(Frame, CodeOneInvertsWholeWordsAndTheFirstTailByteOncePerTailByte) {
    struct Case {
        size_t length;
        size_t invertedPrefix; // bytes 0..n-1 inverted, the rest unchanged
    } cases[] = {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {4, 4}, {5, 5}, {6, 4}, {7, 5}, {8, 8}, {9, 9}};
    for (const Case& c : cases) {
        Bytes data(c.length);
        for (size_t i = 0; i < c.length; ++i)
            data[i] = static_cast<uint8_t>(0x10 + i);
        Bytes coded = data;
        CodePayload(coded.data(), coded.size(), 1);
        for (size_t i = 0; i < c.length; ++i)
            EXPECT_EQ(coded[i], i < c.invertedPrefix ? static_cast<uint8_t>(~data[i]) : data[i])
                << "length " << c.length << " byte " << i;
        CodePayload(coded.data(), coded.size(), 1);
        EXPECT_EQ(coded, data) << "coding twice restores, length " << c.length;
    }
}

TEST(Frame, UnknownCodeIsRaisedAsText) {
    uint8_t data[4] = {1, 2, 3, 4};
    try {
        CodePayload(data, 4, 2);
        FAIL() << "no exception";
    } catch (const char* text) {
        EXPECT_STREQ(text, "UNKNOWN CODE");
    }
    CKDMIIBuf b;
    const Bytes frame = Frame({1, 2, 3}, kFrameTrailerCoded | 2);
    EXPECT_THROW(AcceptFrameBytes(b, frame.data(), frame.size()), const char*);
}

TEST(Frame, CodedSendingRoundTripsAndKeepsTheMessageReadable) {
    Pair p;
    CKDMIIBuf out;
    out.SetPayloadCoding(true, 1);
    out.PutInt32(0x01020304);
    out.PutString("coded");
    const Bytes plain = Payload(out);
    ASSERT_EQ(SendFrame(out, p.client, true), 0);
    int32_t first = 0;
    EXPECT_EQ(out.GetInt32(&first), 0) << "kept message is read from its start";
    EXPECT_EQ(first, 0x01020304);

    Bytes wire(plain.size() + 12);
    ASSERT_EQ(::recv(p.server, wire.data(), wire.size(), MSG_WAITALL),
              static_cast<ssize_t>(wire.size()));
    EXPECT_EQ(Bytes(wire.end() - 4, wire.end()), Word(kFrameTrailerCoded | 1));
    EXPECT_NE(Bytes(wire.begin() + 8, wire.end() - 4), plain);
    CKDMIIBuf in;
    ASSERT_EQ(AcceptFrameBytes(in, wire.data(), wire.size()), 0);
    EXPECT_EQ(Payload(in), plain);
}

struct ReceiveCase {
    const char* name;
    Bytes wire;
    bool closeAfter;
    int timeoutSeconds;
    int result;
    bool timedOut;
    const char* diagnostic; // null: none expected
    Bytes payload;
};

TEST(Frame, ReceiveFrameCases) {
    const Bytes good = Frame({9, 8, 7, 6, 5});
    Bytes coded = {1, 2, 3, 4, 5, 6};
    CodePayload(coded.data(), coded.size(), 1);
    Bytes badSignature = good;
    badSignature[0] ^= 1;
    const Bytes truncated(good.begin(), good.begin() + 10);
    const std::vector<ReceiveCase> cases = {
        {"plain", good, false, -1, 0, false, nullptr, {9, 8, 7, 6, 5}},
        {"plain timed", good, false, 2, 0, false, nullptr, {9, 8, 7, 6, 5}},
        {"coded",
         Frame(coded, kFrameTrailerCoded | 1),
         false,
         -1,
         0,
         false,
         nullptr,
         {1, 2, 3, 4, 5, 6}},
        {"empty payload", Frame({}), false, -1, 0, false, nullptr, {}},
        {"signature", badSignature, false, -1, 10054, false, "WRONG BUFFER BEGIN SIGNATURE\n", {}},
        {"length 5",
         Frame({}, kFrameTrailerPlain, -7),
         false,
         -1,
         10054,
         false,
         "DATA SIZE : 5",
         {}},
        {"beyond ceiling",
         Frame({}, kFrameTrailerPlain, (1 << 20) + 1 - 12),
         false,
         -1,
         10054,
         false,
         "SEVERE TCP ERROR !!! WRONG FRAME !!!\n",
         {}},
        {"trailer", Frame({1}, 0x11223344), false, -1, 10054, false, "DATA SIZE : 13", {}},
        {"closed in header",
         Bytes(good.begin(), good.begin() + 3),
         true,
         -1,
         10054,
         false,
         "CONNECTION CLOSED DURING RECEIVE...\n",
         {}},
        {"closed in payload",
         truncated,
         true,
         -1,
         10054,
         false,
         "CONNECTION CLOSED DURING RECEIVE...\n",
         {}},
        {"closed in payload timed",
         truncated,
         true,
         2,
         10054,
         false,
         "CONNECTION CLOSED DURING RECV #2...\n",
         {}},
        {"idle", {}, false, 1, 0, true, nullptr, {}},
        {"stops mid-frame", truncated, false, 1, 0, true, nullptr, {}},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::DiagCapture diag;
        Pair p;
        ASSERT_TRUE(test::WriteAll(p.server, c.wire.data(), c.wire.size()));
        if (c.closeAfter)
            p.CloseServer();
        CKDMIIBuf b;
        b.PutInt32(77); // a stale message must not survive the receive
        bool timedOut = false;
        EXPECT_EQ(ReceiveFrame(b, p.client, c.timeoutSeconds, &timedOut), c.result);
        EXPECT_EQ(timedOut, c.timedOut);
        EXPECT_EQ(Payload(b), c.payload);
        if (c.diagnostic != nullptr) {
            EXPECT_NE(diag.Text().find(c.diagnostic), std::string::npos) << diag.Text();
        }
    }
}

TEST(Frame, ReceiveOnASocketThatIsNotConnectedIs10057) {
    CSocket s;
    CKDMIIBuf b;
    bool timedOut = true;
    EXPECT_EQ(ReceiveFrame(b, s, -1, &timedOut), 10057);
    EXPECT_FALSE(timedOut);
    b.PutInt32(1);
    EXPECT_EQ(SendFrame(b, s, false), 10057);
}

// Records the size of every send call.
class RecordingSocket : public CSocket {
public:
    std::vector<int> pieces;
    int SendPiece(const void* data, int length) override {
        pieces.push_back(length);
        return CSocket::SendPiece(data, length);
    }
};

TEST(Frame, LargeFramesGoOutInPiecesOf16000Bytes) {
    test::Listener listener;
    RecordingSocket client;
    ASSERT_EQ(client.ConnectByAddress(0x7F000001, listener.Port()), 0);
    const int server = listener.Accept();
    std::vector<uint8_t> received;
    std::thread reader([&] {
        uint8_t chunk[65536];
        ssize_t n;
        while ((n = ::recv(server, chunk, sizeof chunk, 0)) > 0)
            received.insert(received.end(), chunk, chunk + n);
    });
    CKDMIIBuf b;
    std::vector<uint8_t> payload(40000 - 12, 0x5A);
    b.PutRawBytes(payload.data(), static_cast<int32_t>(payload.size()));
    EXPECT_EQ(SendFrame(b, client, false), 0);
    EXPECT_EQ(client.pieces, (std::vector<int>{16000, 16000, 8000}));
    EXPECT_EQ(client.BytesSent(), 40000u);
    client.TcpDisconnect();
    reader.join();
    ::close(server);
    EXPECT_EQ(received.size(), 40000u);
    EXPECT_EQ(b.PayloadLength(), 0u) << "reset after sending";
}

TEST(Frame, RawFrameGetsHeaderAndPlainTrailer) {
    Pair p;
    uint8_t block[8 + 3 + 4] = {};
    block[8] = 'x';
    block[9] = 'y';
    block[10] = 'z';
    ASSERT_EQ(SendRawFrame(p.client, block, sizeof block), 0);
    Bytes wire(sizeof block);
    ASSERT_EQ(::recv(p.server, wire.data(), wire.size(), MSG_WAITALL), 15);
    EXPECT_EQ(wire, Frame({'x', 'y', 'z'}));
}

TEST(Frame, DatagramsCarryOneFrameAndBadOnesAre10054) {
    CSocket receiver;
    uint16_t port = 0;
    ASSERT_EQ(receiver.UdpBindAny(&port), 0);
    CSocket sender;
    CKDMIIBuf out;
    out.PutInt32(42);
    ASSERT_EQ(SendDatagram(out, sender, 0x7F000001, port), 0);
    CKDMIIBuf in;
    bool timedOut = true;
    ASSERT_EQ(ReceiveDatagram(in, receiver, port, 2000, &timedOut), 0);
    EXPECT_FALSE(timedOut);
    int32_t v = 0;
    EXPECT_EQ(in.GetInt32(&v), 0);
    EXPECT_EQ(v, 42);
    EXPECT_STREQ(receiver.SenderAddressText(), "127.0.0.1");

    const uint8_t junk[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(sender.UdpSendTo(junk, 5, 0x7F000001, port), 5);
    EXPECT_EQ(ReceiveDatagram(in, receiver, port, 2000, &timedOut), 10054);
    EXPECT_EQ(ReceiveDatagram(in, receiver, port, 100, &timedOut), 0);
    EXPECT_TRUE(timedOut);

    try {
        ThrowUdpError(kTextUdpReceiveFailure, 10054, 1, port, receiver);
        FAIL() << "no exception";
    } catch (const CUDPException& e) {
        EXPECT_STREQ(e.Message(), "UDP RECV FAILURE : WSAECONNRESET");
        EXPECT_EQ(e.Code(), 10054);
        EXPECT_EQ(e.Direction(), 1);
        EXPECT_EQ(e.Port(), port);
    }
}

} // namespace
} // namespace kdm
