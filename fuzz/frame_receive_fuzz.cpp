// Any byte stream from a peer, read as frames until the stream ends or a
// frame is refused; the same bytes also as one datagram.
//
// Beyond "no crash, no hang, no access outside the block": a frame that is
// accepted carries exactly the payload its length word announced, and a
// refused one leaves the buffer empty.
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "transport/frame_io.h"
#include "transport/socket.h"

using namespace kdm;
using kdm::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::PrepareOnce();
    if (size > (1u << 17))
        return 0;
    {
        CKDMIIBuf b;
        int rc = 0;
        try {
            rc = AcceptFrameBytes(b, data, size);
        } catch (const char*) {
            rc = -2; // a coded frame with an unknown code
        }
        if (rc == 0)
            Check(b.PayloadLength() + kFrameOverhead <= size);
        else
            Check(b.Remaining() == 0);
    }

    fuzz::StreamPeer peer(data, size);
    if (!peer.Ok())
        return 0;
    CSocket socket;
    socket.AdoptConnected(peer.TakeNearEnd());
    CKDMIIBuf b;
    size_t consumed = 0;
    for (;;) {
        bool timedOut = false;
        int rc;
        try {
            rc = ReceiveFrame(b, socket, -1, &timedOut);
        } catch (const char*) {
            break;
        }
        Check(!timedOut);
        if (rc != 0) {
            Check(b.Remaining() == 0);
            break;
        }
        consumed += b.PayloadLength() + kFrameOverhead;
        Check(consumed <= size);
        Check(static_cast<uint32_t>(b.Remaining()) == b.PayloadLength());
    }
    socket.TcpDisconnect();
    return 0;
}
