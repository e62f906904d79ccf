// Re-entrant locks with owner checking and their scoped guards.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kdm {

// Recursion by the owning thread only. A leave by any other thread, or one
// more leave than enters, changes nothing and writes an error line.
class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter();
    bool TryEnter();
    void Leave();
    bool OwnedByCaller() const;
    int32_t RecursionCount() const { return m_count.load(std::memory_order_relaxed); }
    int32_t Owner() const { return m_owner.load(std::memory_order_relaxed); }

private:
    // Both written only by the owner, read by others for the owner check.
    std::atomic<int32_t> m_count{0};
    std::atomic<int32_t> m_owner{-1};
    std::recursive_mutex m_section;
};

// Enters on construction; Leave() releases early and disarms the guard.
class TEnterCriticalSection {
public:
    explicit TEnterCriticalSection(TCriticalSection& section) : m_section(section) {
        m_section.Enter();
        m_held = true;
    }
    ~TEnterCriticalSection() { Leave(); }
    TEnterCriticalSection(const TEnterCriticalSection&) = delete;
    TEnterCriticalSection& operator=(const TEnterCriticalSection&) = delete;

    void Leave() {
        if (m_held) {
            m_held = false;
            m_section.Leave();
        }
    }

private:
    TCriticalSection& m_section;
    bool m_held = false;
};

class CXCriticalSection {
public:
    void Enter() {
        m_section.lock();
        m_inUse.store(1, std::memory_order_relaxed);
    }
    void Leave() {
        m_inUse.store(0, std::memory_order_relaxed);
        m_section.unlock();
    }
    bool InUse() const { return m_inUse.load(std::memory_order_relaxed) != 0; }

private:
    std::atomic<int32_t> m_inUse{0};
    std::recursive_mutex m_section;
};

// A guard that was never entered releases nothing.
class CAutoCriticalSection {
public:
    CAutoCriticalSection() = default;
    explicit CAutoCriticalSection(CXCriticalSection& section) { Enter(section); }
    ~CAutoCriticalSection() { Release(); }
    CAutoCriticalSection(const CAutoCriticalSection&) = delete;
    CAutoCriticalSection& operator=(const CAutoCriticalSection&) = delete;

    void Enter(CXCriticalSection& section) {
        Release();
        section.Enter();
        m_section = &section;
    }
    void Release() {
        if (m_section != nullptr) {
            CXCriticalSection* section = m_section;
            m_section = nullptr;
            section->Leave();
        }
    }

private:
    CXCriticalSection* m_section = nullptr;
};

} // namespace kdm
