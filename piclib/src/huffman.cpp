#include "huffman.h"

#include "tables.h"

namespace kdmdci {

namespace {
// Canonical code assignment: codes of each length follow the previous
// length's last code plus one, shifted left.
void fill(uint16_t* table, int indexBits, const HuffSpec& spec) {
    std::memset(table, 0, sizeof(uint16_t) << indexBits);
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < spec.counts[len - 1]; ++i, ++k, ++code) {
            if (len > indexBits)
                continue;
            const uint32_t first = code << (indexBits - len);
            const uint32_t last = (code + 1) << (indexBits - len);
            const uint16_t entry = static_cast<uint16_t>((len << 8) | spec.symbols[k]);
            for (uint32_t j = first; j < last; ++j)
                table[j] = entry;
        }
        code <<= 1;
    }
}

void buildFast(const uint16_t* ac, uint32_t* fast) {
    for (uint32_t i = 0; i < (1u << kFastBits); ++i) {
        const uint16_t e = ac[i << (16 - kFastBits)];
        const int len = e >> 8, sym = e & 0xFF, s = sym & 15;
        if (len == 0 || len > kFastBits) {
            fast[i] = 0;
            continue;
        }
        if (s == 0 || len + s > kFastBits) {
            fast[i] = static_cast<uint32_t>(sym << 8) | kFastCode | len;
            continue;
        }
        int v = static_cast<int>((i >> (kFastBits - len - s)) & ((1u << s) - 1));
        if (v < (1 << (s - 1)))
            v += 1 - (1 << s);
        fast[i] = (static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16) |
                  static_cast<uint32_t>(sym << 8) | kFastFull | (len + s);
    }
}

} // namespace

void buildHuffLookups(HuffLookups& t) {
    fill(t.dc[0], 11, kDcLuma);
    fill(t.dc[1], 11, kDcChroma);
    fill(t.ac[0], 16, kAcLuma);
    fill(t.ac[1], 16, kAcChroma);
    buildFast(t.ac[0], t.acFast[0]);
    buildFast(t.ac[1], t.acFast[1]);
}

} // namespace kdmdci
