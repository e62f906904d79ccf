#include "frame/basic_string.h"

#include <cctype>
#include <cstdlib>
#include <new>

namespace kdm {

CBasicString::Block* CBasicString::EmptyBlock() {
    static Block empty{{0}, 0, 0, {'\0'}};
    return &empty;
}

CBasicString::Block* CBasicString::NewBlock(size_t capacity) {
    void* memory = std::malloc(offsetof(Block, chars) + capacity + 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    Block* block = new (memory) Block;
    block->refs.store(1, std::memory_order_relaxed);
    block->capacity = capacity;
    block->length = 0;
    block->chars[0] = '\0';
    return block;
}

void CBasicString::Drop(Block* block) {
    if (block == EmptyBlock())
        return;
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        std::free(block);
    }
}

CBasicString::CBasicString(std::string_view text) : m_block(EmptyBlock()) {
    if (!text.empty())
        *this = text;
}

CBasicString::CBasicString(const CBasicString& other) : m_block(other.m_block) {
    if (m_block != EmptyBlock())
        m_block->refs.fetch_add(1, std::memory_order_relaxed);
}

CBasicString& CBasicString::operator=(const CBasicString& other) {
    if (other.m_block != EmptyBlock())
        other.m_block->refs.fetch_add(1, std::memory_order_relaxed);
    Drop(m_block);
    m_block = other.m_block;
    return *this;
}

CBasicString& CBasicString::operator=(CBasicString&& other) noexcept {
    if (this != &other) {
        Drop(m_block);
        m_block = other.m_block;
        other.m_block = EmptyBlock();
    }
    return *this;
}

CBasicString& CBasicString::operator=(std::string_view text) {
    if (text.empty()) {
        Clear();
        return *this;
    }
    // The text may live in this string's own block: build the new one first.
    Block* block = NewBlock(CapacityFor(text.size()));
    std::memcpy(block->chars, text.data(), text.size());
    block->chars[text.size()] = '\0';
    block->length = text.size();
    Drop(m_block);
    m_block = block;
    return *this;
}

void CBasicString::Unshare(size_t length) {
    bool shared = m_block == EmptyBlock() || m_block->refs.load(std::memory_order_acquire) > 1;
    if (!shared && length <= m_block->capacity)
        return;
    Block* block = NewBlock(CapacityFor(length));
    std::memcpy(block->chars, m_block->chars, m_block->length + 1);
    block->length = m_block->length;
    Drop(m_block);
    m_block = block;
}

CBasicString& CBasicString::Append(std::string_view text) {
    if (text.empty())
        return *this;
    if (text.data() >= m_block->chars && text.data() < m_block->chars + m_block->length + 1) {
        CBasicString copy(text); // appending a part of itself
        return Append(copy.View());
    }
    size_t length = m_block->length + text.size();
    Unshare(length);
    std::memcpy(m_block->chars + m_block->length, text.data(), text.size());
    m_block->chars[length] = '\0';
    m_block->length = length;
    return *this;
}

void CBasicString::Clear() {
    Drop(m_block);
    m_block = EmptyBlock();
}

void CBasicString::Truncate(size_t length) {
    if (length >= m_block->length)
        return;
    if (length == 0) {
        Clear();
        return;
    }
    Unshare(m_block->length);
    m_block->length = length;
    m_block->chars[length] = '\0';
}

char* CBasicString::MutableData() {
    if (m_block == EmptyBlock())
        return m_block->chars; // holds only the terminator; never written
    Unshare(m_block->length);
    return m_block->chars;
}

void CBasicString::UpperCase() {
    if (Empty())
        return;
    char* p = MutableData();
    for (size_t i = 0; i < m_block->length; ++i)
        p[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(p[i])));
}

int32_t CBasicString::ShareCount() const {
    return m_block == EmptyBlock() ? 0 : m_block->refs.load(std::memory_order_relaxed);
}

} // namespace kdm
