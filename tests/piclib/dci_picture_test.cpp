// The picture suite: decodes generated pictures of the three families and
// checks pixels, geometry and flags. CTest runs it once per SIMD path.
#include "dci_helpers.h"
#include "library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace dcitest;

namespace {

constexpr uint32_t kFam2Level5 = DCI_MAKE_ALG(2, 5, 256);

class PictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* simd = std::getenv("KDM_SIMD");
        if (simd && std::string(simd) == "avx2" && !__builtin_cpu_supports("avx2"))
            GTEST_SKIP() << "this processor has no AVX2";
        DCI_Init();
    }
    void TearDown() override { DCI_Done(); }

    static const FieldPictures& field() {
        static const FieldPictures f = makeField(5, 7);
        return f;
    }
};

bool rowsEqual(const Decoded& d, int a, int b, int plane = 0) {
    return std::memcmp(d.row(a, plane), d.row(b, plane), d.lineBytes()) == 0;
}

TEST_F(PictureTest, ZeroBlocksDecodeToUniformGreyInEveryPacking) {
    const kdmpic::FieldCoefs zero = kdmpic::zeroCoefs(704, 288);
    ASSERT_EQ(zero.mbCount(), 1584);
    for (int family : {1, 2}) {
        SCOPED_TRACE(family);
        const auto pic = kdmpic::makePicture(family, {zero}, false);
        const Decoded d = decode(pic, makeParams(DCI_MAKE_ALG(family, 1, 256)));
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(d.imageSize(), 704u * 288 * 3);
        const auto img = d.image();
        EXPECT_TRUE(std::all_of(img.begin(), img.end(), [](uint8_t v) { return v == 128; }));
        EXPECT_TRUE(d.guardIntact(d.imageSize()));
    }
}

TEST_F(PictureTest, StoredCoefficientsEqualTheEncodedOnes) {
    const FieldPictures& f = field();
    struct Case {
        int family;
        const std::vector<uint8_t>* pic;
    } cases[] = {{1, &f.fam1}, {2, &f.fam2}, {3, &f.jpeg}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        std::vector<int16_t> coef(f.coefs.mbs.size() + 256, 0x5A5A);
        std::vector<int16_t> dc(3168, 0);
        DecompressParams p = makeParams(DCI_MAKE_ALG(c.family, 5, 256),
                                        DCI_FLAG_STORE_COEFFICIENTS | DCI_FLAG_DECODE_ONLY);
        p.CoefBuffer = coef.data();
        p.DcValues = dc.data();
        const Decoded d = decode(*c.pic, p);
        ASSERT_EQ(d.rc, 0);
        EXPECT_TRUE(std::equal(f.coefs.mbs.begin(), f.coefs.mbs.end(), coef.begin()));
        EXPECT_EQ(coef[f.coefs.mbs.size()], 0x5A5A) << "written past the last macroblock";
        // DecodeOnly writes no pixel.
        EXPECT_TRUE(d.guardIntact(0));
        // DcValues: the mean sample of each luma block.
        const int dq0 = 16 * 4; // level 5 luma DC step 16 with two fraction bits
        for (int m = 0; m < 1584; ++m)
            for (int b = 0; b < 2; ++b) {
                const int16_t v = static_cast<int16_t>(f.coefs.mbs[m * 256 + 64 * b] * dq0);
                ASSERT_EQ(dc[2 * m + b], (v >> 5) + 128) << m;
            }
    }
}

TEST_F(PictureTest, AllFamiliesDecodeTheSameCoefficientsToTheSamePixels) {
    // Family 1 takes its level from the scale: 512 -> 2, 256 -> 5, 128 -> 10.
    const struct {
        int level;
        uint32_t scale;
    } cases[] = {{2, 512}, {5, 256}, {10, 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const FieldPictures f = makeField(c.level, 11 + c.level);
        const Decoded d3 = decode(f.jpeg, makeParams(DCI_MAKE_ALG(3, c.level, 256)));
        const Decoded d2 = decode(f.fam2, makeParams(DCI_MAKE_ALG(2, c.level, c.scale)));
        const Decoded d1 = decode(f.fam1, makeParams(DCI_MAKE_ALG(1, 1, c.scale)));
        ASSERT_EQ(d3.rc, 0);
        ASSERT_EQ(d2.rc, 0);
        ASSERT_EQ(d1.rc, 0);
        EXPECT_EQ(d3.image(), d2.image());
        EXPECT_EQ(d3.image(), d1.image());
    }
}

TEST_F(PictureTest, FileDecodesCloseToLibjpeg) {
    const struct {
        int width, height, level;
    } cases[] = {{704, 288, 5}, {704, 288, 10}, {50, 20, 5}, {17, 9, 2}, {1000, 8, 7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        const kdmpic::Bitmap bitmap = kdmpic::naturalBitmap(c.width, c.height, 3);
        const auto jpeg = kdmpic::encodeJpeg(bitmap, c.level);
        const Decoded d = decode(jpeg, makeParams(DCI_MAKE_ALG(3, c.level, 256)));
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(d.hdr.biWidth, c.width);
        ASSERT_EQ(d.hdr.biHeight, c.height);
        EXPECT_TRUE(d.guardIntact(d.imageSize()));
        const kdmpic::Bitmap ref = kdmpic::decodeJpegReference(jpeg);
        const double db = psnr(topDownBgr(d), ref.bgr);
        const double ours = psnr(topDownBgr(d), bitmap.bgr), theirs = psnr(ref.bgr, bitmap.bgr);
        std::printf("%d x %d level %d: PSNR against libjpeg-turbo %.2f dB; against the source "
                    "%.2f dB (libjpeg-turbo %.2f dB)\n",
                    c.width, c.height, c.level, db, ours, theirs);
        EXPECT_GT(db, 30.0);
        // About as faithful to the source as libjpeg-turbo's own decoding.
        EXPECT_GT(ours, theirs - 1.5);
    }
}

TEST_F(PictureTest, FileScanProblemsAreTheResult) {
    const auto good = kdmpic::encodeJpeg(kdmpic::naturalBitmap(64, 16, 1), 5);
    auto sampling = good;
    auto noQuant = good;
    for (size_t i = 0; i + 1 < good.size(); ++i) {
        if (good[i] == 0xFF && good[i + 1] == 0xC0)
            sampling[i + 11] = 0x22;
        if (good[i] == 0xFF && good[i + 1] == 0xDB)
            noQuant[i + 1] = 0xEE;
    }
    const uint32_t alg = DCI_MAKE_ALG(3, 5, 256);
    EXPECT_EQ(decode(good, makeParams(alg)).rc, 0);
    EXPECT_EQ(decode(sampling, makeParams(alg)).rc, DCI_SCAN_BAD_SAMPLING);
    EXPECT_EQ(decode(noQuant, makeParams(alg)).rc, DCI_SCAN_NO_DQT);
    EXPECT_TRUE(decode(sampling, makeParams(alg)).guardIntact(0));
}

TEST_F(PictureTest, TwoFieldsInterleaveAfterTheSeparator) {
    const kdmpic::Bitmap frame = kdmpic::naturalBitmap(704, 576, 5);
    std::vector<kdmpic::FieldCoefs> fields;
    for (int f = 0; f < 2; ++f)
        fields.push_back(kdmpic::coefficientsOf(kdmpic::encodeJpeg(kdmpic::fieldOf(frame, f), 5)));
    for (int family : {1, 2}) {
        SCOPED_TRACE(family);
        const uint32_t alg = DCI_MAKE_ALG(family, 5, 256);
        const auto pic = kdmpic::makePicture(family, fields, false);
        const Decoded both = decode(pic, makeParams(alg, DCI_FLAG_TWO_FIELDS));
        ASSERT_EQ(both.rc, 0);
        ASSERT_EQ(both.hdr.biHeight, 576);
        for (int f = 0; f < 2; ++f) {
            const Decoded one =
                decode(kdmpic::makePicture(family, {fields[f]}, false), makeParams(alg));
            ASSERT_EQ(one.rc, 0);
            for (int i = 0; i < 288; ++i)
                ASSERT_EQ(std::memcmp(both.row(2 * i + f), one.row(i), 704 * 3), 0)
                    << f << " " << i;
        }
        // Without a separator the second field is read from zero bits.
        auto joined = kdmpic::entropyCode(fields[0], family);
        const auto second = kdmpic::entropyCode(fields[1], family);
        joined.insert(joined.end(), second.begin(), second.end());
        const Decoded noSep = decode(joined, makeParams(alg, DCI_FLAG_TWO_FIELDS));
        const Decoded zeros = decode({}, makeParams(alg));
        ASSERT_EQ(noSep.rc, 0);
        for (int i = 0; i < 288; ++i)
            ASSERT_EQ(std::memcmp(noSep.row(2 * i + 1), zeros.row(i), 704 * 3), 0) << i;
    }
}

TEST_F(PictureTest, TwoFieldFileFindsTheSeparatorOnThePictureGrid) {
    // A family-3 file whose scan holds both fields: the separator sits on a
    // 4-byte boundary of the whole file, not of the scan data.
    const kdmpic::Bitmap frame = kdmpic::naturalBitmap(704, 576, 8);
    const auto plainFirst = kdmpic::encodeJpeg(kdmpic::fieldOf(frame, 0), 5);
    const auto second = kdmpic::coefficientsOf(kdmpic::encodeJpeg(kdmpic::fieldOf(frame, 1), 5));
    const uint32_t alg = DCI_MAKE_ALG(3, 5, 256);
    const Decoded even = decode(plainFirst, makeParams(alg));
    const Decoded odd =
        decode(kdmpic::makePicture(2, {second}, false), makeParams(DCI_MAKE_ALG(2, 5, 256)));
    // A comment segment of 4 to 7 bytes after SOI moves the scan data across
    // every position relative to the grid.
    for (int comment = 0; comment < 4; ++comment) {
        SCOPED_TRACE(comment);
        std::vector<uint8_t> file(plainFirst.begin(), plainFirst.begin() + 2);
        file.insert(file.end(), {0xFF, 0xFE, 0x00, static_cast<uint8_t>(2 + comment)});
        file.insert(file.end(), comment, 'k');
        file.insert(file.end(), plainFirst.begin() + 2, plainFirst.end() - 2); // without EOI
        while (file.size() % 4)
            file.push_back(0xFF); // padding of one bits
        for (int g = 0; g < 2; ++g)
            file.insert(file.end(), {0xFF, 0xFF, 0xFF, 0xD8});
        const auto data = kdmpic::entropyCode(second, 2);
        file.insert(file.end(), data.begin(), data.end());
        file.insert(file.end(), {0xFF, 0xD9});
        const Decoded both = decode(file, makeParams(alg, DCI_FLAG_TWO_FIELDS));
        ASSERT_EQ(both.rc, 0);
        for (int i = 0; i < 288; ++i) {
            ASSERT_EQ(std::memcmp(both.row(2 * i), even.row(i), 704 * 3), 0) << i;
            ASSERT_EQ(std::memcmp(both.row(2 * i + 1), odd.row(i), 704 * 3), 0) << i;
        }
    }
}

TEST_F(PictureTest, CrcTrailer) {
    const auto plain = kdmpic::makePicture(2, {field().coefs}, false);
    auto withCrc = kdmpic::makePicture(2, {field().coefs}, true);
    auto flipped = withCrc;
    flipped[100] ^= 0x10;
    auto fileCrc = field().jpeg;
    kdmpic::appendCrcTrailer(fileCrc);
    auto fileFlipped = fileCrc;
    fileFlipped[fileFlipped.size() - 20] ^= 0x01;
    const uint32_t fam3 = DCI_MAKE_ALG(3, 5, 256);
    const struct {
        const char* name;
        const std::vector<uint8_t>* pic;
        uint32_t alg, flags;
        int32_t rc;
    } cases[] = {
        {"matching trailer", &withCrc, kFam2Level5, DCI_FLAG_VERIFY_CRC, 0},
        {"one byte flipped", &flipped, kFam2Level5, DCI_FLAG_VERIFY_CRC, DCI_ERR_CRC},
        {"no trailer", &plain, kFam2Level5, DCI_FLAG_VERIFY_CRC, 0},
        {"flipped, not verified", &flipped, kFam2Level5, 0, 0},
        {"file with trailer", &fileCrc, fam3, DCI_FLAG_VERIFY_CRC, 0},
        {"file flipped", &fileFlipped, fam3, DCI_FLAG_VERIFY_CRC, DCI_ERR_CRC},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(*c.pic, makeParams(c.alg, c.flags));
        EXPECT_EQ(d.rc, c.rc);
        EXPECT_FALSE(d.guardIntact(0)) << "the pixels are written either way";
    }
    // The trailer carries the complement of the usual CRC-32.
    ASSERT_GE(withCrc.size(), 8u);
    EXPECT_EQ(kdmpic::checkValue(reinterpret_cast<const uint8_t*>("123456789"), 9), ~0xCBF43926u);
}

struct GeometryCase {
    const char* name;
    uint32_t flags;
    int norm, format;
    int32_t rc;
    int width, height, bpp;
    uint32_t size;
};

const GeometryCase kGeometry[] = {
    {"full field", 0, 0, 0, 0, 704, 288, 24, 608256},
    {"norm 1", 0, 1, 0, 0, 704, 240, 24, 506880},
    {"norm 1 field to frame", DCI_FLAG_FIELD_TO_FRAME, 1, 0, 0, 704, 480, 24, 1013760},
    {"two fields", DCI_FLAG_TWO_FIELDS, 0, 0, 0, 704, 576, 24, 1216512},
    {"format 1", 0, 0, 1, 0, 352, 288, 24, 304128},
    {"format 2 drops field to frame", DCI_FLAG_FIELD_TO_FRAME, 0, 2, 0, 352, 288, 24, 304128},
    {"format 3", 0, 0, 3, 0, 88, 72, 24, 19008},
    {"format 3 drops two fields", DCI_FLAG_TWO_FIELDS, 0, 3, 0, 88, 72, 24, 19008},
    {"half size", DCI_FLAG_HALF_SIZE | DCI_FLAG_FIELD_TO_FRAME, 0, 3, 0, 352, 288, 24, 304128},
    {"quarter size", DCI_FLAG_QUARTER_SIZE, 0, 1, 0, 176, 144, 24, 76032},
    {"planar", DCI_FLAG_PLANAR_OUTPUT, 0, 3, 0, 704, 288, 8, 405504},
    {"planar luma only", DCI_FLAG_PLANAR_OUTPUT | DCI_FLAG_LUMA_ONLY, 0, 0, 0, 704, 288, 8, 202752},
    {"planar 720", DCI_FLAG_PLANAR_OUTPUT | DCI_FLAG_PLANAR_720, 0, 0, 0, 720, 288, 8, 414720},
    {"planar 720 half", DCI_FLAG_PLANAR_OUTPUT | DCI_FLAG_PLANAR_720 | DCI_FLAG_HALF_SIZE, 0, 0, 0,
     360, 288, 8, 207360},
    {"planar 720 quarter two fields",
     DCI_FLAG_PLANAR_OUTPUT | DCI_FLAG_PLANAR_720 | DCI_FLAG_QUARTER_SIZE | DCI_FLAG_TWO_FIELDS, 0,
     0, 0, 180, 288, 8, 103680},
    {"video norm 2", 0, 2, 0, DCI_ERR_PARAMETERS, 0, 0, 24, 0},
    {"format 4", 0, 0, 4, DCI_ERR_PARAMETERS, 0, 0, 24, 0},
    {"format -1", 0, 0, -1, DCI_ERR_PARAMETERS, 0, 0, 24, 0},
};

class GeometryTest : public PictureTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(GeometryTest, HeaderSizeAndBounds) {
    const GeometryCase& c = GetParam();
    const Decoded d = decode(field().fam2, makeParams(kFam2Level5, c.flags, c.norm, c.format));
    ASSERT_EQ(d.rc, c.rc);
    if (c.rc != 0)
        return;
    EXPECT_EQ(d.hdr.biSize, 40u);
    EXPECT_EQ(d.hdr.biWidth, c.width);
    EXPECT_EQ(d.hdr.biHeight, c.height);
    EXPECT_EQ(d.hdr.biPlanes, 1);
    EXPECT_EQ(d.hdr.biBitCount, c.bpp);
    EXPECT_EQ(d.hdr.biCompression, 0u);
    EXPECT_EQ(d.hdr.biSizeImage, c.size);
    EXPECT_EQ(d.hdr.biXPelsPerMeter, 300);
    EXPECT_EQ(d.hdr.biYPelsPerMeter, 300);
    EXPECT_TRUE(d.guardIntact(c.size)) << "written beyond the image";
    // The exact capacity suffices; one byte less is refused untouched.
    Decoded exact =
        decode(field().fam2, makeParams(kFam2Level5, c.flags, c.norm, c.format), c.size);
    EXPECT_EQ(exact.rc, 0);
    EXPECT_TRUE(exact.guardIntact(c.size));
    Decoded small =
        decode(field().fam2, makeParams(kFam2Level5, c.flags, c.norm, c.format), c.size - 1);
    EXPECT_EQ(small.rc, DCI_ERR_PICTURE_SIZE);
    EXPECT_EQ(small.hdr.biSizeImage, c.size) << "header written before the size check";
    EXPECT_TRUE(small.guardIntact(0));
}

INSTANTIATE_TEST_SUITE_P(Modes, GeometryTest, ::testing::ValuesIn(kGeometry), [](const auto& info) {
    std::string n = info.param.name;
    for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
});

TEST_F(PictureTest, FormatThreeRepeatsEachBlockLine) {
    const Decoded d = decode(field().fam2, makeParams(kFam2Level5, 0, 0, 3));
    ASSERT_EQ(d.rc, 0);
    for (int j = 0; j < 36; ++j)
        ASSERT_TRUE(rowsEqual(d, 2 * j, 2 * j + 1)) << j;
    // One pixel per block: close to the mean of the full decode's block.
    const Decoded full = decode(field().fam2, makeParams(kFam2Level5));
    double se = 0;
    for (int by = 0; by < 36; ++by)
        for (int bx = 0; bx < 88; ++bx)
            for (int ch = 0; ch < 3; ++ch) {
                double sum = 0;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        sum += full.row(8 * by + y)[3 * (8 * bx + x) + ch];
                const double dd = sum / 64 - d.row(2 * by)[3 * bx + ch];
                se += dd * dd;
            }
    EXPECT_LT(std::sqrt(se / (36 * 88 * 3)), 8.0);
}

TEST_F(PictureTest, HalfWidthFormatsShowEveryOtherPixel) {
    // Half-width pixel x has luma column 2x and chroma sample x, exactly as
    // full-width pixel 2x.
    const Decoded full = decode(field().fam2, makeParams(kFam2Level5));
    for (int format : {1, 2}) {
        SCOPED_TRACE(format);
        const Decoded half = decode(field().fam2, makeParams(kFam2Level5, 0, 0, format));
        ASSERT_EQ(half.rc, 0);
        for (int r = 0; r < 288; ++r)
            for (int x = 0; x < 352; ++x)
                ASSERT_EQ(std::memcmp(half.row(r) + 3 * x, full.row(r) + 6 * x, 3), 0)
                    << r << " " << x;
    }
}

TEST_F(PictureTest, Planar720Borders) {
    const struct {
        uint32_t size;
        int width, border;
    } cases[] = {{0, 720, 8}, {DCI_FLAG_HALF_SIZE, 360, 4}, {DCI_FLAG_QUARTER_SIZE, 180, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        const Decoded d =
            decode(field().fam2,
                   makeParams(kFam2Level5, DCI_FLAG_PLANAR_OUTPUT | DCI_FLAG_PLANAR_720 | c.size));
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(d.hdr.biWidth, c.width);
        const Decoded plain =
            decode(field().fam2, makeParams(kFam2Level5, DCI_FLAG_PLANAR_OUTPUT | c.size));
        const int w = plain.hdr.biWidth;
        for (int l = 0; l < d.hdr.biHeight; ++l) {
            const uint8_t* luma = d.line(l);
            const uint8_t* chroma = d.line(l, 1);
            for (int i = 0; i < c.border; ++i) {
                ASSERT_EQ(luma[i], 8);
                ASSERT_EQ(luma[c.width - 1 - i], 8);
                ASSERT_EQ(chroma[i], kGuard) << "chroma border is not written";
                ASSERT_EQ(chroma[c.width - 1 - i], kGuard);
            }
            ASSERT_EQ(std::memcmp(luma + c.border, plain.line(l), w), 0);
            ASSERT_EQ(std::memcmp(chroma + c.border, plain.line(l, 1), w), 0);
        }
    }
}

TEST_F(PictureTest, PlanarPlanesOfGrey) {
    const auto pic = kdmpic::makePicture(2, {kdmpic::zeroCoefs(704, 288)}, false);
    DecompressParams p = makeParams(kFam2Level5, DCI_FLAG_PLANAR_OUTPUT | DCI_FLAG_EXTENDED_PARAMS);
    p.Brightness = 0x1234; // only the low byte counts
    const Decoded d = decode(pic, p);
    ASSERT_EQ(d.rc, 0);
    const auto img = d.image();
    EXPECT_TRUE(std::all_of(img.begin(), img.end(), [](uint8_t v) { return v == 0x34; }));
}

TEST_F(PictureTest, TopDownReversesTheLines) {
    const uint32_t modes[][2] = {{0, 0},
                                 {DCI_FLAG_TWO_FIELDS, 0},
                                 {DCI_FLAG_FIELD_TO_FRAME | DCI_FLAG_FILL_FROM_NEXT, 0},
                                 {DCI_FLAG_PLANAR_OUTPUT, 0},
                                 {0, 3}};
    for (const auto& m : modes) {
        SCOPED_TRACE(m[0]);
        const Decoded up = decode(field().fam2, makeParams(kFam2Level5, m[0], 0, m[1]));
        const Decoded down =
            decode(field().fam2, makeParams(kFam2Level5, m[0] | DCI_FLAG_TOP_DOWN, 0, m[1]));
        ASSERT_EQ(up.rc, 0);
        ASSERT_EQ(down.rc, 0);
        const int planes = (m[0] & DCI_FLAG_PLANAR_OUTPUT) ? 2 : 1;
        for (int pl = 0; pl < planes; ++pl)
            for (int l = 0; l < up.hdr.biHeight; ++l)
                ASSERT_EQ(std::memcmp(up.line(l, pl), down.line(up.hdr.biHeight - 1 - l, pl),
                                      up.lineBytes()),
                          0)
                    << l;
    }
}

TEST_F(PictureTest, FieldToFrameLineCopies) {
    const Decoded single = decode(field().fam2, makeParams(kFam2Level5));
    const struct {
        uint32_t flags;
        bool fromAbove;
    } cases[] = {{DCI_FLAG_FIELD_TO_FRAME, false},
                 {DCI_FLAG_FIELD_TO_FRAME | DCI_FLAG_FILL_FROM_NEXT, true},
                 {DCI_FLAG_FIELD_TO_FRAME | DCI_FLAG_FILL_FROM_NEXT | DCI_FLAG_EDGE_TOP, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const Decoded d = decode(field().fam2, makeParams(kFam2Level5, c.flags));
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(d.hdr.biHeight, 576);
        for (int i = 0; i < 288; ++i) {
            ASSERT_EQ(std::memcmp(d.row(2 * i + 1), single.row(i), 704 * 3), 0) << i;
            const int src = c.fromAbove ? std::max(0, i - 1) : i;
            ASSERT_EQ(std::memcmp(d.row(2 * i), single.row(src), 704 * 3), 0) << i;
        }
    }
}

TEST_F(PictureTest, EdgeRepair) {
    struct Copy {
        int to, from; // image rows; negative ones count from the bottom
    };
    const struct {
        uint32_t flags;
        std::vector<Copy> copies;
        std::vector<int> alsoChanged;
    } cases[] = {
        {DCI_FLAG_EDGE_REPAIR, {{-1, -2}}, {}},
        {DCI_FLAG_EDGE_REPAIR | DCI_FLAG_EDGE_TOP, {{0, 1}}, {}},
        {DCI_FLAG_EDGE_REPAIR | DCI_FLAG_FIELD_TO_FRAME, {{-1, -3}}, {-2}},
        {DCI_FLAG_EDGE_REPAIR | DCI_FLAG_EDGE_TOP | DCI_FLAG_FIELD_TO_FRAME, {{1, 3}}, {0}},
        {DCI_FLAG_EDGE_REPAIR | DCI_FLAG_TWO_FIELDS, {{0, 1}, {-1, -2}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const Decoded plain =
            decode(field().fam2, makeParams(kFam2Level5, c.flags & ~DCI_FLAG_EDGE_REPAIR));
        const Decoded d = decode(field().fam2, makeParams(kFam2Level5, c.flags));
        ASSERT_EQ(d.rc, 0);
        const int h = d.hdr.biHeight;
        auto abs = [h](int r) { return r < 0 ? h + r : r; };
        std::vector<int> changed;
        for (const Copy& cp : c.copies) {
            EXPECT_EQ(std::memcmp(d.row(abs(cp.to)), plain.row(abs(cp.from)), d.lineBytes()), 0);
            EXPECT_FALSE(rowsEqual(plain, abs(cp.to), abs(cp.from)));
            changed.push_back(abs(cp.to));
        }
        for (int r : c.alsoChanged)
            changed.push_back(abs(r));
        for (int r = 0; r < h; ++r)
            if (std::find(changed.begin(), changed.end(), r) == changed.end()) {
                ASSERT_EQ(std::memcmp(d.row(r), plain.row(r), d.lineBytes()), 0) << r;
            }
    }
    // Only video norm 0 repairs.
    const auto pic240 = kdmpic::makePicture(2, {makeField(5, 9, 240).coefs}, false);
    const Decoded n1 = decode(pic240, makeParams(kFam2Level5, DCI_FLAG_EDGE_REPAIR, 1));
    const Decoded n1plain = decode(pic240, makeParams(kFam2Level5, 0, 1));
    EXPECT_EQ(n1.image(), n1plain.image());
}

TEST_F(PictureTest, ChromaLineAveragePairsChromaRows) {
    const uint32_t planar = DCI_FLAG_PLANAR_OUTPUT;
    const Decoded plain = decode(field().fam2, makeParams(kFam2Level5, planar));
    const Decoded avg =
        decode(field().fam2, makeParams(kFam2Level5, planar | DCI_FLAG_CHROMA_LINE_AVERAGE));
    ASSERT_EQ(avg.rc, 0);
    for (int j = 0; j < 144; ++j) {
        ASSERT_TRUE(rowsEqual(avg, 2 * j, 2 * j + 1, 1)) << j;
        ASSERT_TRUE(rowsEqual(avg, 2 * j, 2 * j, 0));
        ASSERT_EQ(std::memcmp(avg.row(j), plain.row(j), 704), 0) << "luma unchanged";
    }
    EXPECT_NE(plain.image(), avg.image());
}

TEST_F(PictureTest, LumaOnlyGivesNeutralChroma) {
    const Decoded d = decode(field().fam2, makeParams(kFam2Level5, DCI_FLAG_LUMA_ONLY));
    const Decoded planar =
        decode(field().fam2, makeParams(kFam2Level5, DCI_FLAG_LUMA_ONLY | DCI_FLAG_PLANAR_OUTPUT));
    ASSERT_EQ(d.rc, 0);
    for (int r = 0; r < 288; r += 7)
        for (int x = 0; x < 704; ++x) {
            const uint8_t* px = d.row(r) + 3 * x;
            ASSERT_TRUE(px[0] == px[1] && px[1] == px[2]);
            ASSERT_EQ(px[0], planar.row(r)[x]);
        }
}

TEST_F(PictureTest, SharpnessLeavesFlatAreasAndSteepensEdges) {
    const auto grey = kdmpic::makePicture(2, {kdmpic::zeroCoefs(704, 288)}, false);
    DecompressParams p = makeParams(kFam2Level5, DCI_FLAG_EXTENDED_PARAMS);
    p.Sharpness = 0x10000 + 200; // only the low 16 bits count
    EXPECT_EQ(decode(grey, p).image(), decode(grey, makeParams(kFam2Level5)).image());
    const Decoded sharp = decode(field().fam2, p);
    const Decoded plain = decode(field().fam2, makeParams(kFam2Level5));
    ASSERT_EQ(sharp.rc, 0);
    double gs = 0, gp = 0;
    for (int r = 0; r < 288; ++r)
        for (int x = 3; x < 704 * 3; ++x) {
            gs += std::abs(sharp.row(r)[x] - sharp.row(r)[x - 3]);
            gp += std::abs(plain.row(r)[x] - plain.row(r)[x - 3]);
        }
    EXPECT_GT(gs, gp * 1.05);
}

TEST_F(PictureTest, TableCacheReuseAndRecompute) {
    auto& fills = kdmdci::library().tableFills;
    DecompressParams p = makeParams(kFam2Level5, DCI_FLAG_EXTENDED_PARAMS);
    p.TableSlot = 33;
    ASSERT_EQ(decode(field().fam2, p).rc, 0);
    const uint64_t before = fills.load();
    const Decoded again = decode(field().fam2, p);
    EXPECT_EQ(fills.load(), before) << "same level, scale and slot reuse the tables";
    p.Contrast = 300;
    const Decoded contrast = decode(field().fam2, p);
    EXPECT_EQ(fills.load(), before + 1);
    EXPECT_NE(contrast.image(), again.image());
    p.Contrast = 256;
    EXPECT_EQ(decode(field().fam2, p).image(), again.image());
    EXPECT_EQ(fills.load(), before + 2);
    // Out-of-range slots share slot 36.
    p.TableSlot = -5;
    decode(field().fam2, p);
    const uint64_t at36 = fills.load();
    p.TableSlot = 99;
    decode(field().fam2, p);
    EXPECT_EQ(fills.load(), at36);
}

TEST_F(PictureTest, SlotSharedByDifferentLevelsGetsTheRightTables) {
    // Family 1 grade 0 at scale 256 (level 5) and family 2 level 0 share
    // slot 0 and its key; the level must still select the tables.
    const FieldPictures f = makeField(0, 21);
    DecompressParams fresh = makeParams(DCI_MAKE_ALG(2, 0, 256), DCI_FLAG_EXTENDED_PARAMS);
    fresh.TableSlot = 31;
    const Decoded expected = decode(f.fam2, fresh);
    decode(field().fam1, makeParams(DCI_MAKE_ALG(1, 0, 256)));
    const Decoded viaSlot0 = decode(f.fam2, makeParams(DCI_MAKE_ALG(2, 0, 256)));
    EXPECT_EQ(viaSlot0.image(), expected.image());
}

TEST_F(PictureTest, DifferenceDecodingAppliesChangedMacroblocks) {
    // Reference R, target T: changed macroblocks carry R - T, the others nothing.
    const FieldPictures ref = makeField(5, 31), target = makeField(5, 32);
    kdmpic::FieldCoefs diff = ref.coefs;
    kdmpic::FieldCoefs expected = ref.coefs;
    std::vector<uint8_t> changed(1584);
    for (int m = 0; m < 1584; ++m) {
        changed[m] = (m % 3 == 0) || (m > 700 && m < 900);
        for (int i = 0; i < 256; ++i) {
            const size_t k = static_cast<size_t>(m) * 256 + i;
            diff.mbs[k] = static_cast<int16_t>(ref.coefs.mbs[k] - target.coefs.mbs[k]);
            if (changed[m])
                expected.mbs[k] = target.coefs.mbs[k];
        }
    }
    const auto stream = kdmpic::differenceCode(diff, changed);
    std::vector<int16_t> coefBuf = ref.coefs.mbs;
    DecompressParams p = makeParams(kFam2Level5, DCI_FLAG_DIFFERENCE_DECODE);
    p.CoefBuffer = coefBuf.data();
    const Decoded d = decode(stream, p);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(coefBuf, ref.coefs.mbs) << "the reference is only read";
    const Decoded direct =
        decode(kdmpic::makePicture(2, {expected}, false), makeParams(kFam2Level5));
    EXPECT_EQ(d.image(), direct.image());
}

TEST_F(PictureTest, TruncatedAndGarbagePicturesDecodeWithoutError) {
    const auto& full = field().fam2;
    const std::vector<uint8_t> half(full.begin(), full.begin() + full.size() / 2);
    const std::vector<uint8_t> ff(5000, 0xFF);
    for (const auto* pic : {&half, &ff}) {
        for (int family : {1, 2}) {
            const Decoded d =
                decode(*pic, makeParams(DCI_MAKE_ALG(family, 5, 256), DCI_FLAG_TWO_FIELDS));
            EXPECT_EQ(d.rc, 0);
            EXPECT_TRUE(d.guardIntact(d.imageSize()));
        }
    }
}

TEST_F(PictureTest, FourThreadsDecodeLikeOne) {
    const FieldPictures& f = field();
    const struct {
        const std::vector<uint8_t>* pic;
        uint32_t alg, flags;
    } jobs[] = {{&f.fam2, kFam2Level5, 0},
                {&f.fam1, DCI_MAKE_ALG(1, 1, 256), DCI_FLAG_PLANAR_OUTPUT},
                {&f.jpeg, DCI_MAKE_ALG(3, 5, 256), DCI_FLAG_TOP_DOWN},
                {&f.fam2, DCI_MAKE_ALG(2, 7, 256), DCI_FLAG_FIELD_TO_FRAME}};
    std::vector<std::vector<uint8_t>> expected;
    for (const auto& j : jobs)
        expected.push_back(decode(*j.pic, makeParams(j.alg, j.flags)).image());
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                const auto& j = jobs[(t + i) % 4];
                if (decode(*j.pic, makeParams(j.alg, j.flags)).image() != expected[(t + i) % 4])
                    ++mismatches;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace
