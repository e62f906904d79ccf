// Shared copy-on-write string and the fixed-capacity string.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kdm {

// One heap block shared by every copy; a change to a shared block copies
// it first. The empty string is one static block that is never counted.
class CBasicString {
public:
    CBasicString() : m_block(EmptyBlock()) {}
    CBasicString(const char* text) : CBasicString(std::string_view(text ? text : "")) {}
    CBasicString(const char* text, size_t length) : CBasicString(std::string_view(text, length)) {}
    explicit CBasicString(std::string_view text);
    CBasicString(const CBasicString& other);
    CBasicString(CBasicString&& other) noexcept : m_block(other.m_block) {
        other.m_block = EmptyBlock();
    }
    ~CBasicString() { Drop(m_block); }
    CBasicString& operator=(const CBasicString& other);
    CBasicString& operator=(CBasicString&& other) noexcept;
    CBasicString& operator=(std::string_view text);
    CBasicString& operator=(const char* text) { return *this = std::string_view(text ? text : ""); }

    const char* c_str() const { return m_block->chars; }
    size_t Length() const { return m_block->length; }
    size_t Capacity() const { return m_block->capacity; }
    bool Empty() const { return m_block->length == 0; }
    std::string_view View() const { return {m_block->chars, m_block->length}; }

    CBasicString& Append(std::string_view text);
    CBasicString& operator+=(std::string_view text) { return Append(text); }
    void Clear();
    void Truncate(size_t length);
    // Writable characters; unshares the block.
    char* MutableData();
    void UpperCase();

    bool operator==(const CBasicString& other) const { return View() == other.View(); }
    bool operator==(std::string_view other) const { return View() == other; }

    // For tests of the sharing rules.
    bool SharesBlockWith(const CBasicString& other) const { return m_block == other.m_block; }
    int32_t ShareCount() const;
    static size_t CapacityFor(size_t length) { return length / 16 * 16 + 16; }

private:
    struct Block {
        std::atomic<int32_t> refs;
        size_t capacity;
        size_t length;
        char chars[1];
    };
    static Block* EmptyBlock();
    static Block* NewBlock(size_t capacity);
    static void Drop(Block* block);
    // Gives this string a private block able to hold `length` characters.
    void Unshare(size_t length);

    Block* m_block;
};

// A text in a caller-provided area of `capacity` characters plus the
// terminator; longer texts are cut.
class CStaticString {
public:
    CStaticString(char* area, size_t capacity) : m_area(area), m_length(0), m_capacity(capacity) {
        m_area[0] = '\0';
        m_area[m_capacity] = '\0';
    }
    CStaticString(const CStaticString&) = delete;
    CStaticString& operator=(const CStaticString&) = delete;

    CStaticString& Assign(std::string_view text) {
        m_length = text.size() < m_capacity ? text.size() : m_capacity;
        std::memcpy(m_area, text.data(), m_length);
        m_area[m_length] = '\0';
        return *this;
    }
    CStaticString& operator=(std::string_view text) { return Assign(text); }
    CStaticString& Append(std::string_view text) {
        size_t room = m_capacity - m_length;
        size_t n = text.size() < room ? text.size() : room;
        std::memcpy(m_area + m_length, text.data(), n);
        m_length += n;
        m_area[m_length] = '\0';
        return *this;
    }
    const char* c_str() const { return m_area; }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_capacity; }
    std::string_view View() const { return {m_area, m_length}; }

private:
    char* m_area;
    size_t m_length;
    size_t m_capacity;
};

template <size_t N> class CStringN : public CStaticString {
public:
    CStringN() : CStaticString(m_chars, N) {}
    explicit CStringN(std::string_view text) : CStringN() { Assign(text); }
    using CStaticString::operator=;

private:
    char m_chars[N + 1];
};

using CString32 = CStringN<32>;
using CString64 = CStringN<64>;

} // namespace kdm
