#include "transport/kdmii_buf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "frame/exceptions.h"
#include "frame/fields.h"
#include "frame/rows.h"
#include "support/diag_capture.h"

namespace kdm {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes PayloadOf(const CTCPBuffer& b) {
    const uint8_t* p = b.Block() + kPayloadOffset;
    return Bytes(p, p + b.PayloadLength());
}

// Puts `payload` into the block as a frame receive would.
void Receive(CTCPBuffer& b, const Bytes& payload) {
    uint8_t* block = b.FrameArea(kPayloadOffset + payload.size() + kFrameTrailerSize);
    if (!payload.empty())
        std::memcpy(block + kPayloadOffset, payload.data(), payload.size());
    b.SetReceivedPayload(static_cast<uint32_t>(payload.size()));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Word(uint32_t w) {
    return {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// ---- value -> exact bytes ---------------------------------------------------

struct EncodeCase {
    const char* name;
    std::function<void(CKDMIIBuf&)> put;
    Bytes expected;
};
void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.name;
}

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, WritesExactBytes) {
    CKDMIIBuf b;
    GetParam().put(b);
    EXPECT_EQ(PayloadOf(b), GetParam().expected);
    EXPECT_EQ(b.Remaining(), static_cast<int32_t>(GetParam().expected.size()));
    EXPECT_EQ(b.CursorOffset(), kPayloadOffset + GetParam().expected.size());
}

const TNativeDateTime kDate{3723004, 731312}; // 2003-04-07 01:02:03,004

const EncodeCase kEncodeCases[] = {
    {"Int32One", [](CKDMIIBuf& b) { b.PutInt32(1); }, {0x89, 1, 0, 0, 0}},
    {"Int32Negative", [](CKDMIIBuf& b) { b.PutInt32(-2); }, {0x89, 0xFE, 0xFF, 0xFF, 0xFF}},
    {"Int64", [](CKDMIIBuf& b) { b.PutInt64(0x0102030405060708); }, {0x8B, 8, 7, 6, 5, 4, 3, 2, 1}},
    {"Int16", [](CKDMIIBuf& b) { b.PutInt16(-1); }, {0x87, 0xFF, 0xFF}},
    {"Int8", [](CKDMIIBuf& b) { b.PutInt8(-128); }, {0x85, 0x80}},
    {"UInt64",
     [](CKDMIIBuf& b) { b.PutUInt64(0xFFFFFFFFFFFFFFFE); },
     {0x8A, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"UInt32", [](CKDMIIBuf& b) { b.PutUInt32(0xA1B2C3D4); }, {0x88, 0xD4, 0xC3, 0xB2, 0xA1}},
    {"UInt16", [](CKDMIIBuf& b) { b.PutUInt16(0x1234); }, {0x86, 0x34, 0x12}},
    {"UInt8", [](CKDMIIBuf& b) { b.PutUInt8(200); }, {0x84, 200}},
    {"Float", [](CKDMIIBuf& b) { b.PutFloat(1.0f); }, {0x8E, 0, 0, 0x80, 0x3F}},
    {"Double", [](CKDMIIBuf& b) { b.PutDouble(-2.0); }, {0x8F, 0, 0, 0, 0, 0, 0, 0, 0xC0}},
    {"DateTime",
     [](CKDMIIBuf& b) { b.PutDateTime(&kDate); },
     {0x8C, 0xFC, 0xCE, 0x38, 0, 0xB0, 0x28, 0x0B, 0}},
    {"DateTimeNullPointerIsNoDate",
     [](CKDMIIBuf& b) { b.PutDateTime(nullptr); },
     {0x8C, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"BoolTrue", [](CKDMIIBuf& b) { b.PutBool(true); }, {0x81, 1}},
    {"BoolFalse", [](CKDMIIBuf& b) { b.PutBool(false); }, {0x81, 0}},
    {"String", [](CKDMIIBuf& b) { b.PutString("abc"); }, {0x91, 3, 0, 0, 0, 'a', 'b', 'c', 0}},
    {"StringEmpty", [](CKDMIIBuf& b) { b.PutString(""); }, {0x91, 0, 0, 0, 0, 0}},
    {"StringNullIsEmpty",
     [](CKDMIIBuf& b) { b.PutString(static_cast<const char*>(nullptr)); },
     {0x91, 0, 0, 0, 0, 0}},
    // A counted text gets its zero byte written, not copied from the text.
    {"StringCountedTextNotTerminated",
     [](CKDMIIBuf& b) { b.PutString("abcdef", 3); },
     {0x91, 3, 0, 0, 0, 'a', 'b', 'c', 0}},
    {"StringCountedKeepsEmbeddedZero",
     [](CKDMIIBuf& b) { b.PutString("a\0b", 3); },
     {0x91, 3, 0, 0, 0, 'a', 0, 'b', 0}},
    {"StringGrowable",
     [](CKDMIIBuf& b) { b.PutString(CBasicString("xyz")); },
     {0x91, 3, 0, 0, 0, 'x', 'y', 'z', 0}},
    {"StringGrowableCutAtMaximum",
     [](CKDMIIBuf& b) { b.PutString(CBasicString("xyz"), 2); },
     {0x91, 2, 0, 0, 0, 'x', 'y', 0}},
    {"Blob",
     [](CKDMIIBuf& b) { b.PutBlob("pq", 0x11223344, 2); },
     {0x93, 0x44, 0x33, 0x22, 0x11, 2, 0, 0, 0, 'p', 'q'}},
    {"BytesEmpty", [](CKDMIIBuf& b) { b.PutBytes(nullptr, 0); }, {0x94, 0, 0, 0, 0}},
    {"Bytes", [](CKDMIIBuf& b) { b.PutBytes("\x01\x02\x03", 3); }, {0x94, 3, 0, 0, 0, 1, 2, 3}},
    {"ReserveBytesThenFill",
     [](CKDMIIBuf& b) { std::memcpy(b.ReserveBytes(2), "hi", 2); },
     {0x94, 2, 0, 0, 0, 'h', 'i'}},
    {"ReserveBlobThenFill",
     [](CKDMIIBuf& b) { std::memcpy(b.ReserveBlob(5, 1), "z", 1); },
     {0x93, 5, 0, 0, 0, 1, 0, 0, 0, 'z'}},
    {"Markers",
     [](CKDMIIBuf& b) {
         b.PutMarker21();
         b.PutMarker22();
     },
     {0x95, 0x96}},
    {"BeginCommandWithReply",
     [](CKDMIIBuf& b) { b.BeginCommand(0x00FF0020, true); },
     {0x20, 0x00, 0xFF, 0x01}},
    {"BeginCommandClearsReplyBit",
     [](CKDMIIBuf& b) {
         b.PutInt32(9); // an earlier message is dropped
         b.BeginCommand(0x01FF0020, false);
     },
     {0x20, 0x00, 0xFF, 0x00}},
    {"RawIntegersHaveNoTag",
     [](CKDMIIBuf& b) {
         b.PutRawU64(0x0807060504030201);
         b.PutRawU32(0x0C0B0A09);
         b.PutRawU16(0x0E0D);
         b.PutRawU8(0x0F);
         b.PutRawI64(-1);
         b.PutRawI32(-2);
         b.PutRawI16(-3);
         b.PutRawI8(-4);
     },
     Cat({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
          Bytes(8, 0xFF),
          {0xFE, 0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0xFC}})},
    {"RawString", [](CKDMIIBuf& b) { b.PutRawString("ok"); }, {2, 0, 0, 0, 'o', 'k', 0}},
    {"RawBytesNullReservesZeros",
     [](CKDMIIBuf& b) {
         b.PutRawBytes("ab", 2);
         b.PutRawBytes(nullptr, 3);
     },
     {'a', 'b', 0, 0, 0}},
};

INSTANTIATE_TEST_SUITE_P(Plain, EncodeTest, ::testing::ValuesIn(kEncodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Flags forms: (flags & 0xE0) | type, value bytes even for a NULL.
const EncodeCase kFlagsEncodeCases[] = {
    {"Int32NullWithFlagsZero", [](CKDMIIBuf& b) { b.PutInt32Flags(1, 0); }, {0x09, 1, 0, 0, 0}},
    {"Int32LowFlagBitsDropped", [](CKDMIIBuf& b) { b.PutInt32Flags(1, 0x1F); }, {0x09, 1, 0, 0, 0}},
    {"Int32AllUpperBits", [](CKDMIIBuf& b) { b.PutInt32Flags(1, 0xFF); }, {0xE9, 1, 0, 0, 0}},
    {"Int64", [](CKDMIIBuf& b) { b.PutInt64Flags(-1, 0x60); }, Cat({{0x6B}, Bytes(8, 0xFF)})},
    {"Int16", [](CKDMIIBuf& b) { b.PutInt16Flags(2, 0x80); }, {0x87, 2, 0}},
    {"Int8", [](CKDMIIBuf& b) { b.PutInt8Flags(3, 0x20); }, {0x25, 3}},
    {"UInt64", [](CKDMIIBuf& b) { b.PutUInt64Flags(4, 0x40); }, {0x4A, 4, 0, 0, 0, 0, 0, 0, 0}},
    {"UInt32", [](CKDMIIBuf& b) { b.PutUInt32Flags(5, 0xA0); }, {0xA8, 5, 0, 0, 0}},
    {"UInt16", [](CKDMIIBuf& b) { b.PutUInt16Flags(6, 0xC0); }, {0xC6, 6, 0}},
    {"UInt8", [](CKDMIIBuf& b) { b.PutUInt8Flags(7, 0xE0); }, {0xE4, 7}},
    {"Float", [](CKDMIIBuf& b) { b.PutFloatFlags(-0.0f, 0); }, {0x0E, 0, 0, 0, 0x80}},
    {"Double",
     [](CKDMIIBuf& b) { b.PutDoubleFlags(1.0, 0x80); },
     {0x8F, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
    {"DateTime",
     [](CKDMIIBuf& b) { b.PutDateTimeFlags(&kDate, 0); },
     {0x0C, 0xFC, 0xCE, 0x38, 0, 0xB0, 0x28, 0x0B, 0}},
    {"Bool", [](CKDMIIBuf& b) { b.PutBoolFlags(true, 0x20); }, {0x21, 1}},
    {"Bytes", [](CKDMIIBuf& b) { b.PutBytesFlags("a", 1, 0); }, {0x14, 1, 0, 0, 0, 'a'}},
    {"Blob",
     [](CKDMIIBuf& b) { b.PutBlobFlags("a", 2, 1, 0xE0); },
     {0xF3, 2, 0, 0, 0, 1, 0, 0, 0, 'a'}},
    {"ReserveBytes", [](CKDMIIBuf& b) { b.ReserveBytesFlags(1, 0); }, {0x14, 1, 0, 0, 0, 0}},
    {"ReserveBlob",
     [](CKDMIIBuf& b) { b.ReserveBlobFlags(3, 0, 0x40); },
     {0x53, 3, 0, 0, 0, 0, 0, 0, 0}},
    {"StringNull",
     [](CKDMIIBuf& b) { b.PutStringFlags("ab", 0); },
     {0x11, 2, 0, 0, 0, 'a', 'b', 0}},
    {"StringCounted",
     [](CKDMIIBuf& b) { b.PutStringFlags("abc", 1, 0x80); },
     {0x91, 1, 0, 0, 0, 'a', 0}},
    {"StringGrowable",
     [](CKDMIIBuf& b) { b.PutStringFlags(CBasicString("q"), 0x20); },
     {0x31, 1, 0, 0, 0, 'q', 0}},
    {"StringGrowableCut",
     [](CKDMIIBuf& b) { b.PutStringFlags(CBasicString("qrs"), 0, 0x80); },
     {0x91, 0, 0, 0, 0, 0}},
};

INSTANTIATE_TEST_SUITE_P(WithFlags, EncodeTest, ::testing::ValuesIn(kFlagsEncodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- round trip ---------------------------------------------------------------

TEST(KdmiiBufRoundTrip, EveryTypeReadsBackWhatWasPut) {
    CKDMIIBuf b;
    b.BeginCommand(0x00FF0020, true);
    b.PutInt64(std::numeric_limits<int64_t>::min());
    b.PutInt32(std::numeric_limits<int32_t>::min());
    b.PutInt16(-12345);
    b.PutInt8(-7);
    b.PutUInt64(std::numeric_limits<uint64_t>::max());
    b.PutUInt32(0xDEADBEEF);
    b.PutUInt16(0xBEEF);
    b.PutUInt8(0xEE);
    b.PutFloat(std::numeric_limits<float>::quiet_NaN());
    b.PutDouble(0.1);
    b.PutDateTime(&kDate);
    b.PutBool(true);
    b.PutString("hello");
    b.PutBlob("blob", 0xCAFE, 4);
    b.PutBytes("by", 2);
    b.PutInt32Flags(42, 0x60);
    b.PutStringFlags("n", 0);
    b.PutMarker21();
    b.RewindToRead();
    EXPECT_TRUE(b.Received());

    EXPECT_EQ(b.PeekCommandWord(), 0x01FF0020u);
    EXPECT_TRUE(b.ConsumeWord(0x01FF0020));
    int64_t i64 = 0;
    int32_t i32 = 0;
    int16_t i16 = 0;
    int8_t i8 = 0;
    uint64_t u64 = 0;
    uint32_t u32 = 0;
    uint16_t u16 = 0;
    uint8_t u8 = 0;
    float f = 0;
    double d = 0;
    TNativeDateTime dt{};
    bool flag = false;
    ASSERT_EQ(b.GetInt64(&i64), 0);
    ASSERT_EQ(b.GetInt32(&i32), 0);
    ASSERT_EQ(b.GetInt16(&i16), 0);
    ASSERT_EQ(b.GetInt8(&i8), 0);
    ASSERT_EQ(b.GetUInt64(&u64), 0);
    ASSERT_EQ(b.GetUInt32(&u32), 0);
    ASSERT_EQ(b.GetUInt16(&u16), 0);
    ASSERT_EQ(b.GetUInt8(&u8), 0);
    ASSERT_EQ(b.GetFloat(&f), 0);
    ASSERT_EQ(b.GetDouble(&d), 0);
    ASSERT_EQ(b.GetDateTime(&dt), 0);
    ASSERT_EQ(b.GetBool(&flag), 0);
    EXPECT_EQ(i64, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(i32, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(i16, -12345);
    EXPECT_EQ(i8, -7);
    EXPECT_EQ(u64, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(u32, 0xDEADBEEFu);
    EXPECT_EQ(u16, 0xBEEF);
    EXPECT_EQ(u8, 0xEE);
    EXPECT_TRUE(std::isnan(f));
    EXPECT_EQ(d, 0.1);
    EXPECT_EQ(dt.ms, kDate.ms);
    EXPECT_EQ(dt.day, kDate.day);
    EXPECT_TRUE(flag);

    CBasicString text;
    ASSERT_EQ(b.GetString(text), 0);
    EXPECT_EQ(text.View(), "hello");
    char blob[8] = {};
    uint32_t attribute = 0, length = 0;
    ASSERT_EQ(b.GetBlob(blob, sizeof blob, &attribute, &length), 0);
    EXPECT_EQ(std::string(blob, length), "blob");
    EXPECT_EQ(attribute, 0xCAFEu);
    const uint8_t* data = nullptr;
    ASSERT_EQ(b.GetBytesInPlace(&length, &data), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), "by");
    uint8_t flags = 0;
    ASSERT_EQ(b.GetInt32Flags(&i32, &flags), 0);
    EXPECT_EQ(i32, 42);
    EXPECT_EQ(flags, 0x60);
    CString32 small;
    ASSERT_EQ(b.GetStringFlags(small, &flags), 0);
    EXPECT_EQ(small.View(), "n");
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(b.ExpectMarker21(), 0);
    EXPECT_TRUE(b.IsFullyRead());
    EXPECT_EQ(b.CheckFullyRead(0), 0);
}

// ---- getters on received bytes -------------------------------------------------

// A getter run on a received payload: its status and what it left unread.
struct GetCase {
    const char* name;
    Bytes payload;
    std::function<int(CKDMIIBuf&)> get;
    int status;
    size_t leftOver; // bytes still unread afterwards
};
void PrintTo(const GetCase& c, std::ostream* os) {
    *os << c.name;
}

class GetTest : public ::testing::TestWithParam<GetCase> {};

TEST_P(GetTest, StatusAndConsumption) {
    const GetCase& c = GetParam();
    CKDMIIBuf b;
    Receive(b, c.payload);
    EXPECT_EQ(c.get(b), c.status);
    EXPECT_EQ(b.Remaining(), static_cast<int32_t>(c.leftOver));
    // Whatever is left is the tail of the payload.
    const size_t consumed = c.payload.size() - c.leftOver;
    if (c.leftOver > 0) {
        EXPECT_EQ(b.CursorOffset(), kPayloadOffset + consumed);
    }
}

template <class T, auto Get> std::function<int(CKDMIIBuf&)> Plain() {
    return [](CKDMIIBuf& b) {
        T v{};
        return (b.*Get)(&v);
    };
}
template <class T, auto Get> std::function<int(CKDMIIBuf&)> Flags() {
    return [](CKDMIIBuf& b) {
        T v{};
        uint8_t f = 0;
        return (b.*Get)(&v, &f);
    };
}

int GetText(CKDMIIBuf& b, uint32_t capacity) {
    char text[300];
    uint32_t length = 0;
    return b.GetString(text, capacity, &length);
}
int GetBytes(CKDMIIBuf& b, uint32_t capacity) {
    // A huge claimed room is only backed by what the payloads can fill;
    // a getter that overran it would be caught by the sanitizers.
    std::vector<uint8_t> data(std::min<uint32_t>(capacity, 1u << 16));
    uint32_t length = 0;
    return b.GetBytes(data.data(), capacity, &length);
}
int ReadBlobInPlace(CKDMIIBuf& b) {
    uint32_t attribute = 0, length = 0;
    const uint8_t* data = nullptr;
    return b.GetBlobInPlace(&attribute, &length, &data);
}
int ReadBytesInPlace(CKDMIIBuf& b) {
    uint32_t length = 0;
    const uint8_t* data = nullptr;
    return b.GetBytesInPlace(&length, &data);
}

const Bytes kInt32One{0x89, 1, 0, 0, 0};
const Bytes kNullInt32{0x09, 1, 0, 0, 0};

const GetCase kGetCases[] = {
    {"Int32", kInt32One, Plain<int32_t, &CKDMIIBuf::GetInt32>(), 0, 0},
    {"Int32LeavesNextValue", Cat({kInt32One, {0x81, 1}}), Plain<int32_t, &CKDMIIBuf::GetInt32>(), 0,
     2},
    {"NullPlainIsWrongTypeTagUnread", kNullInt32, Plain<int32_t, &CKDMIIBuf::GetInt32>(), 1, 5},
    {"NullFlagsFormConsumes", kNullInt32, Flags<int32_t, &CKDMIIBuf::GetInt32Flags>(), 0, 0},
    {"SignedForUnsigned", kInt32One, Plain<uint32_t, &CKDMIIBuf::GetUInt32>(), 1, 5},
    {"WrongTypeFlagsForm", kInt32One, Flags<int16_t, &CKDMIIBuf::GetInt16Flags>(), 1, 5},
    {"Int64OneShort", {0x8B, 1, 2, 3, 4, 5, 6, 7}, Plain<int64_t, &CKDMIIBuf::GetInt64>(), 3, 8},
    {"TruncatedBeatsWrongType", {0x87, 1}, Plain<int64_t, &CKDMIIBuf::GetInt64>(), 3, 2},
    {"EmptyInt8", {}, Plain<int8_t, &CKDMIIBuf::GetInt8>(), 3, 0},
    {"EmptyDoubleFlags", {}, Flags<double, &CKDMIIBuf::GetDoubleFlags>(), 3, 0},
    {"BoolNullPlain", {0x01, 1}, Plain<bool, &CKDMIIBuf::GetBool>(), 1, 2},
    {"BoolAnyNonZeroIsTrue",
     {0x81, 0x40},
     [](CKDMIIBuf& b) {
         bool v = false;
         int s = b.GetBool(&v);
         return s == 0 && v ? 0 : 99;
     },
     0,
     0},
    {"DateTimeWrongType",
     {0x8B, 0, 0, 0, 0, 0, 0, 0, 0},
     Plain<TNativeDateTime, &CKDMIIBuf::GetDateTime>(),
     1,
     9},
    {"StringExact",
     {0x91, 3, 0, 0, 0, 'a', 'b', 'c', 0},
     [](CKDMIIBuf& b) { return GetText(b, 3); },
     0,
     0},
    {"StringCutConsumesAll",
     {0x91, 3, 0, 0, 0, 'a', 'b', 'c', 0},
     [](CKDMIIBuf& b) { return GetText(b, 2); },
     0,
     0},
    {"StringWithoutZeroByte",
     {0x91, 3, 0, 0, 0, 'a', 'b', 'c'},
     [](CKDMIIBuf& b) { return GetText(b, 9); },
     3,
     8},
    {"StringLengthBeyondPayload",
     {0x91, 200, 0, 0, 0, 'a', 0},
     [](CKDMIIBuf& b) { return GetText(b, 255); },
     3,
     7},
    {"StringNegativeLength",
     {0x91, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0},
     [](CKDMIIBuf& b) { return GetText(b, 255); },
     3,
     7},
    {"StringHeaderTruncated", {0x91, 3, 0}, [](CKDMIIBuf& b) { return GetText(b, 9); }, 3, 3},
    {"StringExhausted", {}, [](CKDMIIBuf& b) { return GetText(b, 9); }, 3, 0},
    {"StringForInt", {0x91, 0, 0, 0, 0, 0}, Plain<int32_t, &CKDMIIBuf::GetInt32>(), 1, 6},
    {"IntForString", {0x89, 0, 0, 0, 0, 0}, [](CKDMIIBuf& b) { return GetText(b, 9); }, 1, 6},
    {"StringNullPlain", {0x11, 0, 0, 0, 0, 0}, [](CKDMIIBuf& b) { return GetText(b, 9); }, 1, 6},
    {"BytesLongerThanRoomStaysUnread", Cat({{0x94}, Word(5000), Bytes(5000, 7)}),
     [](CKDMIIBuf& b) { return GetBytes(b, 4096); }, 3, 5005},
    {"BytesNegativeLength", Cat({{0x94}, Word(0x80000000), Bytes(4, 0)}),
     [](CKDMIIBuf& b) { return GetBytes(b, 0xFFFFFFFF); }, 3, 9},
    {"BytesBeyondPayload", Cat({{0x94}, Word(6), Bytes(5, 0)}),
     [](CKDMIIBuf& b) { return GetBytes(b, 100); }, 3, 10},
    {"BytesFitsExactly", Cat({{0x94}, Word(4), Bytes(4, 1)}),
     [](CKDMIIBuf& b) { return GetBytes(b, 4); }, 0, 0},
    {"BlobInPlaceBeyondPayload", Cat({{0x93}, Word(0), Word(3), {1, 2}}), ReadBlobInPlace, 3, 11},
    {"BlobHeaderTruncated", Cat({{0x93}, Word(0), {0}}), ReadBlobInPlace, 3, 6},
    {"BytesInPlaceNegative", Cat({{0x94}, Word(0xFFFFFFFF)}), ReadBytesInPlace, 3, 5},
    {"BytesInPlaceForBlob", Cat({{0x93}, Word(0), Word(0)}), ReadBytesInPlace, 1, 9},
    {"Marker22", {0x96}, [](CKDMIIBuf& b) { return b.ExpectMarker22(); }, 0, 0},
    {"Marker22Null", {0x16}, [](CKDMIIBuf& b) { return b.ExpectMarker22(); }, 1, 1},
    {"Marker21ForMarker22", {0x96}, [](CKDMIIBuf& b) { return b.ExpectMarker21(); }, 1, 1},
    {"MarkerMissing", {}, [](CKDMIIBuf& b) { return b.ExpectMarker21(); }, 3, 0},
    {"RawWordShort", {1, 2, 3}, Plain<uint32_t, &CTCPBuffer::GetRawU32>(), 3, 3},
    {"RawWordNoTagCheck", {1, 2, 3, 4, 5}, Plain<int32_t, &CTCPBuffer::GetRawI32>(), 0, 1},
    {"RawStringBeyondPayload", Cat({Word(4), Text("abc")}),
     [](CKDMIIBuf& b) {
         CBasicString s;
         return b.GetRawString(s);
     },
     3, 7},
};

INSTANTIATE_TEST_SUITE_P(Cases, GetTest, ::testing::ValuesIn(kGetCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every fixed-width getter against its neighbours' tags and against every
// truncation of its own value.
struct FixedCase {
    const char* name;
    uint8_t type;
    size_t width;
    std::function<int(CKDMIIBuf&)> plain;
    std::function<int(CKDMIIBuf&)> flags;
};
void PrintTo(const FixedCase& c, std::ostream* os) {
    *os << c.name;
}

class FixedGetterTest : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedGetterTest, OnlyItsOwnCompleteTagIsAccepted) {
    const FixedCase& c = GetParam();
    for (uint8_t tag = 0; tag < 0xFF; ++tag) {
        Bytes value(1 + c.width, 0x5A);
        value[0] = tag;
        const bool own = (tag & kTagTypeMask) == c.type;
        const bool present = (tag & kTagPresent) != 0;
        CKDMIIBuf b;
        Receive(b, value);
        EXPECT_EQ(c.plain(b), own && present ? 0 : 1) << int(tag);
        Receive(b, value);
        EXPECT_EQ(c.flags(b), own ? 0 : 1) << int(tag);
        EXPECT_EQ(b.Remaining(), own ? 0 : static_cast<int32_t>(value.size())) << int(tag);
    }
    for (size_t size = 0; size <= c.width; ++size) {
        Bytes value(size, 0);
        if (size > 0)
            value[0] = static_cast<uint8_t>(0x80 | c.type);
        CKDMIIBuf b;
        Receive(b, value);
        EXPECT_EQ(c.plain(b), 3) << size;
        EXPECT_EQ(c.flags(b), 3) << size;
        EXPECT_EQ(b.Remaining(), static_cast<int32_t>(size));
    }
}

const FixedCase kFixedCases[] = {
    {"Int64", kWireInt64, 8, Plain<int64_t, &CKDMIIBuf::GetInt64>(),
     Flags<int64_t, &CKDMIIBuf::GetInt64Flags>()},
    {"Int32", kWireInt32, 4, Plain<int32_t, &CKDMIIBuf::GetInt32>(),
     Flags<int32_t, &CKDMIIBuf::GetInt32Flags>()},
    {"Int16", kWireInt16, 2, Plain<int16_t, &CKDMIIBuf::GetInt16>(),
     Flags<int16_t, &CKDMIIBuf::GetInt16Flags>()},
    {"Int8", kWireInt8, 1, Plain<int8_t, &CKDMIIBuf::GetInt8>(),
     Flags<int8_t, &CKDMIIBuf::GetInt8Flags>()},
    {"UInt64", kWireUInt64, 8, Plain<uint64_t, &CKDMIIBuf::GetUInt64>(),
     Flags<uint64_t, &CKDMIIBuf::GetUInt64Flags>()},
    {"UInt32", kWireUInt32, 4, Plain<uint32_t, &CKDMIIBuf::GetUInt32>(),
     Flags<uint32_t, &CKDMIIBuf::GetUInt32Flags>()},
    {"UInt16", kWireUInt16, 2, Plain<uint16_t, &CKDMIIBuf::GetUInt16>(),
     Flags<uint16_t, &CKDMIIBuf::GetUInt16Flags>()},
    {"UInt8", kWireUInt8, 1, Plain<uint8_t, &CKDMIIBuf::GetUInt8>(),
     Flags<uint8_t, &CKDMIIBuf::GetUInt8Flags>()},
    {"Float", kWireFloat, 4, Plain<float, &CKDMIIBuf::GetFloat>(),
     Flags<float, &CKDMIIBuf::GetFloatFlags>()},
    {"Double", kWireDouble, 8, Plain<double, &CKDMIIBuf::GetDouble>(),
     Flags<double, &CKDMIIBuf::GetDoubleFlags>()},
    {"DateTime", kWireDateTime, 8, Plain<TNativeDateTime, &CKDMIIBuf::GetDateTime>(),
     Flags<TNativeDateTime, &CKDMIIBuf::GetDateTimeFlags>()},
    {"Bool", kWireBool, 1, Plain<bool, &CKDMIIBuf::GetBool>(),
     Flags<bool, &CKDMIIBuf::GetBoolFlags>()},
};

INSTANTIATE_TEST_SUITE_P(Types, FixedGetterTest, ::testing::ValuesIn(kFixedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KdmiiBufGet, FlagsFormReturnsUpperBitsAndValueOfNull) {
    CKDMIIBuf b;
    Receive(b, {0x69, 0x2A, 0, 0, 0, 0x09, 7, 0, 0, 0});
    int32_t value = 0;
    uint8_t flags = 0xFF;
    ASSERT_EQ(b.GetInt32Flags(&value, &flags), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(flags, 0x60);
    ASSERT_EQ(b.GetInt32Flags(&value, &flags), 0);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(flags, 0);
}

TEST(KdmiiBufGet, FailedGetWritesNoOutput) {
    CKDMIIBuf b;
    Receive(b, {0x09, 1, 0, 0, 0});
    int32_t value = 1234;
    EXPECT_EQ(b.GetInt32(&value), 1);
    EXPECT_EQ(value, 1234);
    uint8_t flags = 0x77;
    int16_t other = 55;
    EXPECT_EQ(b.GetInt16Flags(&other, &flags), 1);
    EXPECT_EQ(other, 55);
    EXPECT_EQ(flags, 0x77);
}

// ---- strings into the caller's room -----------------------------------------

struct StringCase {
    const char* name;
    std::string wire;
    uint32_t capacity;
    std::string expected;
};
void PrintTo(const StringCase& c, std::ostream* os) {
    *os << c.name;
}

Bytes StringValue(const std::string& text, uint8_t tag = 0x91) {
    return Cat({{tag}, Word(static_cast<uint32_t>(text.size())), Text(text), {0}});
}

class StringRoomTest : public ::testing::TestWithParam<StringCase> {};

// Each form cuts at its room, terminates, writes nothing past it and
// consumes the whole value.
TEST_P(StringRoomTest, CutsTerminatesAndConsumesWholeValue) {
    const StringCase& c = GetParam();
    const Bytes wire = Cat({StringValue(c.wire), {0x81, 1}});
    {
        CKDMIIBuf b;
        Receive(b, wire);
        std::vector<char> area(c.capacity + 1 + 8, '#');
        uint32_t length = 999;
        ASSERT_EQ(b.GetString(area.data(), c.capacity, &length), 0);
        EXPECT_EQ(length, c.expected.size());
        EXPECT_EQ(std::string(area.data(), length), c.expected);
        EXPECT_EQ(area[length], '\0');
        EXPECT_EQ(std::string(area.begin() + c.capacity + 1, area.end()), std::string(8, '#'));
        EXPECT_EQ(b.Remaining(), 2);
    }
    {
        CKDMIIBuf b;
        Receive(b, wire);
        CBasicString text("old");
        ASSERT_EQ(b.GetString(text, c.capacity), 0);
        EXPECT_EQ(text.View(), c.expected);
        EXPECT_EQ(b.Remaining(), 2);
    }
    {
        CKDMIIBuf b;
        Receive(b, wire);
        CString32 text("old");
        ASSERT_EQ(b.GetString(text), 0);
        EXPECT_EQ(text.View(), c.wire.substr(0, 32));
        EXPECT_EQ(b.Remaining(), 2);
    }
    {
        CKDMIIBuf b;
        Receive(b, wire);
        CBasicString text;
        ASSERT_EQ(b.GetString(text), 0);
        EXPECT_EQ(text.View(), c.wire);
    }
}

const StringCase kStringCases[] = {
    {"FitsExactly", "abc", 3, "abc"},
    {"CutToTwo", "abc", 2, "ab"},
    {"CapacityZero", "abc", 0, ""},
    {"Empty", "", 5, ""},
    {"LongerThanFixedString", std::string(40, 'x') + "yz", 41, std::string(40, 'x') + "y"},
    {"EmbeddedZeroKept", std::string("a\0b", 3), 3, std::string("a\0b", 3)},
};

INSTANTIATE_TEST_SUITE_P(Cases, StringRoomTest, ::testing::ValuesIn(kStringCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KdmiiBufString, FlagsFormsReadNullValues) {
    CKDMIIBuf b;
    Receive(b, Cat({StringValue("xy", 0x11), StringValue("pq", 0x31), StringValue("rs", 0x11),
                    StringValue("tu", 0xF1)}));
    char text[8];
    uint32_t length = 0;
    uint8_t flags = 0xFF;
    ASSERT_EQ(b.GetStringFlags(text, 7, &length, &flags), 0);
    EXPECT_EQ(std::string(text), "xy");
    EXPECT_EQ(flags, 0);
    CString32 fixed;
    ASSERT_EQ(b.GetStringFlags(fixed, &flags), 0);
    EXPECT_EQ(fixed.View(), "pq");
    EXPECT_EQ(flags, 0x20);
    CBasicString growable;
    ASSERT_EQ(b.GetStringFlags(growable, 1, &flags), 0);
    EXPECT_EQ(growable.View(), "r");
    ASSERT_EQ(b.GetStringFlags(growable, &flags), 0);
    EXPECT_EQ(growable.View(), "tu");
    EXPECT_EQ(flags, 0xE0);
    EXPECT_TRUE(b.IsFullyRead());
}

TEST(KdmiiBufString, RawStringReadsTextWithoutTag) {
    CKDMIIBuf b;
    Receive(b, Cat({Word(3), Text("raw"), {0}, {0x42}}));
    CBasicString text;
    ASSERT_EQ(b.GetRawString(text), 0);
    EXPECT_EQ(text.View(), "raw");
    EXPECT_EQ(b.Remaining(), 1);
}

// ---- Bytes and Blob ---------------------------------------------------------

TEST(KdmiiBufBytes, LongerThanRoomReportsLengthZeroAndWritesNothing) {
    CKDMIIBuf b;
    Receive(b, Cat({{0x94}, Word(5000), Bytes(5000, 7)}));
    std::vector<uint8_t> room(4096 + 16, 0xEE);
    uint32_t length = 1;
    EXPECT_EQ(b.GetBytes(room.data(), 4096, &length), 3);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(room, Bytes(4096 + 16, 0xEE));
    EXPECT_EQ(b.Remaining(), 5005);
    // A large enough room then takes the same value.
    std::vector<uint8_t> big(5000);
    ASSERT_EQ(b.GetBytes(big.data(), 5000, &length), 0);
    EXPECT_EQ(length, 5000u);
    EXPECT_EQ(big, Bytes(5000, 7));
}

TEST(KdmiiBufBytes, BlobIntoBufferReturnsBothWords) {
    CKDMIIBuf b;
    Receive(b, Cat({{0x13},
                    Word(0x10203040),
                    Word(3),
                    Text("abc"),
                    {0x93},
                    Word(1),
                    Word(9),
                    Bytes(9, 0)}));
    char data[4] = {};
    uint32_t attribute = 0, length = 0;
    uint8_t flags = 0xFF;
    EXPECT_EQ(b.GetBlob(data, 4, &attribute, &length), 1) << "NULL for the plain form";
    ASSERT_EQ(b.GetBlobFlags(data, 4, &attribute, &length, &flags), 0);
    EXPECT_EQ(attribute, 0x10203040u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(data, 3), "abc");
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(b.GetBlob(data, 4, &attribute, &length), 3);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(b.Remaining(), 18);
}

TEST(KdmiiBufBytes, InPlaceDataPointsIntoPayloadAndSurvivesReset) {
    CKDMIIBuf b;
    Receive(b, Cat({{0x93}, Word(5), Word(4), Text("pict"), {0x14}, Word(2), Text("xy")}));
    uint32_t attribute = 0, length = 0;
    const uint8_t* data = nullptr;
    ASSERT_EQ(b.GetBlobInPlace(&attribute, &length, &data), 0);
    EXPECT_EQ(data, b.Block() + kPayloadOffset + 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), "pict");
    EXPECT_EQ(attribute, 5u);
    uint8_t flags = 0xFF;
    ASSERT_EQ(b.GetBytesInPlaceFlags(&length, &data, &flags), 0);
    EXPECT_FALSE(b.Received()) << "the last byte was consumed: reset";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), "xy");
    EXPECT_EQ(flags, 0);
}

// ---- primitives ---------------------------------------------------------------

TEST(KdmiiBufPrimitive, ExpectTagStatuses) {
    struct Case {
        Bytes payload;
        uint8_t type;
        int status;
        int32_t left;
    } cases[] = {
        {{0x89, 0}, kWireInt32, 0, 1}, {{0x09, 0}, kWireInt32, 2, 2}, {{0x88, 0}, kWireInt32, 1, 2},
        {{0xE9, 0}, kWireInt32, 0, 1}, {{}, kWireInt32, 3, 0},
    };
    for (const Case& c : cases) {
        CKDMIIBuf b;
        Receive(b, c.payload);
        EXPECT_EQ(b.ExpectTag(c.type), c.status) << int(c.payload.empty() ? -1 : c.payload[0]);
        EXPECT_EQ(b.Remaining(), c.left);
    }
    CKDMIIBuf b;
    Receive(b, {0x49, 0});
    uint8_t flags = 0;
    EXPECT_EQ(b.ExpectTagFlags(kWireInt16, &flags), 1);
    EXPECT_EQ(b.ExpectTagFlags(kWireInt32, &flags), 0);
    EXPECT_EQ(flags, 0x40);
    EXPECT_EQ(b.Remaining(), 1);
}

TEST(KdmiiBufPrimitive, CommandWordPeekAndConsume) {
    CKDMIIBuf b;
    Receive(b, Word(0x00FF0021));
    EXPECT_EQ(b.PeekCommandWord(), 0x00FF0021u) << "a payload of the command word alone";
    EXPECT_FALSE(b.ConsumeWord(0x00FF0020));
    EXPECT_EQ(b.Remaining(), 4);
    EXPECT_TRUE(b.ConsumeWord(0x00FF0021));
    EXPECT_EQ(b.Remaining(), 0);
    Receive(b, {0x21, 0, 0xFF});
    EXPECT_EQ(b.PeekCommandWord(), 0u);
    EXPECT_FALSE(b.ConsumeWord(0x00FF21));
    EXPECT_EQ(b.Remaining(), 3);
}

TEST(KdmiiBufPrimitive, RawBytesSkipAndPeek) {
    CKDMIIBuf b;
    Receive(b, {1, 2, 3, 4, 5, 6});
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(b.GetRawBytes(out, -1), 3);
    EXPECT_EQ(b.GetRawBytes(out, 7), 3);
    EXPECT_FALSE(b.PeekRawBytes(out, 7));
    EXPECT_FALSE(b.PeekRawBytes(out, -2));
    EXPECT_FALSE(b.Skip(-1));
    EXPECT_FALSE(b.Skip(7));
    EXPECT_EQ(Bytes(out, out + 4), Bytes(4, 9));
    EXPECT_EQ(b.Remaining(), 6);
    EXPECT_TRUE(b.PeekRawBytes(out, 2));
    EXPECT_EQ(b.Remaining(), 6);
    EXPECT_EQ(b.GetRawBytes(nullptr, 1), 0) << "a null pointer skips";
    EXPECT_EQ(b.GetRawBytes(out + 2, 2), 0);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 2, 3}));
    EXPECT_TRUE(b.Skip(0));
    EXPECT_TRUE(b.Skip(2));
    EXPECT_EQ(b.Remaining(), 1);
    EXPECT_EQ(*b.Cursor(), 6);
    EXPECT_TRUE(b.Received());
    EXPECT_TRUE(b.Skip(1));
    EXPECT_FALSE(b.Received());
    EXPECT_EQ(b.CursorOffset(), kPayloadOffset);
}

TEST(KdmiiBufPrimitive, PeekBytesLength) {
    CKDMIIBuf b;
    Receive(b, Cat({{0x94}, Word(77)}));
    uint32_t length = 0;
    EXPECT_EQ(b.PeekBytesLength(&length), 0);
    EXPECT_EQ(length, 77u);
    EXPECT_EQ(b.Remaining(), 5);
    Receive(b, Cat({{0x91}, Word(77)}));
    EXPECT_EQ(b.PeekBytesLength(&length), 1);
    Receive(b, {0x94, 1});
    EXPECT_EQ(b.PeekBytesLength(&length), 3);
}

TEST(KdmiiBufPrimitive, PutRawBytesRejectsNegativeLength) {
    CKDMIIBuf b;
    EXPECT_EQ(b.PutRawBytes("x", -1), 3);
    EXPECT_EQ(b.PutRawBytes("x", 0), 0);
    EXPECT_EQ(b.PayloadLength(), 0u);
}

TEST(KdmiiBufPrimitive, ReservedAreaHoldsNoBytesOfAnEarlierMessage) {
    CKDMIIBuf b;
    Bytes old(64, 0xAA);
    b.PutBytes(old.data(), 64);
    b.Reset();
    uint8_t* area = b.ReserveBytes(64);
    EXPECT_EQ(Bytes(area, area + 64), Bytes(64, 0));
    b.Reset();
    b.PutBlob(nullptr, 1, 8);
    EXPECT_EQ(PayloadOf(b), Cat({{0x93}, Word(1), Word(8), Bytes(8, 0)}));
}

// ---- end of message ---------------------------------------------------------

TEST(KdmiiBufEnd, CheckFullyReadReportsLeftOverBytes) {
    struct Case {
        Bytes payload;
        int given;
        int expected;
        bool line;
    } cases[] = {
        {{}, 0, 0, false},
        {{}, 3, 3, false},
        {{0x81}, 0, 6, true},
        {{0x81}, 1, 1, true},
    };
    for (const Case& c : cases) {
        test::DiagCapture diag;
        CKDMIIBuf b;
        Receive(b, c.payload);
        b.SetMark();
        EXPECT_EQ(b.CheckFullyRead(c.given), c.expected);
        EXPECT_EQ(diag.Text().find(kTextDataLost) != std::string::npos, c.line) << diag.Text();
        EXPECT_EQ(b.Remaining(), 0);
        EXPECT_FALSE(b.Received());
    }
}

TEST(KdmiiBufEnd, FinishReadingTellsWhetherAllWasReadAndResets) {
    CKDMIIBuf b;
    Receive(b, {0x81, 1});
    EXPECT_FALSE(b.FinishReading());
    EXPECT_EQ(b.Remaining(), 0);
    EXPECT_TRUE(b.FinishReading());
}

TEST(KdmiiBufEnd, ReadingTheLastByteResetsOnlyThen) {
    CKDMIIBuf b;
    Receive(b, Cat({kInt32One, kInt32One}));
    int32_t v = 0;
    ASSERT_EQ(b.GetInt32(&v), 0);
    EXPECT_TRUE(b.Received());
    EXPECT_EQ(b.CursorOffset(), kPayloadOffset + 5);
    ASSERT_EQ(b.GetInt32(&v), 0);
    EXPECT_FALSE(b.Received());
    EXPECT_EQ(b.CursorOffset(), kPayloadOffset);
    EXPECT_EQ(b.PayloadLength(), 0u);
    EXPECT_EQ(b.GetInt32(&v), 3);
}

// ---- mark -------------------------------------------------------------------

TEST(KdmiiBufMark, ReturnWithoutMarkFails) {
    CKDMIIBuf b;
    Receive(b, kInt32One);
    EXPECT_FALSE(b.MarkValid());
    EXPECT_FALSE(b.ReturnToMark());
    EXPECT_EQ(b.Remaining(), 5);
}

TEST(KdmiiBufMark, ReadsAgainFromTheMarkEvenAfterTheAutomaticReset) {
    CKDMIIBuf b;
    Receive(b, Cat({Word(0x00FF0020), kInt32One, {0x81, 0}}));
    ASSERT_TRUE(b.ConsumeWord(0x00FF0020));
    b.SetMark();
    int32_t v = 0;
    bool flag = true;
    ASSERT_EQ(b.GetInt32(&v), 0);
    ASSERT_EQ(b.GetBool(&flag), 0);
    EXPECT_FALSE(b.Received());
    ASSERT_TRUE(b.ReturnToMark());
    EXPECT_TRUE(b.Received());
    EXPECT_EQ(b.Remaining(), 7);
    v = 0;
    ASSERT_EQ(b.GetInt32(&v), 0);
    EXPECT_EQ(v, 1);
}

TEST(KdmiiBufMark, KeepsABuiltMessageOverAReset) {
    CKDMIIBuf b;
    b.BeginCommand(0x00FF0020, true);
    b.PutInt32(1);
    const Bytes built = PayloadOf(b);
    b.SetMark();
    b.Reset();
    EXPECT_EQ(b.PayloadLength(), 0u);
    ASSERT_TRUE(b.ReturnToMark());
    EXPECT_EQ(PayloadOf(b), built);
    b.PutUInt8(3);
    EXPECT_EQ(PayloadOf(b), Cat({built, {0x84, 3}}));
}

// ---- the block and its ceiling ----------------------------------------------

TEST(KdmiiBufBlock, FiguresAndPayloadStart) {
    CKDMIIBuf b;
    EXPECT_EQ(b.BlockSize(), 1024u);
    EXPECT_EQ(b.BlockCeiling(), 1048576u);
    EXPECT_EQ(b.CursorOffset(), 8u);
    EXPECT_EQ(b.Cursor(), b.Block() + 8);
    EXPECT_FALSE(b.PayloadCodingOn());
    EXPECT_EQ(kMaxPayload, 1048576u - 12);
    // Growth keeps what was written and leaves room for the trailer.
    Bytes data(3000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    b.PutBytes(data.data(), 3000);
    b.PutInt32(5);
    EXPECT_GE(b.BlockSize(), kPayloadOffset + 3010 + kFrameTrailerSize);
    EXPECT_EQ(PayloadOf(b), Cat({{0x94}, Word(3000), data, {0x89, 5, 0, 0, 0}}));
}

void ExpectCannotGrow(const std::function<void()>& action) {
    try {
        action();
        ADD_FAILURE() << "no EGrowableBuffer";
    } catch (const EGrowableBuffer& e) {
        EXPECT_STREQ(e.Message(), "TVirtualBuffer: Can't grow any more.");
    }
}

TEST(KdmiiBufBlock, PayloadStopsAtTheCeiling) {
    CKDMIIBuf b;
    b.ReserveBytes(kMaxPayload - 5 - 1); // leaves room for exactly one byte
    b.PutRawU8(1);
    EXPECT_EQ(b.PayloadLength(), kMaxPayload);
    EXPECT_EQ(b.BlockSize(), kBufCeiling);
    ExpectCannotGrow([&] { b.PutRawU8(2); });
    ExpectCannotGrow([&] { b.PutInt64(2); });
    EXPECT_EQ(b.PayloadLength(), kMaxPayload) << "a failed put writes nothing";
    EXPECT_EQ(b.CursorOffset(), kPayloadOffset + kMaxPayload);
}

TEST(KdmiiBufBlock, OversizedValuesFailWithoutWriting) {
    CKDMIIBuf b;
    b.PutInt32(1);
    ExpectCannotGrow([&] { b.PutBytes(nullptr, 0xFFFFFFFF); });
    ExpectCannotGrow([&] { b.ReserveBlob(0, kMaxPayload); });
    std::string big(kMaxPayload, 'x');
    ExpectCannotGrow([&] { b.PutString(big.c_str()); });
    EXPECT_EQ(PayloadOf(b), kInt32One);
}

TEST(KdmiiBufBlock, ReceiveSizesAreCheckedAgainstTheCeiling) {
    CKDMIIBuf b;
    Receive(b, kInt32One);
    ExpectCannotGrow([&] { b.SetReceivedPayload(kMaxPayload + 1); });
    ExpectCannotGrow([&] { b.FrameArea(kBufCeiling + 1); });
    EXPECT_EQ(b.Remaining(), 5) << "the received payload is unchanged";
    uint8_t* area = b.FrameArea(kBufCeiling);
    EXPECT_EQ(area, b.Block());
    EXPECT_EQ(b.BlockSize(), kBufCeiling);
    b.SetReceivedPayload(kMaxPayload);
    EXPECT_EQ(b.PayloadLength(), kMaxPayload);
    EXPECT_EQ(b.Remaining(), static_cast<int32_t>(kMaxPayload));
}

TEST(KdmiiBufBlock, CheckedAccessOutsideTheBlock) {
    CKDMIIBuf b;
    EXPECT_EQ(b.BlockAt(1020, 4), b.Block() + 1020);
    try {
        b.BlockAt(1021, 4);
        ADD_FAILURE() << "no EGrowableBuffer";
    } catch (const EGrowableBuffer& e) {
        EXPECT_STREQ(e.Message(), "TVirtualBuffer: Index out of range.");
    }
}

// ---- rows from a real reply -----------------------------------------------------

// Columns ID (Int32), NAME (String 8), DATA (Blob) in a cache of 4 rows.
class KdmiiBufRowTest : public ::testing::Test {
protected:
    void SetUp() override {
        AddDef("ID", kFieldInt32, 0);
        AddDef("NAME", kFieldString, 8);
        AddDef("DATA", kFieldBlob, 0);
        cache.Rebuild();
        reply.BeginCommand(0x00FF0030, false);
        reply.PutRawU32(0); // answer status word
    }
    void AddDef(const char* name, int32_t type, uint32_t declared) {
        auto def = std::make_unique<TDBIFieldDef>(name, "T", type, 0, declared, defs.Count());
        defs.Add(def.get());
        def.release();
    }
    void Row(int64_t position, int32_t id, const char* name, const std::string& data,
             uint8_t idFlags = 0x80) {
        reply.PutBool(true);
        uint8_t bookmark[24] = {};
        std::memcpy(bookmark + 16, &position, 8);
        reply.PutBytes(bookmark, sizeof bookmark);
        if (position < 0)
            return;
        reply.PutInt32Flags(id, idFlags);
        reply.PutString(name);
        reply.PutBlob(data.data(), 0, static_cast<uint32_t>(data.size()));
    }
    // Sends the reply to a second buffer as a frame would carry it.
    int Fill(bool forward) {
        Receive(received, PayloadOf(reply));
        uint32_t word = 0;
        EXPECT_EQ(received.GetRawU32(&word), 0);
        EXPECT_EQ(received.GetRawU32(&word), 0);
        return cache.Fill(received, forward);
    }
    std::string Name() const {
        char text[256];
        uint8_t length = 255;
        FieldAsString(defs[1], text, &length);
        return std::string(text, length);
    }
    std::string Blob() const {
        TBlobDesc blob{};
        FieldAsBlob(defs[2], &blob);
        return std::string(static_cast<const char*>(blob.data), blob.length);
    }

    TDBIFieldDefs defs;
    TKdmDBIRowList cache{4, &defs};
    CKDMIIBuf reply;
    CKDMIIBuf received;
};

TEST_F(KdmiiBufRowTest, FillReadsRowsAndLeavesNothing) {
    Row(100, 1, "one", "blob-one");
    Row(101, 2, "a-longer-name", "");
    Row(102, 3, "three", "x", 0);
    reply.PutBool(false);
    ASSERT_EQ(Fill(true), 0);
    EXPECT_EQ(received.CheckFullyRead(0), 0);
    EXPECT_EQ(cache.WindowEnd(), 3);
    EXPECT_EQ(FieldAsInt(defs[0]), 1);
    EXPECT_EQ(Name(), "one");
    EXPECT_EQ(Blob(), "blob-one");
    uint8_t bookmark[kBookmarkSize];
    ASSERT_TRUE(cache.Move(true, bookmark));
    EXPECT_EQ(Name(), "a-longer") << "cut to the declared size";
    ASSERT_TRUE(cache.Move(true, bookmark));
    EXPECT_TRUE(FieldIsNull(defs[0])) << "sent with flags 0";
    EXPECT_EQ(FieldAsInt(defs[0]), 0);
    EXPECT_EQ(Name(), "three");
}

TEST_F(KdmiiBufRowTest, TruncatedReplyKeepsOnlyCompleteRows) {
    Row(100, 1, "one", "b1");
    Row(101, 2, "two", "b2");
    reply.PutBool(false);
    Bytes payload = PayloadOf(reply);
    payload.resize(payload.size() - 4); // inside the second row's blob
    Receive(received, payload);
    uint32_t word = 0;
    ASSERT_EQ(received.GetRawU32(&word), 0);
    ASSERT_EQ(received.GetRawU32(&word), 0);
    EXPECT_EQ(cache.Fill(received, true), 3);
    EXPECT_EQ(cache.WindowEnd(), 1);
    EXPECT_EQ(Name(), "one");
    test::DiagCapture diag;
    EXPECT_EQ(received.CheckFullyRead(3), 3);
}

TEST_F(KdmiiBufRowTest, WrongWireTypeInARowIsStatusOne) {
    reply.PutBool(true);
    uint8_t bookmark[24] = {};
    reply.PutBytes(bookmark, sizeof bookmark);
    reply.PutInt16(1); // ID is Int32
    reply.PutInt16(2); // enough bytes that the type, not the size, fails
    EXPECT_EQ(Fill(true), 1);
    EXPECT_EQ(cache.WindowEnd(), 0);
}

TEST_F(KdmiiBufRowTest, BookmarkLongerThanItsBlockIsStatusThree) {
    reply.PutBool(true);
    Bytes bookmark(kBookmarkSize + 1, 0);
    reply.PutBytes(bookmark.data(), static_cast<uint32_t>(bookmark.size()));
    EXPECT_EQ(Fill(true), 3);
    EXPECT_EQ(received.Remaining(), static_cast<int32_t>(5 + bookmark.size()));
}

} // namespace
} // namespace kdm
