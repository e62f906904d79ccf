#include "decoder.h"

#include "crc32.h"
#include "jpegscan.h"
#include "kernels.h"
#include "library.h"
#include "tables.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kdmdci {

namespace {

// Macroblock: Y0, Y1, Cb, Cr, 64 coefficients or samples each.
constexpr int kMbValues = 256;
constexpr int kMbBytes = kMbValues * 2;

struct Call {
    // Geometry
    int family = 0;
    int width = 0, height = 0; // one stored field
    int format = 0;
    uint32_t flags = 0;
    int videoNorm = 0;
    bool planar = false, lumaOnly = false, twoFields = false, fieldToFrame = false;
    bool topDown = false;
    int bw = 0, bh = 0, lineBytes = 0, border = 0;
    size_t planeBytes = 0; // luma plane (or the whole 24-bit image)
    int mbCols = 0, mbRows = 0;
    // Adjustments
    int16_t brightness = 128;
    int16_t sharpGain = 0;
    int16_t dqLuma[64] = {}, dqChroma[64] = {};
    // Buffers
    uint8_t* out = nullptr;
    uint8_t* coefOut = nullptr; // CoefBuffer cursor
    int16_t* dcValues = nullptr;
    int dcIndex = 0;
    int16_t predictor[3] = {};
    int pass = 0;
};

inline int bufferLine(const Call& c, int row) {
    return c.topDown ? row : c.bh - 1 - row;
}

// Decodes one block: DC category and difference, then run/size AC symbols.
inline void decodeBlock(BitReader& br, const HuffLookups& h, int cls, int16_t& predictor,
                        int16_t* blk, Call& c, bool luma) {
    std::memset(blk, 0, 64 * sizeof(int16_t));
    br.ensure32();
    uint32_t e = h.dc[cls][br.peek(11)];
    br.skip(e >> 8);
    int s = e & 0xFF;
    int v = 0;
    if (s) {
        v = static_cast<int>(br.get(s));
        if (v < (1 << (s - 1)))
            v += 1 - (1 << s);
    }
    predictor = static_cast<int16_t>(predictor + v);
    blk[0] = predictor;
    if (luma && c.dcValues) {
        if (c.dcIndex < kDcValueCount)
            c.dcValues[c.dcIndex] = predictor;
        ++c.dcIndex;
    }
    const uint16_t* ac = h.ac[cls];
    const uint32_t* fast = h.acFast[cls];
    for (int k = 1; k < 64;) {
        br.ensure32();
        const uint32_t f = fast[br.peek(kFastBits)];
        int sym;
        if (f & kFastFull) {
            br.skip(f & 31);
            k += (f >> 12) & 15;
            if (k <= 63)
                blk[kZigzagToNatural[k]] = static_cast<int16_t>(f >> 16);
            ++k;
            continue;
        }
        if (f & kFastCode) {
            br.skip(f & 31);
            sym = (f >> 8) & 0xFF;
        } else {
            e = ac[br.peek(16)];
            br.skip(e >> 8);
            sym = e & 0xFF;
        }
        s = sym & 15;
        if (s == 0) {
            if (sym != 0xF0)
                break;
            k += 16;
            continue;
        }
        k += sym >> 4;
        v = static_cast<int>(br.get(s));
        if (v < (1 << (s - 1)))
            v += 1 - (1 << s);
        if (k <= 63)
            blk[kZigzagToNatural[k]] = static_cast<int16_t>(v);
        ++k;
    }
}

inline int16_t sat16(int v) {
    return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

void entropyRow(BitReader& br, const HuffLookups& h, Call& c, int16_t* coef) {
    const bool difference = (c.flags & DCI_FLAG_DIFFERENCE_DECODE) && c.coefOut;
    const bool store = !difference && (c.flags & DCI_FLAG_STORE_COEFFICIENTS) && c.coefOut;
    // Family 1 codes the chroma blocks as Cr, Cb.
    const int cb = c.family == 1 ? 3 : 2, cr = c.family == 1 ? 2 : 3;
    for (int m = 0; m < c.mbCols; ++m) {
        int16_t* blk = coef + m * kMbValues;
        if (difference) {
            int16_t ref[kMbValues];
            std::memcpy(ref, c.coefOut, kMbBytes);
            br.ensure32();
            if (br.get(1)) {
                decodeBlock(br, h, 0, c.predictor[0], blk, c, true);
                decodeBlock(br, h, 0, c.predictor[0], blk + 64, c, true);
                decodeBlock(br, h, 1, c.predictor[1], blk + 128, c, false);
                decodeBlock(br, h, 1, c.predictor[2], blk + 192, c, false);
                for (int i = 0; i < kMbValues; ++i)
                    blk[i] = sat16(ref[i] - blk[i]);
            } else {
                std::memcpy(blk, ref, kMbBytes);
            }
            c.coefOut += kMbBytes;
            continue;
        }
        decodeBlock(br, h, 0, c.predictor[0], blk, c, true);
        decodeBlock(br, h, 0, c.predictor[0], blk + 64, c, true);
        decodeBlock(br, h, 1, c.predictor[cb - 1], blk + 64 * cb, c, false);
        decodeBlock(br, h, 1, c.predictor[cr - 1], blk + 64 * cr, c, false);
        if (store) {
            std::memcpy(c.coefOut, blk, kMbBytes);
            c.coefOut += kMbBytes;
        }
    }
}

void transformRow(const Kernels& k, Call& c, const int16_t* coef, int16_t* samples) {
    const bool averageChroma =
        (c.flags & DCI_FLAG_CHROMA_LINE_AVERAGE) && c.videoNorm == 0 && !c.lumaOnly;
    int16_t carry[8] = {};
    for (int m = 0; m < c.mbCols; ++m) {
        const int16_t* blk = coef + m * kMbValues;
        int16_t* smp = samples + m * kMbValues;
        if (c.format == 3) {
            for (int b = 0; b < 4; ++b) {
                const int16_t* dq = b < 2 ? c.dqLuma : c.dqChroma;
                smp[b * 64] = static_cast<int16_t>(static_cast<int16_t>(blk[b * 64] * dq[0]) >> 5);
            }
            if (c.lumaOnly)
                smp[128] = smp[192] = 0;
            continue;
        }
        k.idctPair(blk, c.dqLuma, smp);
        if (c.lumaOnly)
            std::memset(smp + 128, 0, 128 * sizeof(int16_t));
        else
            k.idctPair(blk + 128, c.dqChroma, smp + 128);
        if (averageChroma) {
            for (int b = 2; b < 4; ++b)
                for (int j = 0; j < 4; ++j) {
                    int16_t* r0 = smp + b * 64 + 16 * j;
                    for (int x = 0; x < 8; ++x) {
                        const int16_t a = static_cast<int16_t>(add16(r0[x], r0[x + 8]) >> 1);
                        r0[x] = r0[x + 8] = a;
                    }
                }
        }
        if (c.sharpGain) {
            for (int r = 0; r < 8; ++r) {
                int16_t p = carry[r];
                for (int x = 0; x < 16; ++x) {
                    int16_t& y = smp[(x < 8 ? 0 : 64) + r * 8 + (x & 7)];
                    const int16_t orig = y;
                    const int16_t d = mulhi16(sub16(orig, p), c.sharpGain);
                    y = add16(orig, static_cast<int16_t>(4 * d));
                    p = orig;
                }
                carry[r] = p;
            }
        }
    }
}

inline int imageRow(const Call& c, int fieldLine) {
    if (c.twoFields)
        return 2 * fieldLine + c.pass;
    if (c.fieldToFrame)
        return 2 * fieldLine + 1;
    return fieldLine;
}

inline void bgrPixel(int16_t y, int16_t cb, int16_t cr, uint8_t* o) {
    o[0] = sat8(add16(y, static_cast<int16_t>(4 * mulhi16(cb, kCbToB))));
    o[1] =
        sat8(sub16(sub16(y, mulhi16(cb, kCbToG)), static_cast<int16_t>(2 * mulhi16(cr, kCrToG))));
    o[2] = sat8(add16(y, static_cast<int16_t>(4 * mulhi16(cr, kCrToR))));
}

void outputRow(const Kernels& k, Call& c, int mbRow, const int16_t* samples) {
    const int16_t bright = c.brightness;
    if (c.format == 3) {
        for (int half = 0; half < 2; ++half) {
            const int row = 2 * mbRow + half;
            if (row >= c.bh)
                break;
            uint8_t* line = c.out + static_cast<size_t>(bufferLine(c, row)) * c.lineBytes;
            for (int m = 0; m < c.mbCols; ++m) {
                const int16_t* s = samples + m * kMbValues;
                const int16_t cb = s[128], cr = s[192];
                for (int b = 0; b < 2; ++b) {
                    const int x = 2 * m + b;
                    if (x >= c.bw)
                        break;
                    const int16_t y = add16(s[b * 64], bright);
                    uint8_t* o = line + 3 * x;
                    o[0] = sat8(add16(y, static_cast<int16_t>(4 * mulhi16(cb, kCbToB))));
                    o[1] = sat8(sub16(sub16(y, static_cast<int16_t>(4 * mulhi16(cr, kDcCrToG))),
                                      static_cast<int16_t>(4 * mulhi16(cb, kDcCbToG))));
                    o[2] = sat8(add16(y, static_cast<int16_t>(4 * mulhi16(cr, kCrToR))));
                }
            }
        }
        return;
    }
    for (int r = 0; r < 8; ++r) {
        const int fieldLine = 8 * mbRow + r;
        if (fieldLine >= c.height)
            break;
        const size_t line = static_cast<size_t>(bufferLine(c, imageRow(c, fieldLine)));
        if (c.planar) {
            uint8_t* luma = c.out + line * c.bw + c.border;
            uint8_t* chroma = c.out + c.planeBytes + line * c.bw + c.border;
            for (int m = 0; m < c.mbCols; ++m) {
                const int16_t* s = samples + m * kMbValues + r * 8;
                const int n = std::min(16, c.width - 16 * m);
                uint8_t* lo = luma + 16 * m;
                for (int x = 0; x < n; ++x)
                    lo[x] = sat8(add16(s[(x < 8 ? 0 : 64) + (x & 7)], bright));
                if (c.lumaOnly)
                    continue;
                uint8_t* co = chroma + 16 * m;
                for (int x = 0; x < n; x += 2) {
                    co[x] = sat8(add16(s[128 + (x >> 1)], bright));
                    if (x + 1 < n)
                        co[x + 1] = sat8(add16(s[192 + (x >> 1)], bright));
                }
            }
            continue;
        }
        uint8_t* dst = c.out + line * c.lineBytes;
        if (c.format == 0) {
            for (int m = 0; m < c.mbCols; ++m) {
                const int16_t* s = samples + m * kMbValues + r * 8;
                const int n = c.width - 16 * m;
                if (n >= 16) {
                    k.bgr16(s, s + 64, s + 128, s + 192, bright, dst + 48 * m);
                } else {
                    uint8_t tmp[48];
                    k.bgr16(s, s + 64, s + 128, s + 192, bright, tmp);
                    std::memcpy(dst + 48 * m, tmp, 3 * n);
                }
            }
        } else {
            // Half width: luma of every second column, one chroma sample each.
            for (int m = 0; m < c.mbCols; ++m) {
                const int16_t* s = samples + m * kMbValues + r * 8;
                for (int i = 0; i < 8; ++i) {
                    const int x = 8 * m + i;
                    if (x >= c.bw)
                        break;
                    const int16_t y = add16(s[(i < 4 ? 0 : 64) + 2 * (i & 3)], bright);
                    bgrPixel(y, s[128 + i], s[192 + i], dst + 3 * x);
                }
            }
        }
    }
}

// Copies image row `from` over image row `to` in every plane written.
void copyRow(const Call& c, int to, int from) {
    const size_t lt = static_cast<size_t>(bufferLine(c, to)) * c.lineBytes;
    const size_t lf = static_cast<size_t>(bufferLine(c, from)) * c.lineBytes;
    std::memmove(c.out + lt, c.out + lf, c.lineBytes);
    if (c.planar && !c.lumaOnly)
        std::memmove(c.out + c.planeBytes + lt, c.out + c.planeBytes + lf, c.lineBytes);
}

void postProcess(Call& c) {
    if ((c.flags & DCI_FLAG_EDGE_REPAIR) && c.videoNorm == 0) {
        const bool edgeTop = c.flags & DCI_FLAG_EDGE_TOP;
        if (c.twoFields) {
            if (c.bh >= 2) {
                copyRow(c, 0, 1);
                copyRow(c, c.bh - 1, c.bh - 2);
            }
        } else {
            const int lines = c.format == 0 ? c.height : c.bh;
            auto rowOf = [&](int i) { return c.fieldToFrame ? 2 * i + 1 : i; };
            if (lines >= 2) {
                if (edgeTop)
                    copyRow(c, rowOf(0), rowOf(1));
                else
                    copyRow(c, rowOf(lines - 1), rowOf(lines - 2));
            }
        }
    }
    if (c.fieldToFrame) {
        const bool fromAbove =
            (c.flags & DCI_FLAG_FILL_FROM_NEXT) && !(c.flags & DCI_FLAG_EDGE_TOP);
        for (int i = 0; i < c.height; ++i) {
            const int src = fromAbove ? (i >= 1 ? 2 * i - 1 : 1) : 2 * i + 1;
            copyRow(c, 2 * i, src);
        }
    }
}

} // namespace

int32_t decodePicture(const uint8_t* picture, size_t length, uint8_t* output, size_t capacity,
                      const DecompressParams& p, KdmBitmapInfoHeader& header) {
    ProcessTimes& times = threadTimes();
    times = ProcessTimes{};
    uint64_t t0 = ticks();

    Call c;
    c.flags = p.Flags;
    const bool extended =
        (c.flags & DCI_FLAG_EXTENDED_PARAMS) && p.Size >= DCI_PARAMS_EXTENDED_SIZE;
    int slot = (p.CompAlg >> 16) & 31;
    uint32_t contrast = 256, saturation = 256;
    if (extended) {
        slot = (p.TableSlot < 0 || p.TableSlot > 36) ? 36 : p.TableSlot;
        c.brightness = static_cast<int16_t>(p.Brightness & 0xFF);
        contrast = static_cast<uint32_t>(p.Contrast);
        saturation = static_cast<uint32_t>(p.Saturation);
        c.sharpGain = static_cast<int16_t>(static_cast<uint16_t>(p.Sharpness) * 64);
    }
    c.family = static_cast<int>(p.CompAlg >> 24);
    const int levelByte = (p.CompAlg >> 16) & 0xFF;
    const uint32_t scale = p.CompAlg & 0xFFFF;
    c.videoNorm = p.VideoNorm;

    JpegScan scan;
    if (c.family == 1 || c.family == 2) {
        c.width = 704;
        if (p.VideoNorm == 0)
            c.height = 288;
        else if (p.VideoNorm == 1)
            c.height = 240;
        else
            return DCI_ERR_PARAMETERS;
    } else if (c.family == 3) {
        scan = scanJpeg(picture, length);
        if (scan.problems)
            return static_cast<int32_t>(scan.problems);
        c.width = scan.width;
        c.height = scan.height;
    } else {
        return DCI_ERR_PARAMETERS;
    }

    c.format = p.OutputFormat;
    int sizeShift = 0;
    if (c.flags & DCI_FLAG_HALF_SIZE) {
        c.format = 0;
        c.flags &= ~DCI_FLAG_FIELD_TO_FRAME;
        c.width /= 2;
        sizeShift = 1;
    }
    if (c.flags & DCI_FLAG_QUARTER_SIZE) {
        c.format = 0;
        c.flags &= ~DCI_FLAG_FIELD_TO_FRAME;
        c.width /= 4;
        c.height /= 2;
        sizeShift = 2;
    }

    header = KdmBitmapInfoHeader{40, 0, 0, 1, 24, 0, 0, 300, 300, 0, 0};
    c.planar = c.flags & DCI_FLAG_PLANAR_OUTPUT;
    if (c.planar) {
        header.biBitCount = 8;
        c.format = 0;
    }
    if (c.format < 0 || c.format > 3)
        return DCI_ERR_PARAMETERS;
    if (c.format != 0)
        c.flags &= ~(DCI_FLAG_FIELD_TO_FRAME | DCI_FLAG_TWO_FIELDS);
    if (c.flags & DCI_FLAG_TWO_FIELDS)
        c.flags &= ~(DCI_FLAG_FIELD_TO_FRAME | DCI_FLAG_FILL_FROM_NEXT);
    c.twoFields = c.flags & DCI_FLAG_TWO_FIELDS;
    c.fieldToFrame = c.flags & DCI_FLAG_FIELD_TO_FRAME;
    c.lumaOnly = c.flags & DCI_FLAG_LUMA_ONLY;
    c.topDown = c.flags & DCI_FLAG_TOP_DOWN;
    const int passes = c.twoFields ? 2 : 1;

    switch (c.format) {
    case 0:
        c.bw = c.width;
        c.bh = (c.fieldToFrame || c.twoFields) ? 2 * c.height : c.height;
        break;
    case 1:
    case 2:
        c.bw = c.width / 2;
        c.bh = c.height;
        break;
    default:
        c.bw = c.width / 8;
        c.bh = (c.height / 8) * 2;
        break;
    }
    if (c.planar && (c.flags & DCI_FLAG_PLANAR_720)) {
        c.bw = 720 >> sizeShift;
        c.border = 8 >> sizeShift;
        // Only a family-3 file can be wider than the 720-sample line allows.
        if (c.width + 2 * c.border > c.bw)
            return DCI_ERR_PARAMETERS;
    }
    const int bpp = c.planar ? 8 : 24;
    c.lineBytes = c.bw * bpp / 8;
    c.planeBytes = static_cast<size_t>(c.lineBytes) * c.bh;
    const uint64_t imageSize =
        static_cast<uint64_t>(c.planeBytes) * ((c.planar && !c.lumaOnly) ? 2 : 1);
    header.biWidth = c.bw;
    header.biHeight = c.bh;
    header.biSizeImage = static_cast<uint32_t>(imageSize);
    if (!output || imageSize > capacity)
        return kOutputTooSmall;
    c.out = output;
    c.mbCols = (c.width + 15) / 16;
    c.mbRows = (c.height + 7) / 8;

    Library& lib = library();
    {
        std::lock_guard<std::mutex> guard(lib.lock);
        if (lib.ready.load() <= 0)
            return DCI_ERR_NOT_STARTED;
        if (c.family == 3) {
            std::memcpy(c.dqLuma, scan.luma, sizeof c.dqLuma);
            std::memcpy(c.dqChroma, scan.chroma, sizeof c.dqChroma);
        } else {
            int level = levelByte & 15;
            if (c.family == 1)
                level = scale == 128 ? 10 : scale == 256 ? 5 : scale == 512 ? 2 : level;
            level = std::min(level, kQuantLevels - 1); // levels 13-15 have no table
            TableSlot& s = lib.slots[slot];
            const uint32_t kl = scale * contrast, kc = scale * saturation;
            if (s.keyLuma != kl || s.keyChroma != kc || s.level != level) {
                computeDequant(level, contrast, saturation, s.luma, s.chroma);
                s.keyLuma = kl;
                s.keyChroma = kc;
                s.level = level;
                lib.tableFills.fetch_add(1);
            }
            std::memcpy(c.dqLuma, s.luma, sizeof c.dqLuma);
            std::memcpy(c.dqChroma, s.chroma, sizeof c.dqChroma);
        }
    }
    BitReader br;
    if (c.family == 3)
        br.init(picture, length, false, scan.scanData);
    else
        br.init(picture, length, c.family == 1);
    c.coefOut = static_cast<uint8_t*>(p.CoefBuffer);
    c.dcValues = p.DcValues;
    times.Times[3] = static_cast<int64_t>(ticks() - t0);

    const bool decodeOnly = c.flags & DCI_FLAG_DECODE_ONLY;
    if (c.border && !decodeOnly) {
        for (int l = 0; l < c.bh; ++l) {
            uint8_t* line = c.out + static_cast<size_t>(l) * c.bw;
            std::memset(line, 8, c.border);
            std::memset(line + c.bw - c.border, 8, c.border);
        }
    }

    const Kernels& k = activeKernels();
    const HuffLookups& h = lib.huff;
    std::vector<int16_t> coef(static_cast<size_t>(c.mbCols) * kMbValues);
    std::vector<int16_t> samples(static_cast<size_t>(c.mbCols) * kMbValues);
    for (c.pass = 0; c.pass < passes; ++c.pass) {
        if (c.pass > 0)
            br.resyncAtSeparator();
        c.predictor[0] = c.predictor[1] = c.predictor[2] = 0;
        c.dcIndex = 0;
        times.Times[0] = 0;
        for (int row = 0; row < c.mbRows; ++row) {
            uint64_t t = ticks();
            entropyRow(br, h, c, coef.data());
            uint64_t t1 = ticks();
            times.Times[0] += static_cast<int64_t>(t1 - t);
            if (decodeOnly)
                continue;
            transformRow(k, c, coef.data(), samples.data());
            uint64_t t2 = ticks();
            times.Times[1] += static_cast<int64_t>(t2 - t1);
            outputRow(k, c, row, samples.data());
            times.Times[2] += static_cast<int64_t>(ticks() - t2);
        }
    }
    // Back to the field index used by the line post-processing.
    c.pass = 0;

    t0 = ticks();
    if (!decodeOnly)
        postProcess(c);
    if (c.dcValues) {
        for (int i = 0; i < kDcValueCount; ++i) {
            const int16_t v = static_cast<int16_t>(c.dcValues[i] * c.dqLuma[0]);
            c.dcValues[i] = static_cast<int16_t>((v >> 5) + 128);
        }
    }
    times.Times[3] += static_cast<int64_t>(ticks() - t0);

    if ((c.flags & DCI_FLAG_VERIFY_CRC) && length >= 8) {
        const uint8_t* t = picture + length - 8;
        if (t[0] == 0xFF && t[1] == 0xF0 && t[2] == 0x00 && t[3] == 0x06) {
            const uint32_t stored =
                t[4] | (t[5] << 8) | (t[6] << 16) | (static_cast<uint32_t>(t[7]) << 24);
            if (checkValue(picture, length - 8) != stored)
                return DCI_ERR_CRC;
        }
    }
    return DCI_OK;
}

} // namespace kdmdci
