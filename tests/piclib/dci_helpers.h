// Shared helpers of the picture suites: parameter records, decoding into a
// guarded buffer, row access and picture comparison.
#pragma once

#include "kdmdci.h"
#include "picgen.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace dcitest {

constexpr uint8_t kGuard = 0xCD;

inline DecompressParams makeParams(uint32_t alg, uint32_t flags = 0, int norm = 0, int format = 0) {
    DecompressParams p{};
    p.Size = DCI_PARAMS_EXTENDED_SIZE;
    p.CompAlg = alg;
    p.VideoNorm = norm;
    p.OutputFormat = format;
    p.Flags = flags;
    p.TableSlot = 0;
    p.Brightness = 128;
    p.Contrast = 256;
    p.Saturation = 256;
    return p;
}

struct Decoded {
    int32_t rc = 0;
    KdmBitmapInfoHeader hdr{};
    std::vector<uint8_t> buffer; // capacity plus guard bytes, preset to kGuard
    size_t capacity = 0;

    size_t imageSize() const { return hdr.biSizeImage; }
    int lineBytes() const { return hdr.biWidth * hdr.biBitCount / 8; }
    // Buffer line `line` of plane `plane` (planar chroma is plane 1).
    const uint8_t* line(int l, int plane = 0) const {
        return buffer.data() + static_cast<size_t>(plane) * lineBytes() * hdr.biHeight +
               static_cast<size_t>(l) * lineBytes();
    }
    // Image row counted from the top, for a bottom-up buffer.
    const uint8_t* row(int r, int plane = 0) const { return line(hdr.biHeight - 1 - r, plane); }
    std::vector<uint8_t> image() const {
        return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(imageSize())};
    }
    bool guardIntact(size_t from) const {
        for (size_t i = from; i < buffer.size(); ++i)
            if (buffer[i] != kGuard)
                return false;
        return true;
    }
};

inline Decoded decode(const std::vector<uint8_t>& pic, const DecompressParams& p,
                      size_t capacity = 2u * 720 * 576 * 3) {
    Decoded d;
    d.capacity = capacity;
    d.buffer.assign(capacity + 64, kGuard);
    d.rc = DCI_DecompressImage(pic.data(), static_cast<int32_t>(pic.size()), d.buffer.data(),
                               static_cast<int32_t>(capacity), &p, &d.hdr);
    return d;
}

// Top-down BGR rows of a bottom-up 24-bit decode.
inline std::vector<uint8_t> topDownBgr(const Decoded& d) {
    std::vector<uint8_t> out;
    for (int r = 0; r < d.hdr.biHeight; ++r)
        out.insert(out.end(), d.row(r), d.row(r) + d.lineBytes());
    return out;
}

inline double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty())
        return -1;
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        se += d * d;
    }
    if (se == 0)
        return 99;
    return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// A natural-looking 704 x 288 field and its pictures of every family.
struct FieldPictures {
    kdmpic::Bitmap bitmap;
    std::vector<uint8_t> jpeg; // family 3
    kdmpic::FieldCoefs coefs;
    std::vector<uint8_t> fam1, fam2;
};

inline FieldPictures makeField(int level, uint32_t seed, int height = 288) {
    FieldPictures f;
    f.bitmap = kdmpic::naturalBitmap(704, height, seed);
    f.jpeg = kdmpic::encodeJpeg(f.bitmap, level);
    f.coefs = kdmpic::coefficientsOf(f.jpeg);
    f.fam1 = kdmpic::makePicture(1, {f.coefs}, false);
    f.fam2 = kdmpic::makePicture(2, {f.coefs}, false);
    return f;
}

} // namespace dcitest
