// Thread identity and a manual-reset event, the two primitives the rest of
// the library builds its locks and waits on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

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

    // Waits until either event is set: 0 for first, 1 for second, -1 when
    // the time ran out. Negative timeoutMs waits without limit.
    static int WaitAny(const Event& first, const Event& second, int64_t timeoutMs);

    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

private:
    struct Waiter;
    void AddWaiter(Waiter* waiter) const;
    void RemoveWaiter(Waiter* waiter) const;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    mutable std::vector<Waiter*> m_waiters;
    bool m_set;
};

} // namespace kdm::platform
