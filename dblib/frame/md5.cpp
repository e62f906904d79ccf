#include "frame/md5.h"

#include <cstring>

namespace kdm {
namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr uint8_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline uint32_t Rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

} // namespace

CMD5::CMD5() : m_state{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void CMD5::Block(const uint8_t* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 |
               uint32_t(block[i * 4 + 2]) << 16 | uint32_t(block[i * 4 + 3]) << 24;
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        uint32_t next = b + Rotl(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void CMD5::Update(const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m_bitCount += uint64_t(length) * 8;
    while (length > 0) {
        size_t take = 64 - m_buffered;
        if (take > length)
            take = length;
        std::memcpy(m_buffer + m_buffered, p, take);
        m_buffered += take;
        p += take;
        length -= take;
        if (m_buffered == 64) {
            Block(m_buffer);
            m_buffered = 0;
        }
    }
}

void CMD5::Final(uint8_t digest[16]) {
    uint64_t bits = m_bitCount;
    uint8_t pad[72] = {0x80};
    size_t padLength = m_buffered < 56 ? 56 - m_buffered : 120 - m_buffered;
    Update(pad, padLength);
    uint8_t lengthBytes[8];
    for (int i = 0; i < 8; ++i)
        lengthBytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    Update(lengthBytes, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[i * 4 + j] = static_cast<uint8_t>(m_state[i] >> (8 * j));
}

void CMD5::HexDigest(const void* data, size_t length, char out[33]) {
    static const char kHex[] = "0123456789abcdef";
    CMD5 md5;
    md5.Update(data, length);
    uint8_t digest[16];
    md5.Final(digest);
    for (int i = 0; i < 16; ++i) {
        out[i * 2] = kHex[digest[i] >> 4];
        out[i * 2 + 1] = kHex[digest[i] & 15];
    }
    out[32] = '\0';
}

} // namespace kdm
