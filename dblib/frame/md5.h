// MD5 message digest (RFC 1321); the login hashes passwords with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdm {

class CMD5 {
public:
    CMD5();
    void Update(const void* data, size_t length);
    // Ends the message; the object must not be updated afterwards.
    void Final(uint8_t digest[16]);

    // 32 lowercase hexadecimal digits and a terminating zero.
    static void HexDigest(const void* data, size_t length, char out[33]);

private:
    void Block(const uint8_t* block);

    uint32_t m_state[4];
    uint64_t m_bitCount = 0;
    uint8_t m_buffer[64];
    size_t m_buffered = 0;
};

} // namespace kdm
