#include "crc32.h"

#include <array>

namespace kdmdci {

namespace {
constexpr std::array<uint32_t, 256> buildTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kTable = buildTable();
} // namespace

uint32_t checkValue(const uint8_t* data, size_t size, uint32_t state) {
    for (size_t i = 0; i < size; ++i)
        state = kTable[(state ^ data[i]) & 0xFF] ^ (state >> 8);
    return state;
}

} // namespace kdmdci
