// Any byte stream on a back channel, read by the message thread with three
// commands waiting for their answers; whatever it answers is drained.
//
// Beyond "no crash, no hang": every waiting command ends (answered,
// aborted or lost) once the stream ends, and the list is left empty.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "transport/async_channel.h"

using namespace kdm;
using kdm::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::PrepareOnce();
    if (size > (1u << 16))
        return 0;
    fuzz::StreamPeer peer(data, size);
    if (!peer.Ok())
        return 0;

    auto back = std::make_unique<CInternetClient>();
    back->AdoptConnected(peer.TakeNearEnd());
    auto list = std::make_shared<CAsyncCommandList>();
    std::vector<std::shared_ptr<CAsyncCommandListEntry>> entries;
    for (int i = 0; i < 3; ++i) {
        entries.push_back(std::make_shared<CAsyncCommandListEntry>(list->NextSequence()));
        list->Enter(entries.back());
    }
    {
        CAsyncClientMessageThread thread(list, std::move(back));
        Check(thread.Start());
        // The loop ends by itself when the stream does: no stop request,
        // which would kill the channel before it was read.
        thread.FinishedEvent().Wait(-1);
        for (auto& e : entries) {
            Check(e->Event().Wait(0));
            const int32_t state = e->State();
            Check(state == kEntryAnswered || state == kEntryAborted ||
                  state == kEntryConnectionLost);
        }
        Check(list->Count() == 0);
    }
    return 0;
}
