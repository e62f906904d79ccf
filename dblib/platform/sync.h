// Thread identity and a manual-reset event, the two primitives the rest of
// the library builds its locks and waits on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kdm::platform {

// Kernel thread id of the caller; never -1.
int32_t CurrentThreadId();

// Stays set until Reset, releasing every waiter.
class Event {
public:
    explicit Event(bool initiallySet = false) : m_set(initiallySet) {}
    void Set();
    void Reset();
    bool IsSet() const;
    // Milliseconds; negative waits without limit. True when the event was set.
    bool Wait(int64_t timeoutMs = -1) const;

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    bool m_set;
};

} // namespace kdm::platform
