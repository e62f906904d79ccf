// Fuzz target of DCI_DecompressImage: the first 12 bytes choose the
// parameters, the rest is the picture. The output buffer is allocated at
// exactly the capacity the decoder is given, so any overrun is caught.
#include "kdmdci.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kHeader = 12;
constexpr uint32_t kFlags[] = {
    DCI_FLAG_STORE_COEFFICIENTS, DCI_FLAG_DIFFERENCE_DECODE, DCI_FLAG_LUMA_ONLY,
    DCI_FLAG_EDGE_TOP,           DCI_FLAG_FIELD_TO_FRAME,    DCI_FLAG_FILL_FROM_NEXT,
    DCI_FLAG_EDGE_REPAIR,        DCI_FLAG_TWO_FIELDS,        DCI_FLAG_CHROMA_LINE_AVERAGE,
    DCI_FLAG_EXTENDED_PARAMS,    DCI_FLAG_HALF_SIZE,         DCI_FLAG_QUARTER_SIZE,
    DCI_FLAG_PLANAR_OUTPUT,      DCI_FLAG_PLANAR_720,        DCI_FLAG_TOP_DOWN,
    DCI_FLAG_VERIFY_CRC,         DCI_FLAG_DECODE_ONLY};
constexpr uint32_t kScales[] = {256, 128, 512, 300};
// Families 1 and 2 have at most two fields of 1584 macroblocks.
constexpr size_t kCoefBytes = 2 * 1584 * 512;
constexpr size_t kMaxImage = 16u << 20;

struct Started {
    Started() { DCI_Init(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Started started;
    static std::vector<uint8_t> coef(kCoefBytes);
    static std::vector<int16_t> dc(3168);
    if (size < kHeader)
        return 0;
    const unsigned family = data[0] & 3;
    uint32_t flagBits = data[3] | (data[4] << 8) | (data[5] << 16);
    DecompressParams p{};
    p.Size = (data[5] & 0x80) ? DCI_PARAMS_BASIC_SIZE : DCI_PARAMS_EXTENDED_SIZE;
    p.CompAlg = DCI_MAKE_ALG(family, data[1], kScales[data[2] & 3]);
    for (size_t i = 0; i < sizeof kFlags / sizeof kFlags[0]; ++i)
        if (flagBits & (1u << i))
            p.Flags |= kFlags[i];
    p.OutputFormat = static_cast<int>(data[6] % 6) - 1;
    p.VideoNorm = data[7] % 3;
    p.TableSlot = static_cast<int>(data[8] % 40) - 2;
    p.Brightness = data[8];
    p.Contrast = 128 + 2 * data[9];
    p.Saturation = 128 + 2 * data[10];
    p.Sharpness = static_cast<int8_t>(data[11]) * 8;
    p.DcValues = dc.data();
    if (family == 1 || family == 2)
        p.CoefBuffer = coef.data();
    const uint8_t* picture = data + kHeader;
    const int32_t length = static_cast<int32_t>(size - kHeader);

    // First learn the image size from the header written before the size check.
    KdmBitmapInfoHeader h{};
    uint8_t none[1];
    int32_t rc = DCI_DecompressImage(picture, length, none, 0, &p, &h);
    if (rc != DCI_ERR_PICTURE_SIZE || h.biSizeImage > kMaxImage)
        return 0;
    size_t capacity = h.biSizeImage;
    if ((data[4] & 0x80) && capacity > 0)
        --capacity; // must be refused
    std::vector<uint8_t> out(capacity ? capacity : 1);
    rc = DCI_DecompressImage(picture, length, out.data(), static_cast<int32_t>(capacity), &p, &h);
    if (capacity < h.biSizeImage && rc != DCI_ERR_PICTURE_SIZE)
        __builtin_trap();
    if (rc == DCI_ERR_EXCEPTION)
        __builtin_trap(); // nothing inside the decoder may throw
    return 0;
}
