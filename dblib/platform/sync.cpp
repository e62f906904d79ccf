#include "platform/sync.h"

#include <chrono>
#include <sys/syscall.h>
#include <unistd.h>

namespace kdm::platform {

int32_t CurrentThreadId() {
    thread_local const int32_t id = static_cast<int32_t>(syscall(SYS_gettid));
    return id;
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
