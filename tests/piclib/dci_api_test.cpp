// The exported interface through the shared library: version, start and
// stop, capability, mode texts, timing record and result codes.
#include "dci_helpers.h"

#include <gtest/gtest.h>

#include <thread>

using namespace dcitest;

namespace {

const std::vector<uint8_t>& greyPicture() {
    static const auto pic = kdmpic::makePicture(2, {kdmpic::zeroCoefs(704, 288)}, false);
    return pic;
}

int32_t decodeGrey(uint32_t flags = 0) {
    return decode(greyPicture(), makeParams(DCI_MAKE_ALG(2, 5, 256), flags)).rc;
}

TEST(DciApi, VersionAndCapabilities) {
    EXPECT_EQ(DCI_InterfaceVersion(), 65541);
    EXPECT_EQ(DCI_CheckCapabilities(), 1);
}

TEST(DciApi, StartAndStopCounting) {
    EXPECT_EQ(decodeGrey(), DCI_ERR_NOT_STARTED);
    DCI_Init();
    EXPECT_EQ(decodeGrey(), 0);
    DCI_Init();
    DCI_Done();
    EXPECT_EQ(decodeGrey(), 0) << "two starts, one stop: still started";
    DCI_Done();
    EXPECT_EQ(decodeGrey(), DCI_ERR_NOT_STARTED);
    DCI_Done(); // unmatched: must not keep the next start from working
    DCI_Init();
    EXPECT_EQ(decodeGrey(), 0);
    DCI_Done();
    EXPECT_EQ(decodeGrey(), DCI_ERR_NOT_STARTED);
}

class StartedApi : public ::testing::Test {
protected:
    void SetUp() override { DCI_Init(); }
    void TearDown() override { DCI_Done(); }
};

TEST_F(StartedApi, ResultCodes) {
    const auto& pic = greyPicture();
    const struct {
        const char* name;
        uint32_t alg;
        int norm, format;
        int32_t rc;
    } cases[] = {
        {"family 2", DCI_MAKE_ALG(2, 5, 256), 0, 0, 0},
        {"wavelet", 0x50100, 0, 0, DCI_ERR_ALGORITHM},
        {"family 4", DCI_MAKE_ALG(4, 5, 256), 0, 0, DCI_ERR_ALGORITHM},
        {"family 255", 0xFF000100u, 0, 0, DCI_ERR_ALGORITHM},
        {"norm 2", DCI_MAKE_ALG(2, 5, 256), 2, 0, DCI_ERR_PARAMETERS},
        {"norm -1", DCI_MAKE_ALG(1, 0, 256), -1, 0, DCI_ERR_PARAMETERS},
        {"format 5", DCI_MAKE_ALG(2, 5, 256), 0, 5, DCI_ERR_PARAMETERS},
        {"family 3 of non-JPEG bytes", DCI_MAKE_ALG(3, 5, 256), 0, 0, 0x3F},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(pic, makeParams(c.alg, 0, c.norm, c.format)).rc, c.rc);
    }
}

TEST_F(StartedApi, BadArgumentsAreRefusedCleanly) {
    const auto& pic = greyPicture();
    DecompressParams p = makeParams(DCI_MAKE_ALG(2, 5, 256));
    std::vector<uint8_t> out(704 * 288 * 3);
    KdmBitmapInfoHeader h{};
    EXPECT_EQ(DCI_DecompressImage(pic.data(), int32_t(pic.size()), out.data(), int32_t(out.size()),
                                  nullptr, &h),
              DCI_ERR_EXCEPTION);
    EXPECT_EQ(DCI_DecompressImage(pic.data(), int32_t(pic.size()), nullptr, 1 << 30, &p, &h),
              DCI_ERR_PICTURE_SIZE);
    EXPECT_EQ(DCI_DecompressImage(pic.data(), int32_t(pic.size()), out.data(), -5, &p, &h),
              DCI_ERR_PICTURE_SIZE);
    // No header wanted, no picture bytes: decodes zero bits.
    EXPECT_EQ(DCI_DecompressImage(nullptr, 1000, out.data(), int32_t(out.size()), &p, nullptr), 0);
    EXPECT_EQ(DCI_DecompressImage(pic.data(), -1, out.data(), int32_t(out.size()), &p, nullptr), 0);
}

TEST_F(StartedApi, OneByteShortOfTheImageWritesNothing) {
    const Decoded d = decode(greyPicture(), makeParams(DCI_MAKE_ALG(2, 5, 256)), 704 * 288 * 3 - 1);
    EXPECT_EQ(d.rc, DCI_ERR_PICTURE_SIZE);
    EXPECT_EQ(d.hdr.biWidth, 704);
    EXPECT_EQ(d.hdr.biHeight, 288);
    EXPECT_TRUE(d.guardIntact(0));
}

TEST_F(StartedApi, BasicRecordUsesTheDefaultAdjustments) {
    // Extended fields hold values that would change every pixel; with a basic
    // Size they are not read.
    DecompressParams p = makeParams(DCI_MAKE_ALG(2, 5, 256), DCI_FLAG_EXTENDED_PARAMS);
    p.Brightness = 10;
    p.Contrast = 999;
    const Decoded extended = decode(greyPicture(), p);
    ASSERT_EQ(extended.rc, 0);
    EXPECT_EQ(extended.buffer[0], 10);
    for (int32_t size : {28, DCI_PARAMS_BASIC_SIZE}) {
        p.Size = size;
        const Decoded d = decode(greyPicture(), p);
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.buffer[0], 128);
    }
}

TEST(DciApi, ModeTexts) {
    const struct {
        uint32_t alg;
        int capacity;
        const char* text;
    } cases[] = {
        {0x50100, 100, "Kaldomeris II - Wavelet (Level5)"},
        {0x1000100, 100, "High compression (Kaldomeris I - JPeg)"},
        {0x1010100, 100, "Medium compression (Kaldomeris I - JPeg)"},
        {0x1020100, 100, "Low compression (Kaldomeris I - JPeg)"},
        {0x1030080, 100, "Unknown compression format"},
        {0x1030080, 10, "Unknown c"},
        {0x1030080, 1, ""},
        {0x20C0100, 100, "Kaldomeris II - JPeg (Level12)"},
        {0x3FF0100, 100, "Kaldomeris II - JPeg-File (Level255)"},
        {0x4000000, 100, "Unknown compression format"},
        {0xFF050100u, 100, "Unknown compression format"},
    };
    for (const auto& c : cases) {
        char buf[128];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(DCI_GetCompressionModeText(c.alg, buf, c.capacity), buf);
        EXPECT_STREQ(buf, c.text);
        EXPECT_EQ(buf[std::strlen(c.text) + 1], 'x') << "nothing beyond the terminator";
    }
    char untouched = 'q';
    EXPECT_EQ(DCI_GetCompressionModeText(0x1000100, &untouched, 0), &untouched);
    EXPECT_EQ(untouched, 'q');
}

TEST_F(StartedApi, ProcessTimesPerThread) {
    std::thread([] {
        ProcessTimes t;
        std::memset(&t, 0x77, sizeof t);
        EXPECT_EQ(DCI_GetProcessTimes(&t), 1);
        for (int64_t v : t.Times)
            EXPECT_EQ(v, 0);
    }).join();
    ASSERT_EQ(decodeGrey(), 0);
    ProcessTimes t{};
    EXPECT_EQ(DCI_GetProcessTimes(&t), 1);
    EXPECT_GT(t.Times[0], 0);
    EXPECT_GT(t.Times[1], 0);
    EXPECT_GT(t.Times[2], 0);
    EXPECT_GT(t.Times[3], 0);
    // A refused decode still starts from zero.
    EXPECT_EQ(decode(greyPicture(), makeParams(DCI_MAKE_ALG(2, 5, 256), 0, 7)).rc,
              DCI_ERR_PARAMETERS);
    EXPECT_EQ(DCI_GetProcessTimes(&t), 1);
    EXPECT_EQ(t.Times[0], 0);
    EXPECT_EQ(DCI_GetProcessTimes(nullptr), 0);
}

TEST(DciApi, ExportsNotBuiltYetAnswerTheirFailureValue) {
    uint8_t buf[16] = {};
    KdmBitmapInfoHeader h{};
    DecompressParams p = makeParams(DCI_MAKE_ALG(2, 5, 256));
    EXPECT_EQ(DCI_ConvertToStdJPEG(buf, 16, buf, 16, nullptr, 0, &p), 0);
    EXPECT_EQ(DCI_PostCompress(buf, 16, buf, 16, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(DCI_RemoveHoppMMX(buf, 16, &h), -1);
    EXPECT_EQ(DCI_MiddleGrad(nullptr, 0, &h), DCI_ERR_EXCEPTION);
}

} // namespace
