#include "frame/virtual_buffer.h"

#include <cstring>
#include <new>

#include "frame/exceptions.h"

namespace kdm {

namespace {
[[noreturn]] void ThrowCannotGrow() {
    throw EGrowableBuffer("TVirtualBuffer: Can't grow any more.");
}
[[noreturn]] void ThrowOutOfRange() {
    throw EGrowableBuffer("TVirtualBuffer: Index out of range.");
}
} // namespace

TVirtualBuffer::TVirtualBuffer(size_t initialSize, size_t ceiling, size_t growthStep)
    : m_ceiling(ceiling), m_step(growthStep) {
    if (initialSize > ceiling)
        ThrowCannotGrow();
    if (initialSize > 0) {
        m_data.reset(new (std::nothrow) uint8_t[initialSize]());
        if (!m_data)
            ThrowCannotGrow();
        m_capacity = initialSize;
        m_size = initialSize;
    }
}

void TVirtualBuffer::Resize(size_t n) {
    if (n <= m_capacity) {
        if (n < m_size)
            std::memset(m_data.get() + n, 0, m_size - n);
        m_size = n;
        return;
    }
    if (n > m_ceiling || m_step == 0)
        ThrowCannotGrow();
    size_t missing = n - m_capacity;
    size_t steps = missing / m_step + (missing % m_step != 0 ? 1 : 0);
    size_t capacity = m_ceiling;
    if (steps <= (m_ceiling - m_capacity) / m_step)
        capacity = m_capacity + steps * m_step;
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]());
    if (!grown)
        ThrowCannotGrow();
    if (m_size > 0)
        std::memcpy(grown.get(), m_data.get(), m_size);
    m_data = std::move(grown);
    m_capacity = capacity;
    m_size = n;
}

void TVirtualBuffer::Clear() {
    m_data.reset();
    m_size = 0;
    m_capacity = 0;
}

void TVirtualBuffer::CheckRange(size_t offset, size_t length) const {
    if (offset > m_size || length > m_size - offset)
        ThrowOutOfRange();
}

uint8_t* TVirtualBuffer::At(size_t offset, size_t length) {
    CheckRange(offset, length);
    return m_data.get() + offset;
}

const uint8_t* TVirtualBuffer::At(size_t offset, size_t length) const {
    CheckRange(offset, length);
    return m_data.get() + offset;
}

void TVirtualBuffer::Write(size_t offset, const void* source, size_t length) {
    CheckRange(offset, length);
    if (length > 0)
        std::memcpy(m_data.get() + offset, source, length);
}

void TVirtualBuffer::Read(size_t offset, void* dest, size_t length) const {
    CheckRange(offset, length);
    if (length > 0)
        std::memcpy(dest, m_data.get() + offset, length);
}

} // namespace kdm
