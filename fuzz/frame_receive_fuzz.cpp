// Any byte stream from a peer, read as frames until the stream ends or a
// frame is refused; the same bytes also as one datagram.
//
// Beyond "no crash, no hang, no access outside the block": a frame that is
// accepted carries exactly the payload its length word announced, and a
// refused one leaves the buffer empty.
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    std::thread writer([&] {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = send(fds[1], data + done, size - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        shutdown(fds[1], SHUT_WR);
    });
    CSocket socket;
    socket.AdoptConnected(fds[0]);
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
    writer.join();
    close(fds[1]);
    return 0;
}
