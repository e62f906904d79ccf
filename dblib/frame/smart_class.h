// Reference-counted base of every object a client holds through a handle.
#pragma once

#include <atomic>
#include <cstdint>

namespace kdm {

class TSmartClass {
public:
    TSmartClass() = default;
    virtual ~TSmartClass() = default;
    TSmartClass(const TSmartClass&) = delete;
    TSmartClass& operator=(const TSmartClass&) = delete;

    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // The release that reaches 0 runs Shutdown and deletes, on this thread.
    void Release() {
        if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            try {
                Shutdown();
            } catch (...) {
                // Deletion goes on: an object that cannot shut down cleanly
                // must still not leak.
            }
            delete this;
        }
    }
    int32_t RefCount() const { return m_refCount.load(std::memory_order_relaxed); }

protected:
    virtual void Shutdown() {}

private:
    std::atomic<int32_t> m_refCount{1};
};

} // namespace kdm
