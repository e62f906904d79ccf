// Pictures per second of DCI_DecompressImage on a 704 x 576 two-field
// family-2 picture against libjpeg-turbo decoding the equivalent 704 x 576
// JPEG file to BGR, measured in the same run, interleaved.
#include "kdmdci.h"
#include "picgen.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace {

using Clock = std::chrono::steady_clock;

void libjpegDecode(const std::vector<uint8_t>& file, std::vector<uint8_t>& out) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), file.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const size_t stride = static_cast<size_t>(cinfo.output_width) * 3;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[16];
        for (int i = 0; i < 16; ++i)
            rows[i] = out.data() +
                      std::min<size_t>(cinfo.output_scanline + i, cinfo.output_height - 1) * stride;
        jpeg_read_scanlines(&cinfo, rows, 16);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

template <typename F> double secondsPer(F&& f, int n) {
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        f();
    return std::chrono::duration<double>(Clock::now() - t0).count() / n;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const int perRound = 40;
    const kdmpic::Bitmap frame = kdmpic::naturalBitmap(704, 576, 42);
    std::vector<kdmpic::FieldCoefs> fields;
    for (int f = 0; f < 2; ++f)
        fields.push_back(kdmpic::coefficientsOf(kdmpic::encodeJpeg(kdmpic::fieldOf(frame, f), 5)));
    const std::vector<uint8_t> picture = kdmpic::makePicture(2, fields, false);
    const std::vector<uint8_t> jpeg = kdmpic::encodeJpeg(frame, 5);

    DCI_Init();
    DecompressParams p{};
    p.Size = DCI_PARAMS_EXTENDED_SIZE;
    p.CompAlg = DCI_MAKE_ALG(2, 5, 256);
    p.Flags = DCI_FLAG_TWO_FIELDS;
    std::vector<uint8_t> out(704 * 576 * 3);
    KdmBitmapInfoHeader h;
    auto dci = [&] {
        if (DCI_DecompressImage(picture.data(), static_cast<int32_t>(picture.size()), out.data(),
                                static_cast<int32_t>(out.size()), &p, &h) != 0)
            std::abort();
    };
    auto ljt = [&] { libjpegDecode(jpeg, out); };
    dci();
    ljt();
    std::vector<double> a, b;
    for (int r = 0; r < rounds; ++r) {
        a.push_back(secondsPer(dci, perRound));
        b.push_back(secondsPer(ljt, perRound));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    const double ta = a[a.size() / 2], tb = b[b.size() / 2];
    const char* simd = std::getenv("KDM_SIMD");
    std::printf("picture: %zu bytes (family 2, two fields); JPEG file: %zu bytes\n", picture.size(),
                jpeg.size());
    std::printf("KdmDCI (KDM_SIMD=%s): %8.1f pictures/s  (%.3f ms)\n", simd ? simd : "auto", 1 / ta,
                ta * 1e3);
    std::printf("libjpeg-turbo:       %8.1f pictures/s  (%.3f ms)\n", 1 / tb, tb * 1e3);
    std::printf("time ratio KdmDCI / libjpeg-turbo: %.2f\n", ta / tb);
    DCI_Done();
    return 0;
}
