// kdm-picgen: writes a family-1, -2 or -3 test picture made from a 24-bit
// BMP file or from a generated natural-looking bitmap.
#include "picgen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr, "usage: kdm-picgen FAMILY OUTPUT [--bmp FILE] [--seed N] [--level N]\n"
                         "                  [--norm 0|1] [--two-fields] [--crc] [--zero]\n"
                         "                  [--size WxH] [--prefix HEX]\n"
                         "  FAMILY 1 or 2: 704-wide fields; 3: a JPEG file of the whole bitmap\n"
                         "  --zero: every block codes DC 0 and end of block (families 1, 2)\n"
                         "  --size: size of the generated bitmap (family 3)\n"
                         "  --prefix: bytes written before the picture (fuzz corpus records)\n");
    return 2;
}

uint32_t le(const std::string& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

bool readBmp(const char* path, kdmpic::Bitmap& out) {
    std::ifstream in(path, std::ios::binary);
    std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || le(b, 28, 2) != 24 || le(b, 30, 4) != 0)
        return false;
    const uint32_t offset = le(b, 10, 4);
    const int width = static_cast<int32_t>(le(b, 18, 4));
    const int rawHeight = static_cast<int32_t>(le(b, 22, 4));
    const int height = rawHeight < 0 ? -rawHeight : rawHeight;
    if (width <= 0 || width > 65535 || height == 0 || height > 65535)
        return false;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    if (offset > b.size() || (b.size() - offset) / stride < static_cast<size_t>(height))
        return false;
    out.width = width;
    out.height = height;
    out.bgr.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const int src = rawHeight < 0 ? y : height - 1 - y;
        std::memcpy(&out.bgr[static_cast<size_t>(y) * width * 3], &b[offset + src * stride],
                    static_cast<size_t>(width) * 3);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    const int family = std::atoi(argv[1]);
    const char* output = argv[2];
    const char* bmp = nullptr;
    uint32_t seed = 1;
    int level = 5, norm = 0;
    bool twoFields = false, crc = false, zero = false;
    int width = 704, height = 0;
    std::vector<uint8_t> prefix;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bmp" && i + 1 < argc)
            bmp = argv[++i];
        else if (a == "--seed" && i + 1 < argc)
            seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (a == "--level" && i + 1 < argc)
            level = std::atoi(argv[++i]);
        else if (a == "--norm" && i + 1 < argc)
            norm = std::atoi(argv[++i]);
        else if (a == "--two-fields")
            twoFields = true;
        else if (a == "--crc")
            crc = true;
        else if (a == "--zero")
            zero = true;
        else if (a == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width < 1 || height < 1 ||
                width > 65535 || height > 65535)
                return usage();
        } else if (a == "--prefix" && i + 1 < argc) {
            const std::string hex = argv[++i];
            for (size_t k = 0; k + 1 < hex.size(); k += 2)
                prefix.push_back(static_cast<uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
        } else
            return usage();
    }
    if (family < 1 || family > 3 || level < 0 || level > 12 || norm < 0 || norm > 1)
        return usage();
    const int fieldHeight = norm == 0 ? 288 : 240;
    kdmpic::Bitmap frame;
    if (bmp) {
        if (!readBmp(bmp, frame)) {
            std::fprintf(stderr, "kdm-picgen: %s is not a 24-bit uncompressed BMP\n", bmp);
            return 1;
        }
    } else {
        frame = kdmpic::naturalBitmap(
            family == 3 ? width : 704,
            family == 3 && height ? height : (twoFields ? 2 : 1) * fieldHeight, seed);
    }
    std::vector<uint8_t> picture;
    try {
        if (family == 3) {
            picture = kdmpic::encodeJpeg(frame, level);
            if (crc)
                kdmpic::appendCrcTrailer(picture);
        } else {
            if (frame.width != 704 || frame.height < (twoFields ? 2 : 1) * fieldHeight) {
                std::fprintf(stderr, "kdm-picgen: families 1 and 2 need a 704 x %d bitmap\n",
                             (twoFields ? 2 : 1) * fieldHeight);
                return 1;
            }
            std::vector<kdmpic::FieldCoefs> fields;
            for (int f = 0; f < (twoFields ? 2 : 1); ++f) {
                if (zero) {
                    fields.push_back(kdmpic::zeroCoefs(704, fieldHeight));
                    continue;
                }
                kdmpic::Bitmap field = twoFields ? kdmpic::fieldOf(frame, f) : frame;
                field.height = fieldHeight;
                field.bgr.resize(static_cast<size_t>(704) * fieldHeight * 3);
                fields.push_back(kdmpic::coefficientsOf(kdmpic::encodeJpeg(field, level)));
            }
            picture = kdmpic::makePicture(family, fields, crc);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kdm-picgen: %s\n", e.what());
        return 1;
    }
    picture.insert(picture.begin(), prefix.begin(), prefix.end());
    std::ofstream out(output, std::ios::binary);
    out.write(reinterpret_cast<const char*>(picture.data()),
              static_cast<std::streamsize>(picture.size()));
    if (!out) {
        std::fprintf(stderr, "kdm-picgen: cannot write %s\n", output);
        return 1;
    }
    std::printf("%s: family %d, %zu bytes\n", output, family, picture.size());
    return 0;
}
