// A growable memory block with a fixed ceiling that grows in whole steps.
// Its contents stay in place until the next growth; new bytes are zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kdm {

class TVirtualBuffer {
public:
    // Raises EGrowableBuffer "TVirtualBuffer: Can't grow any more." when the
    // initial size exceeds the ceiling or cannot be allocated.
    TVirtualBuffer(size_t initialSize, size_t ceiling, size_t growthStep);
    TVirtualBuffer(const TVirtualBuffer&) = delete;
    TVirtualBuffer& operator=(const TVirtualBuffer&) = delete;

    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }
    size_t Ceiling() const { return m_ceiling; }
    size_t GrowthStep() const { return m_step; }

    // Null while nothing is allocated.
    uint8_t* Data() { return m_data.get(); }
    const uint8_t* Data() const { return m_data.get(); }

    // Sets the size to n. Growth adds whole steps to the capacity (the last
    // step is cut at the ceiling); a step of 0 forbids growth. Raises
    // EGrowableBuffer "TVirtualBuffer: Can't grow any more." beyond the
    // ceiling or when memory runs out; the block is then unchanged.
    // Shrinking keeps the memory; bytes beyond the new size are zeroed so
    // that growing again shows zero bytes.
    void Resize(size_t n);

    // Size 0 and the memory released.
    void Clear();

    // Checked access: raises EGrowableBuffer "TVirtualBuffer: Index out of
    // range." unless [offset, offset + length) lies inside the size.
    uint8_t* At(size_t offset, size_t length);
    const uint8_t* At(size_t offset, size_t length) const;
    void Write(size_t offset, const void* source, size_t length);
    void Read(size_t offset, void* dest, size_t length) const;

private:
    void CheckRange(size_t offset, size_t length) const;

    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
    size_t m_ceiling;
    size_t m_step;
};

} // namespace kdm
