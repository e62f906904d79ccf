#include "frame/critical_section.h"

#include "platform/diag.h"
#include "platform/sync.h"

namespace kdm {

void TCriticalSection::Enter() {
    m_section.lock();
    if (m_count.fetch_add(1, std::memory_order_relaxed) == 0)
        m_owner.store(platform::CurrentThreadId(), std::memory_order_relaxed);
}

bool TCriticalSection::TryEnter() {
    if (!m_section.try_lock())
        return false;
    if (m_count.fetch_add(1, std::memory_order_relaxed) == 0)
        m_owner.store(platform::CurrentThreadId(), std::memory_order_relaxed);
    return true;
}

bool TCriticalSection::OwnedByCaller() const {
    return m_count.load(std::memory_order_relaxed) > 0 &&
           m_owner.load(std::memory_order_relaxed) == platform::CurrentThreadId();
}

void TCriticalSection::Leave() {
    if (!OwnedByCaller()) {
        diag::Error("Tried to leave invalid critical section.\n");
        return;
    }
    if (m_count.fetch_sub(1, std::memory_order_relaxed) == 1)
        m_owner.store(-1, std::memory_order_relaxed);
    m_section.unlock();
}

} // namespace kdm
