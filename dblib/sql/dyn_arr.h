// The SQL engine's owning array: heap elements whose addresses stay put
// while the array grows. It starts with a first capacity and grows by at
// least its step; long statements make it grow geometrically so that
// building it stays linear.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "frame/lists.h"

namespace kdm::sql {

template <class T> class CDynArr {
public:
    explicit CDynArr(int32_t initial = 10, int32_t step = 5) : m_step(step > 0 ? step : 1) {
        m_items.reserve(static_cast<size_t>(initial > 0 ? initial : 0));
    }
    CDynArr(const CDynArr&) = delete;
    CDynArr& operator=(const CDynArr&) = delete;
    CDynArr(CDynArr&&) = default;
    CDynArr& operator=(CDynArr&&) = default;

    int32_t Count() const { return static_cast<int32_t>(m_items.size()); }
    bool Empty() const { return m_items.empty(); }

    T& operator[](int32_t index) { return *m_items[Checked(index)]; }
    const T& operator[](int32_t index) const { return *m_items[Checked(index)]; }
    T& Last() { return (*this)[Count() - 1]; }

    // Takes ownership; returns the element.
    T& Add(std::unique_ptr<T> item) {
        if (m_items.size() == m_items.capacity())
            m_items.reserve(m_items.capacity() +
                            std::max(static_cast<size_t>(m_step), m_items.capacity() / 2));
        m_items.push_back(std::move(item));
        return *m_items.back();
    }
    template <class... Args> T& Emplace(Args&&... args) {
        return Add(std::make_unique<T>(std::forward<Args>(args)...));
    }
    void Swap(int32_t a, int32_t b) { std::swap(m_items[Checked(a)], m_items[Checked(b)]); }
    void Clear() { m_items.clear(); }

private:
    size_t Checked(int32_t index) const {
        if (index < 0 || index >= Count())
            ThrowListError(CListException::IndexOutOfRange);
        return static_cast<size_t>(index);
    }

    std::vector<std::unique_ptr<T>> m_items;
    int32_t m_step;
};

} // namespace kdm::sql
