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

void Event::Set() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set = true;
    m_changed.notify_all();
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
