// Internals of the decoder: tables, bit reader, transform, kernels of every
// instruction set, check value and the JPEG file scan.
#include "crc32.h"
#include "huffman.h"
#include "jpegscan.h"
#include "kdmdci.h"
#include "kernels.h"
#include "library.h"
#include "picgen.h"
#include "tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <utility>

using namespace kdmdci;

namespace {

TEST(DciTables, QuantisationLevels) {
    const uint8_t* l0 = levelQuant(0, 0);
    EXPECT_EQ(std::vector<int>(l0, l0 + 4), (std::vector<int>{64, 44, 48, 56}));
    const uint8_t* c0 = levelQuant(0, 1);
    EXPECT_EQ(std::find(c0, c0 + 64, 255) - c0, 10) << "255 first at the eleventh entry";
    const uint8_t* l12 = levelQuant(12, 0);
    EXPECT_EQ(std::vector<int>(l12, l12 + 4), (std::vector<int>{6, 4, 4, 5}));
    for (int k = 0; k < 64; ++k)
        EXPECT_EQ(levelQuant(5, 0)[k], kStdLumaQuant[kZigzagToNatural[k]]);
    // The generator's tables are made independently and must agree.
    for (int level = 0; level < kQuantLevels; ++level)
        for (int ch = 0; ch < 2; ++ch) {
            const auto t = kdmpic::levelTable(level, ch == 1);
            EXPECT_TRUE(std::equal(t.begin(), t.end(), levelQuant(level, ch))) << level;
        }
}

TEST(DciTables, AanScaleAndDequantisation) {
    const uint16_t* a = aanScale();
    EXPECT_EQ(std::vector<int>(a, a + 8),
              (std::vector<int>{16384, 22725, 21407, 19266, 16384, 12873, 8867, 4520}));
    int16_t l[64], c[64];
    computeDequant(5, 256, 512, l, c);
    EXPECT_EQ(l[0], 16 * 4);
    EXPECT_EQ(c[0], 17 * 8) << "Saturation 2.0 doubles the chroma table";
    EXPECT_EQ(l[1], (22725 * 11) >> 12);
}

TEST(DciHuffman, LookupsDecodeEveryStandardCode) {
    auto t = std::make_unique<HuffLookups>();
    buildHuffLookups(*t);
    // DC luminance: category 0 is "00", category 11 "111111110".
    EXPECT_EQ(t->dc[0][0], (2 << 8) | 0);
    EXPECT_EQ(t->dc[0][0x7F8], (9 << 8) | 11);
    // AC luminance: end of block is "1010", ZRL "11111111001".
    EXPECT_EQ(t->ac[0][0xA000], (4 << 8) | 0x00);
    EXPECT_EQ(t->ac[0][0xFF20], (11 << 8) | 0xF0);
    // The all-ones 16-bit pattern is no code.
    EXPECT_EQ(t->ac[0][0xFFFF], 0);
    EXPECT_EQ(t->ac[1][0xFFFF], 0);
    // Kraft sums: every table fills its index space except the all-ones code.
    for (int cls = 0; cls < 2; ++cls) {
        int acEmpty = 0, dcEmpty = 0;
        for (int i = 0; i < 65536; ++i)
            acEmpty += t->ac[cls][i] == 0;
        for (int i = 0; i < 2048; ++i)
            dcEmpty += t->dc[cls][i] == 0;
        EXPECT_EQ(acEmpty, 1);
        EXPECT_EQ(dcEmpty, cls == 0 ? 4 : 1);
    }
}

TEST(DciBitReader, BytesWordsStuffingAndEnd) {
    const uint8_t bytes[] = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0x99, 0x56};
    BitReader br;
    br.init(bytes, sizeof bytes, false);
    br.ensure32();
    EXPECT_EQ(br.get(16), 0x12FFu);
    EXPECT_EQ(br.get(16), 0x34FFu) << "the byte after 0xFF is skipped whatever it is";
    br.ensure32();
    EXPECT_EQ(br.get(8), 0x56u);
    EXPECT_EQ(br.get(16), 0u) << "zero bits past the end";
    EXPECT_TRUE(br.exhausted());

    const uint8_t words[] = {0x34, 0x12, 0xFF, 0x00, 0x78};
    br.init(words, sizeof words, true);
    br.ensure32();
    EXPECT_EQ(br.get(16), 0x1234u);
    EXPECT_EQ(br.get(16), 0x00FFu) << "no stuffing in words";
    br.ensure32();
    EXPECT_EQ(br.get(16), 0x0078u);
}

TEST(DciBitReader, FastRefillMatchesByteRefill) {
    std::mt19937 rng(3);
    std::vector<uint8_t> data(4000);
    for (auto& b : data)
        b = (rng() % 5 == 0) ? 0xFF : static_cast<uint8_t>(rng());
    // Reference: bytes with stuffing removed.
    std::vector<uint8_t> plain;
    for (size_t i = 0; i < data.size(); ++i) {
        plain.push_back(data[i]);
        if (data[i] == 0xFF)
            ++i;
    }
    BitReader br;
    br.init(data.data(), data.size(), false);
    size_t bit = 0;
    std::mt19937 widths(9);
    while (bit + 16 <= plain.size() * 8) {
        const int n = 1 + widths() % 16;
        br.ensure32();
        uint32_t expect = 0;
        for (int i = 0; i < n; ++i, ++bit)
            expect = (expect << 1) | ((plain[bit / 8] >> (7 - bit % 8)) & 1);
        ASSERT_EQ(br.get(n), expect) << bit;
    }
}

TEST(DciBitReader, SeparatorResynchronisation) {
    struct Case {
        std::vector<uint8_t> bytes;
        size_t readFirst; // bytes consumed before the resync
        uint32_t expectNext;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xD8, 0xAB, 0xCD, 0, 0}, 2, 0xABCD},
        // A group off the 4-byte grid does not count.
        {{1, 2, 0xFF, 0xFF, 0xFF, 0xD8, 0, 0, 0xFF, 0xFF, 0xFF, 0xD8, 0x11, 0x22}, 1, 0x1122},
        // No separator: zero bits.
        {{1, 2, 3, 4, 5, 6, 7, 8}, 1, 0},
    };
    for (const Case& c : cases) {
        BitReader br;
        br.init(c.bytes.data(), c.bytes.size(), true);
        br.ensure32();
        br.get(static_cast<int>(8 * c.readFirst));
        br.resyncAtSeparator();
        br.ensure32();
        const uint32_t v = br.get(16);
        // Word mode: the 16 bits are the next little-endian word.
        EXPECT_EQ(v, ((c.expectNext & 0xFF) << 8) | (c.expectNext >> 8));
    }
}

// Floating-point inverse DCT of dequantised coefficients, for comparison.
void referenceIdct(const int16_t* coef, const uint8_t* q, double* out) {
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            double s = 0;
            for (int v = 0; v < 8; ++v)
                for (int u = 0; u < 8; ++u) {
                    const double cu = u ? 1 : M_SQRT1_2, cv = v ? 1 : M_SQRT1_2;
                    s += cu * cv * coef[v * 8 + u] * q[v * 8 + u] *
                         std::cos((2 * x + 1) * u * M_PI / 16) *
                         std::cos((2 * y + 1) * v * M_PI / 16);
                }
            out[y * 8 + x] = s / 4;
        }
}

TEST(DciKernels, TransformIsCloseToTheExactOne) {
    int16_t dl[64], dc[64];
    computeDequant(5, 256, 256, dl, dc);
    uint8_t qNatural[64];
    for (int k = 0; k < 64; ++k)
        qNatural[kZigzagToNatural[k]] = levelQuant(5, 0)[k];
    std::mt19937 rng(1);
    double worst = 0, sum = 0;
    for (int trial = 0; trial < 200; ++trial) {
        int16_t coef[128] = {};
        coef[0] = static_cast<int16_t>(static_cast<int>(rng() % 120) - 60);
        for (int i = 1; i < 64; ++i)
            if (rng() % 4 == 0)
                coef[i] = static_cast<int16_t>(static_cast<int>(rng() % 11) - 5);
        int16_t out[128];
        scalarKernels().idctPair(coef, dl, out);
        double ref[64];
        referenceIdct(coef, qNatural, ref);
        for (int i = 0; i < 64; ++i) {
            worst = std::max(worst, std::abs(ref[i] - out[i]));
            sum += std::abs(ref[i] - out[i]);
        }
    }
    // Truncating 16-bit arithmetic without rounding: small errors only.
    std::printf("transform error: worst %.2f, mean %.3f\n", worst, sum / (200 * 64));
    EXPECT_LT(worst, 5.0);
    EXPECT_LT(sum / (200 * 64), 1.0);
}

TEST(DciKernels, EveryInstructionSetGivesTheScalarResult) {
    std::mt19937 rng(2);
    int16_t deq[64];
    for (auto& d : deq)
        d = static_cast<int16_t>(rng() % 4000);
    for (SimdLevel level : {SimdLevel::Sse2, SimdLevel::Avx2}) {
        const Kernels* k = kernelsFor(level);
        if (!k)
            continue;
        SCOPED_TRACE(k->name);
        for (int trial = 0; trial < 2000; ++trial) {
            int16_t coef[128];
            // Full 16-bit range as well, to cover the wrapping arithmetic.
            for (auto& c : coef)
                c = static_cast<int16_t>(trial % 2 ? rng() : static_cast<int>(rng() % 64) - 32);
            int16_t a[128], b[128];
            scalarKernels().idctPair(coef, deq, a);
            k->idctPair(coef, deq, b);
            ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << trial;
            int16_t y[32];
            for (auto& v : y)
                v = static_cast<int16_t>(trial % 2 ? rng() : static_cast<int>(rng() % 400) - 200);
            uint8_t pa[48], pb[48];
            const int16_t bright = static_cast<int16_t>(rng() % 256);
            scalarKernels().bgr16(y, y + 8, y + 16, y + 24, bright, pa);
            k->bgr16(y, y + 8, y + 16, y + 24, bright, pb);
            ASSERT_EQ(std::memcmp(pa, pb, 48), 0) << trial;
        }
    }
}

// The block decoding rules followed bit by bit with the canonical codes, no
// lookup tables: the reference for the table-driven decoder on any bytes.
class ReferenceDecoder {
public:
    explicit ReferenceDecoder(const std::vector<uint8_t>& d) {
        for (size_t i = 0; i < d.size(); ++i) {
            plain_.push_back(d[i]);
            if (d[i] == 0xFF)
                ++i;
        }
    }
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos_) {
            const size_t byte = pos_ / 8;
            v = (v << 1) | (byte < plain_.size() ? (plain_[byte] >> (7 - pos_ % 8)) & 1 : 0);
        }
        return v;
    }
    // (length, symbol) of the code at the read position, (0, 0) if none
    // within maxLength bits.
    std::pair<int, int> code(const HuffSpec& spec, int maxLength) {
        uint32_t c = 0;
        int k = 0;
        for (int len = 1; len <= maxLength; ++len) {
            const size_t save = pos_;
            const uint32_t v = bits(len);
            pos_ = save;
            for (int i = 0; i < spec.counts[len - 1]; ++i, ++k, ++c)
                if (v == c) {
                    pos_ += len;
                    return {len, spec.symbols[k]};
                }
            c <<= 1;
        }
        return {0, 0};
    }
    int extend(int s) {
        int v = static_cast<int>(bits(s));
        return v < (1 << (s - 1)) ? v + 1 - (1 << s) : v;
    }
    void block(bool luma, int16_t& pred, int16_t* blk) {
        std::fill(blk, blk + 64, 0);
        const int s = code(luma ? kDcLuma : kDcChroma, 11).second;
        pred = static_cast<int16_t>(pred + (s ? extend(s) : 0));
        blk[0] = pred;
        for (int k = 1; k < 64;) {
            const int sym = code(luma ? kAcLuma : kAcChroma, 16).second;
            if ((sym & 15) == 0) {
                if (sym != 0xF0)
                    break;
                k += 16;
                continue;
            }
            k += sym >> 4;
            const int v = extend(sym & 15);
            if (k <= 63)
                blk[kZigzagToNatural[k]] = static_cast<int16_t>(v);
            ++k;
        }
    }

private:
    std::vector<uint8_t> plain_;
    size_t pos_ = 0;
};

TEST(DciEntropy, AnyBytesDecodeAsTheBitwiseRulesSay) {
    DCI_Init();
    std::mt19937 rng(5);
    for (int trial = 0; trial < 6; ++trial) {
        // Random bytes, biased towards long runs of ones and zeros so that long
        // codes, invalid codes and large categories all occur.
        std::vector<uint8_t> data(3000 + trial * 1000);
        for (auto& b : data) {
            const unsigned r = rng() % 8;
            b = r == 0 ? 0xFF : r == 1 ? 0x00 : static_cast<uint8_t>(rng());
        }
        std::vector<int16_t> coef(1584 * 256);
        DecompressParams p{};
        p.Size = DCI_PARAMS_EXTENDED_SIZE;
        p.CompAlg = DCI_MAKE_ALG(2, 5, 256);
        p.Flags = DCI_FLAG_STORE_COEFFICIENTS | DCI_FLAG_DECODE_ONLY;
        p.CoefBuffer = coef.data();
        std::vector<uint8_t> out(704 * 288 * 3);
        ASSERT_EQ(DCI_DecompressImage(data.data(), static_cast<int32_t>(data.size()), out.data(),
                                      static_cast<int32_t>(out.size()), &p, nullptr),
                  0);
        ReferenceDecoder ref(data);
        int16_t pred[3] = {};
        int16_t blk[256];
        for (int m = 0; m < 1584; ++m) {
            ref.block(true, pred[0], blk);
            ref.block(true, pred[0], blk + 64);
            ref.block(false, pred[1], blk + 128);
            ref.block(false, pred[2], blk + 192);
            ASSERT_EQ(std::memcmp(blk, &coef[m * 256], sizeof blk), 0) << trial << " mb " << m;
        }
    }
    DCI_Done();
}

TEST(DciCrc, CheckValue) {
    const uint8_t text[] = "123456789";
    EXPECT_EQ(checkValue(text, 9), ~0xCBF43926u);
    EXPECT_EQ(checkValue(text, 0), 0xFFFFFFFFu);
    EXPECT_EQ(checkValue(text, 9), kdmpic::checkValue(text, 9));
}

// Segment offsets of a JPEG file, walked from SOI to SOS.
size_t findMarker(const std::vector<uint8_t>& f, uint8_t m) {
    size_t i = 2;
    while (i + 4 <= f.size() && f[i] == 0xFF) {
        if (f[i + 1] == m)
            return i;
        if (f[i + 1] == 0xDA)
            break;
        i += 2 + ((f[i + 2] << 8) | f[i + 3]);
    }
    return std::string::npos;
}

void replaceAll(std::vector<uint8_t>& f, uint8_t from, uint8_t to) {
    for (size_t at; (at = findMarker(f, from)) != std::string::npos;)
        f[at + 1] = to;
}

TEST(DciJpegScan, ProblemBits) {
    const std::vector<uint8_t> good = kdmpic::encodeJpeg(kdmpic::naturalBitmap(64, 32, 4), 5);
    using Edit = void (*)(std::vector<uint8_t>&);
    const struct {
        const char* name;
        Edit edit;
        uint32_t problems;
    } cases[] = {
        {"usable", [](std::vector<uint8_t>&) {}, 0},
        {"empty", [](std::vector<uint8_t>& f) { f.clear(); }, 0x3F},
        {"no SOI", [](std::vector<uint8_t>& f) { f[1] = 0x00; }, DCI_SCAN_NO_SOI},
        {"no EOI", [](std::vector<uint8_t>& f) { f.erase(f.end() - 2, f.end()); }, DCI_SCAN_NO_EOI},
        {"progressive frame", [](std::vector<uint8_t>& f) { replaceAll(f, 0xC0, 0xC2); },
         DCI_SCAN_NO_SOF0},
        {"no DHT", [](std::vector<uint8_t>& f) { replaceAll(f, 0xC4, 0xEE); }, DCI_SCAN_NO_DHT},
        {"no DQT", [](std::vector<uint8_t>& f) { replaceAll(f, 0xDB, 0xEE); }, DCI_SCAN_NO_DQT},
        {"no SOS", [](std::vector<uint8_t>& f) { replaceAll(f, 0xDA, 0xEE); }, DCI_SCAN_NO_SOS},
        {"DHT counts above 256",
         [](std::vector<uint8_t>& f) {
             const size_t at = findMarker(f, 0xC4);
             f[at + 5] = 200;
             f[at + 6] = 100;
         },
         DCI_SCAN_BAD_DHT},
        {"DQT remainder of 64",
         [](std::vector<uint8_t>& f) {
             const size_t at = findMarker(f, 0xDB);
             // Declares one table and 64 bytes of a second within its length;
             // the walk then resumes inside the table values, which hold no 0xFF.
             f[at + 3] = static_cast<uint8_t>(f[at + 3] + 64);
         },
         DCI_SCAN_BAD_DQT},
        {"one component", [](std::vector<uint8_t>& f) { f[findMarker(f, 0xC0) + 9] = 1; },
         DCI_SCAN_NOT_3_COMPONENTS},
        {"sampling 0x22", [](std::vector<uint8_t>& f) { f[findMarker(f, 0xC0) + 11] = 0x22; },
         DCI_SCAN_BAD_SAMPLING},
        {"chroma sampling 0x21",
         [](std::vector<uint8_t>& f) { f[findMarker(f, 0xC0) + 14] = 0x21; },
         DCI_SCAN_BAD_SAMPLING},
        {"segment length past the end",
         [](std::vector<uint8_t>& f) {
             const size_t at = findMarker(f, 0xE0);
             f[at + 2] = 0xFF;
         },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> f = good;
        c.edit(f);
        const JpegScan s = scanJpeg(f.data(), f.size());
        EXPECT_EQ(s.problems, c.problems);
        if (c.problems == 0) {
            EXPECT_EQ(s.width, 64);
            EXPECT_EQ(s.height, 32);
            EXPECT_EQ(s.luma[0], 16 * 4);
            EXPECT_EQ(s.chroma[0], 17 * 4);
            EXPECT_LT(s.scanData, f.size());
            EXPECT_NE(s.app0, 0u);
        }
    }
}

TEST(DciJpegScan, NeverReadsPastTheEnd) {
    // Every prefix of a valid file, each in its own exactly sized buffer, so
    // that AddressSanitizer sees any overrun.
    const std::vector<uint8_t> good = kdmpic::encodeJpeg(kdmpic::naturalBitmap(32, 16, 2), 3);
    for (size_t n = 0; n <= good.size(); ++n) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
        std::memcpy(copy.get(), good.data(), n);
        const JpegScan s = scanJpeg(copy.get(), n);
        if (n < good.size())
            EXPECT_NE(s.problems, 0u) << n;
        else
            EXPECT_EQ(s.problems, 0u);
    }
}

} // namespace
