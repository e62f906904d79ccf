// Test-picture generator: bitmaps, baseline 4:2:2 JPEG files (family 3) and
// the header-less family-1 and family-2 pictures repacked from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kdmpic {

// Top-down rows of blue, green, red bytes.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;
};

// Smooth gradients, a few shapes and some noise; deterministic for a seed.
Bitmap naturalBitmap(int width, int height, uint32_t seed);
// Rows parity, parity + 2, ... of a frame.
Bitmap fieldOf(const Bitmap& frame, int parity);

// Quantisation table of a level (0-12) in zigzag order, as the recorders use.
std::vector<uint8_t> levelTable(int level, bool chroma);

// Baseline JPEG, 4:2:2, the level's tables, the standard Huffman tables.
std::vector<uint8_t> encodeJpeg(const Bitmap& bitmap, int level);

// Quantised coefficients of one field: 256 values per macroblock (Y0, Y1, Cb,
// Cr, natural order, absolute DC), macroblocks row by row.
struct FieldCoefs {
    int width = 0;
    int height = 0;
    std::vector<int16_t> mbs;
    int mbCount() const { return static_cast<int>(mbs.size() / 256); }
};

FieldCoefs coefficientsOf(const std::vector<uint8_t>& jpeg);
// All coefficients zero: every block codes a DC difference of 0 and an end of block.
FieldCoefs zeroCoefs(int width, int height);

// Entropy-coded data of a field with the standard tables. Family 1: 16-bit
// little-endian words, chroma blocks Cr, Cb; family 2: bytes with 0xFF 0x00
// stuffing. Padded with one bits.
std::vector<uint8_t> entropyCode(const FieldCoefs& field, int family);

// Difference stream (byte packed): per macroblock a change bit, then for a
// changed one its four blocks Y0, Y1, Cb, Cr of `diffs`.
std::vector<uint8_t> differenceCode(const FieldCoefs& diffs, const std::vector<uint8_t>& changed);

// A family-1 or family-2 picture: the fields, separated by padding to a
// 4-byte boundary and two FF FF FF D8 groups, optionally with the CRC trailer.
std::vector<uint8_t> makePicture(int family, const std::vector<FieldCoefs>& fields,
                                 bool crcTrailer);

// Appends FF F0 00 06 and the check value of everything before it.
void appendCrcTrailer(std::vector<uint8_t>& picture);
uint32_t checkValue(const uint8_t* data, size_t size);

// Decodes a JPEG file with libjpeg-turbo to top-down BGR, chroma replicated
// (no fancy upsampling), accurate integer transform.
Bitmap decodeJpegReference(const std::vector<uint8_t>& jpeg);

} // namespace kdmpic
