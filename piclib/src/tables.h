// Fixed tables of the JPEG family: zigzag order, the standard Huffman and
// quantisation tables, the AAN scale factors and the quantisation levels.
#pragma once

#include <cstdint>

namespace kdmdci {

// Natural (row-major) position of zigzag index k.
extern const uint8_t kZigzagToNatural[64];

// One standard Huffman table: code counts per length 1-16, then symbols.
struct HuffSpec {
    uint8_t counts[16];
    const uint8_t* symbols;
    int symbolCount;
};
extern const HuffSpec kDcLuma, kDcChroma, kAcLuma, kAcChroma;

// Standard luminance and chrominance quantisation tables, natural order.
extern const uint8_t kStdLumaQuant[64];
extern const uint8_t kStdChromaQuant[64];

// AAN scale factors: round(16384 * s(row) * s(col)), natural order.
const uint16_t* aanScale();

constexpr int kQuantLevels = 13;
// Quantisation level table (0-12), zigzag order; chroma != 0 picks chroma.
const uint8_t* levelQuant(int level, int chroma);

} // namespace kdmdci
