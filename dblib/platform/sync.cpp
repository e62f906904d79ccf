#include "platform/sync.h"

#include <chrono>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kdm::platform {

namespace {
thread_local int32_t t_threadId = 0;
// A forked child's thread inherits the parent's cached id.
const int g_forkReset = pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });
} // namespace

int32_t CurrentThreadId() {
    (void)g_forkReset;
    if (t_threadId == 0)
        t_threadId = static_cast<int32_t>(syscall(SYS_gettid));
    return t_threadId;
}

struct Event::Waiter {
    std::mutex lock;
    std::condition_variable woken;
    bool signalled = false;
};

void Event::Set() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set = true;
    m_changed.notify_all();
    for (Waiter* waiter : m_waiters) {
        std::lock_guard<std::mutex> inner(waiter->lock);
        waiter->signalled = true;
        waiter->woken.notify_all();
    }
}

void Event::AddWaiter(Waiter* waiter) const {
    std::lock_guard<std::mutex> guard(m_lock);
    m_waiters.push_back(waiter);
}

void Event::RemoveWaiter(Waiter* waiter) const {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = 0; i < m_waiters.size(); ++i) {
        if (m_waiters[i] == waiter) {
            m_waiters.erase(m_waiters.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

int Event::WaitAny(const Event& first, const Event& second, int64_t timeoutMs) {
    Waiter waiter;
    first.AddWaiter(&waiter);
    second.AddWaiter(&waiter);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int result = -1;
    for (;;) {
        // Checked after registering, so a Set in between is not missed.
        if (first.IsSet()) {
            result = 0;
            break;
        }
        if (second.IsSet()) {
            result = 1;
            break;
        }
        std::unique_lock<std::mutex> guard(waiter.lock);
        if (!waiter.signalled) {
            if (timeoutMs < 0) {
                waiter.woken.wait(guard, [&] { return waiter.signalled; });
            } else if (!waiter.woken.wait_until(guard, deadline,
                                                [&] { return waiter.signalled; })) {
                break;
            }
        }
        waiter.signalled = false;
    }
    first.RemoveWaiter(&waiter);
    second.RemoveWaiter(&waiter);
    return result;
}

void Event::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_set;
}

bool Event::Wait(int64_t timeoutMs) const {
    std::unique_lock<std::mutex> guard(m_lock);
    if (timeoutMs < 0) {
        m_changed.wait(guard, [this] { return m_set; });
        return true;
    }
    return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_set; });
}

} // namespace kdm::platform
