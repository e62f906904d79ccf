#include "picgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <jpeglib.h>

namespace kdmpic {

namespace {

const uint8_t kNatural[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                              12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                              35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                              58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

const uint8_t kLuma[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                           14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                           18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                           49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const uint8_t kChromaHead[4][4] = {
    {17, 18, 24, 47}, {18, 21, 26, 66}, {24, 26, 56, 99}, {47, 66, 99, 99}};
const unsigned kFactor[13] = {1024, 640, 512, 409, 307, 256, 230, 204, 179, 153, 128, 107, 89};

uint8_t stdChroma(int natural) {
    const int r = natural / 8, c = natural % 8;
    return (r < 4 && c < 4) ? kChromaHead[r][c] : 99;
}

uint8_t clamp8(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Canonical codes of one libjpeg Huffman table, indexed by symbol.
struct Codes {
    uint16_t code[256] = {};
    uint8_t length[256] = {};
};

Codes codesOf(const JHUFF_TBL* t) {
    Codes c;
    unsigned code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < t->bits[len]; ++i, ++k, ++code) {
            c.code[t->huffval[k]] = static_cast<uint16_t>(code);
            c.length[t->huffval[k]] = static_cast<uint8_t>(len);
        }
        code <<= 1;
    }
    return c;
}

struct StdCodes {
    Codes dc[2], ac[2];
    StdCodes() {
        jpeg_compress_struct cinfo;
        jpeg_error_mgr jerr;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_compress(&cinfo);
        cinfo.in_color_space = JCS_YCbCr;
        cinfo.input_components = 3;
        jpeg_set_defaults(&cinfo);
        for (int i = 0; i < 2; ++i) {
            dc[i] = codesOf(cinfo.dc_huff_tbl_ptrs[i]);
            ac[i] = codesOf(cinfo.ac_huff_tbl_ptrs[i]);
        }
        jpeg_destroy_compress(&cinfo);
    }
};

const StdCodes& stdCodes() {
    static const StdCodes c;
    return c;
}

class BitWriter {
public:
    explicit BitWriter(int family) : family_(family) {}
    void put(uint32_t bits, int n) {
        for (int i = n - 1; i >= 0; --i) {
            acc_ = (acc_ << 1) | ((bits >> i) & 1);
            if (++count_ == unit())
                flush();
        }
    }
    std::vector<uint8_t> finish() {
        while (count_ != 0)
            put(1, 1);
        return std::move(out_);
    }

private:
    int unit() const { return family_ == 1 ? 16 : 8; }
    void flush() {
        if (family_ == 1) {
            out_.push_back(static_cast<uint8_t>(acc_ & 0xFF));
            out_.push_back(static_cast<uint8_t>(acc_ >> 8));
        } else {
            out_.push_back(static_cast<uint8_t>(acc_));
            if ((acc_ & 0xFF) == 0xFF)
                out_.push_back(0x00);
        }
        acc_ = 0;
        count_ = 0;
    }
    int family_;
    uint32_t acc_ = 0;
    int count_ = 0;
    std::vector<uint8_t> out_;
};

int category(int v) {
    int a = v < 0 ? -v : v, s = 0;
    while (a) {
        ++s;
        a >>= 1;
    }
    return s;
}

void putValue(BitWriter& w, int v, int s) {
    if (s)
        w.put(static_cast<uint32_t>(v < 0 ? v + (1 << s) - 1 : v), s);
}

void codeBlock(BitWriter& w, const int16_t* blk, int cls, int& pred) {
    const StdCodes& sc = stdCodes();
    const int diff = blk[0] - pred;
    pred = blk[0];
    const int s = category(diff);
    w.put(sc.dc[cls].code[s], sc.dc[cls].length[s]);
    putValue(w, diff, s);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int v = blk[kNatural[k]];
        if (v == 0) {
            ++run;
            continue;
        }
        while (run > 15) {
            w.put(sc.ac[cls].code[0xF0], sc.ac[cls].length[0xF0]);
            run -= 16;
        }
        const int cs = category(v);
        const int sym = (run << 4) | cs;
        w.put(sc.ac[cls].code[sym], sc.ac[cls].length[sym]);
        putValue(w, v, cs);
        run = 0;
    }
    if (run > 0)
        w.put(sc.ac[cls].code[0], sc.ac[cls].length[0]);
}

[[noreturn]] void throwError(j_common_ptr cinfo) {
    char msg[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, msg);
    throw std::runtime_error(msg);
}

} // namespace

Bitmap naturalBitmap(int width, int height, uint32_t seed) {
    Bitmap b;
    b.width = width;
    b.height = height;
    b.bgr.resize(static_cast<size_t>(width) * height * 3);
    uint32_t rng = seed * 2654435761u + 12345u;
    auto noise = [&] {
        rng = rng * 1664525u + 1013904223u;
        return static_cast<int>((rng >> 24) % 9) - 4;
    };
    const double cx = width * 0.35, cy = height * 0.45, rad = std::min(width, height) * 0.22;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double r = 40 + 150.0 * x / std::max(1, width - 1);
            double g = 60 + 120.0 * y / std::max(1, height - 1);
            double bl = 90 + 60 * std::sin(x * 0.02 + seed) * std::cos(y * 0.03);
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy < rad * rad) {
                r = 220;
                g = 200 - 0.3 * dy;
                bl = 40;
            }
            if (x > width * 0.6 && x < width * 0.85 && y > height * 0.2 && y < height * 0.7) {
                r = 30;
                g = 70 + 0.2 * x - 0.1 * y;
                bl = 180;
            }
            if (((x / 24) + (y / 24)) % 7 == 0 && y > height * 0.75) {
                r = g = bl = 240;
            }
            uint8_t* p = &b.bgr[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = clamp8(bl + noise());
            p[1] = clamp8(g + noise());
            p[2] = clamp8(r + noise());
        }
    return b;
}

Bitmap fieldOf(const Bitmap& frame, int parity) {
    Bitmap f;
    f.width = frame.width;
    f.height = (frame.height + 1 - parity) / 2;
    const size_t line = static_cast<size_t>(frame.width) * 3;
    for (int y = parity; y < frame.height; y += 2)
        f.bgr.insert(f.bgr.end(), frame.bgr.begin() + y * line, frame.bgr.begin() + (y + 1) * line);
    return f;
}

std::vector<uint8_t> levelTable(int level, bool chroma) {
    std::vector<uint8_t> t(64);
    for (int k = 0; k < 64; ++k) {
        const unsigned s = chroma ? stdChroma(kNatural[k]) : kLuma[kNatural[k]];
        t[k] = static_cast<uint8_t>(std::min(255u, (s * kFactor[level] + 128) >> 8));
    }
    return t;
}

std::vector<uint8_t> encodeJpeg(const Bitmap& bitmap, int level) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = throwError;
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = bitmap.width;
    cinfo.image_height = bitmap.height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 1;
    for (int c = 1; c < 3; ++c)
        cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    for (int t = 0; t < 2; ++t) {
        const std::vector<uint8_t> zz = levelTable(level, t == 1);
        unsigned natural[64];
        for (int k = 0; k < 64; ++k)
            natural[kNatural[k]] = zz[k];
        jpeg_add_quant_table(&cinfo, t, natural, 100, TRUE);
    }
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(bitmap.bgr.size() ? static_cast<size_t>(bitmap.width) * 3 : 0);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW r = const_cast<JSAMPROW>(&bitmap.bgr[cinfo.next_scanline * row.size()]);
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + size);
    std::free(mem);
    jpeg_destroy_compress(&cinfo);
    return out;
}

FieldCoefs coefficientsOf(const std::vector<uint8_t>& jpeg) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = throwError;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
    FieldCoefs f;
    f.width = cinfo.image_width;
    f.height = cinfo.image_height;
    const int mbCols = (f.width + 15) / 16, mbRows = (f.height + 7) / 8;
    f.mbs.assign(static_cast<size_t>(mbCols) * mbRows * 256, 0);
    for (int r = 0; r < mbRows; ++r) {
        JBLOCKARRAY rows[3];
        for (int c = 0; c < 3; ++c)
            rows[c] = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                       arrays[c], r, 1, FALSE);
        for (int m = 0; m < mbCols; ++m) {
            int16_t* mb = &f.mbs[(static_cast<size_t>(r) * mbCols + m) * 256];
            for (int i = 0; i < 64; ++i) {
                mb[i] = rows[0][0][2 * m][i];
                mb[64 + i] = rows[0][0][2 * m + 1][i];
                mb[128 + i] = rows[1][0][m][i];
                mb[192 + i] = rows[2][0][m][i];
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return f;
}

FieldCoefs zeroCoefs(int width, int height) {
    FieldCoefs f;
    f.width = width;
    f.height = height;
    f.mbs.assign(static_cast<size_t>((width + 15) / 16) * ((height + 7) / 8) * 256, 0);
    return f;
}

std::vector<uint8_t> entropyCode(const FieldCoefs& field, int family) {
    BitWriter w(family);
    int pred[3] = {0, 0, 0};
    for (int m = 0; m < field.mbCount(); ++m) {
        const int16_t* mb = &field.mbs[static_cast<size_t>(m) * 256];
        codeBlock(w, mb, 0, pred[0]);
        codeBlock(w, mb + 64, 0, pred[0]);
        if (family == 1) {
            codeBlock(w, mb + 192, 1, pred[2]);
            codeBlock(w, mb + 128, 1, pred[1]);
        } else {
            codeBlock(w, mb + 128, 1, pred[1]);
            codeBlock(w, mb + 192, 1, pred[2]);
        }
    }
    return w.finish();
}

std::vector<uint8_t> differenceCode(const FieldCoefs& diffs, const std::vector<uint8_t>& changed) {
    BitWriter w(2);
    int pred[3] = {0, 0, 0};
    for (int m = 0; m < diffs.mbCount(); ++m) {
        const bool c = static_cast<size_t>(m) < changed.size() && changed[m];
        w.put(c ? 1 : 0, 1);
        if (!c)
            continue;
        const int16_t* mb = &diffs.mbs[static_cast<size_t>(m) * 256];
        codeBlock(w, mb, 0, pred[0]);
        codeBlock(w, mb + 64, 0, pred[0]);
        codeBlock(w, mb + 128, 1, pred[1]);
        codeBlock(w, mb + 192, 1, pred[2]);
    }
    return w.finish();
}

std::vector<uint8_t> makePicture(int family, const std::vector<FieldCoefs>& fields,
                                 bool crcTrailer) {
    std::vector<uint8_t> pic;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            while (pic.size() % 4)
                pic.push_back(0);
            for (int g = 0; g < 2; ++g)
                pic.insert(pic.end(), {0xFF, 0xFF, 0xFF, 0xD8});
        }
        const std::vector<uint8_t> data = entropyCode(fields[i], family);
        pic.insert(pic.end(), data.begin(), data.end());
    }
    if (crcTrailer)
        appendCrcTrailer(pic);
    return pic;
}

uint32_t checkValue(const uint8_t* data, size_t size) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return c;
}

void appendCrcTrailer(std::vector<uint8_t>& picture) {
    const uint32_t v = checkValue(picture.data(), picture.size());
    picture.insert(picture.end(), {0xFF, 0xF0, 0x00, 0x06});
    for (int i = 0; i < 4; ++i)
        picture.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bitmap decodeJpegReference(const std::vector<uint8_t>& jpeg) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = throwError;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&cinfo);
    Bitmap b;
    b.width = cinfo.output_width;
    b.height = cinfo.output_height;
    b.bgr.resize(static_cast<size_t>(b.width) * b.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = &b.bgr[static_cast<size_t>(cinfo.output_scanline) * b.width * 3];
        jpeg_read_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return b;
}

} // namespace kdmpic
