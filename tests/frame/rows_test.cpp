#include "frame/rows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/exceptions.h"

namespace kdm {
namespace {

using Bytes = std::vector<uint8_t>;

// Wire type codes of the reply encoding.
enum Wire : uint8_t {
    kWireBool = 1,
    kWireUInt8 = 4,
    kWireUInt16 = 6,
    kWireInt16 = 7,
    kWireUInt32 = 8,
    kWireInt32 = 9,
    kWireInt64 = 11,
    kWireDateTime = 12,
    kWireFloat = 14,
    kWireDouble = 15,
    kWireString = 17,
    kWireBlob = 19,
    kWireBytes = 20,
};

// Builds reply images: tag (type code | flags), then little-endian values.
class WireWriter {
public:
    template <class T> WireWriter& Put(uint8_t code, T value, uint8_t flags = 0x80) {
        bytes.push_back(static_cast<uint8_t>((flags & 0xE0) | code));
        Raw(&value, sizeof value);
        return *this;
    }
    WireWriter& Bool(bool value) { return Put<uint8_t>(kWireBool, value ? 1 : 0); }
    WireWriter& String(const std::string& text, uint8_t flags = 0x80) {
        bytes.push_back(static_cast<uint8_t>((flags & 0xE0) | kWireString));
        Word(static_cast<uint32_t>(text.size()));
        Raw(text.data(), text.size());
        bytes.push_back(0);
        return *this;
    }
    WireWriter& Blob(uint32_t attribute, const std::string& data, uint8_t flags = 0x80) {
        bytes.push_back(static_cast<uint8_t>((flags & 0xE0) | kWireBlob));
        Word(attribute);
        Word(static_cast<uint32_t>(data.size()));
        Raw(data.data(), data.size());
        return *this;
    }
    WireWriter& BytesValue(const Bytes& data) {
        bytes.push_back(0x80 | kWireBytes);
        Word(static_cast<uint32_t>(data.size()));
        Raw(data.data(), data.size());
        return *this;
    }
    void Word(uint32_t w) { Raw(&w, 4); }
    void Raw(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    Bytes bytes;
};

// A reader over one reply image with the getter rules of the transport:
// a failed get consumes nothing and writes no output.
class WireReader : public IValueReader {
public:
    explicit WireReader(Bytes image) : m_bytes(std::move(image)) {}
    size_t Remaining() const { return m_bytes.size() - m_pos; }

    int GetBool(bool* value) override {
        uint8_t raw = 0, flags = 0;
        size_t start = m_pos;
        int s = Fixed(kWireBool, &raw, 1, &flags);
        if (s == 0 && (flags & 0x80) == 0) {
            m_pos = start;
            return 1;
        }
        if (s == 0)
            *value = raw != 0;
        return s;
    }
    int GetBytes(void* buffer, uint32_t capacity, uint32_t* length) override {
        size_t start = m_pos;
        uint8_t flags = 0;
        uint32_t n = 0;
        int s = Head(kWireBytes, &flags, &n, nullptr);
        if (s == 0 && (flags & 0x80) == 0)
            s = 1;
        if (s == 0 && n > capacity) {
            *length = 0;
            s = 3;
        }
        if (s != 0) {
            m_pos = start;
            return s;
        }
        std::memcpy(buffer, &m_bytes[m_pos], n);
        m_pos += n;
        *length = n;
        return 0;
    }
    int GetBoolFlags(bool* value, uint8_t* flags) override {
        uint8_t raw = 0;
        int s = Fixed(kWireBool, &raw, 1, flags);
        if (s == 0)
            *value = raw != 0;
        return s;
    }
    int GetUInt8Flags(uint8_t* v, uint8_t* f) override { return Fixed(kWireUInt8, v, 1, f); }
    int GetInt16Flags(int16_t* v, uint8_t* f) override { return Fixed(kWireInt16, v, 2, f); }
    int GetUInt16Flags(uint16_t* v, uint8_t* f) override { return Fixed(kWireUInt16, v, 2, f); }
    int GetInt32Flags(int32_t* v, uint8_t* f) override { return Fixed(kWireInt32, v, 4, f); }
    int GetUInt32Flags(uint32_t* v, uint8_t* f) override { return Fixed(kWireUInt32, v, 4, f); }
    int GetInt64Flags(int64_t* v, uint8_t* f) override { return Fixed(kWireInt64, v, 8, f); }
    int GetFloatFlags(float* v, uint8_t* f) override { return Fixed(kWireFloat, v, 4, f); }
    int GetDoubleFlags(double* v, uint8_t* f) override { return Fixed(kWireDouble, v, 8, f); }
    int GetDateTimeFlags(TNativeDateTime* v, uint8_t* f) override {
        return Fixed(kWireDateTime, v, 8, f);
    }
    int GetStringFlags(char* buffer, uint32_t capacity, uint32_t* length, uint8_t* flags) override {
        size_t start = m_pos;
        uint32_t n = 0;
        int s = Head(kWireString, flags, &n, nullptr);
        if (s == 0 && Remaining() < size_t{n} + 1)
            s = 3;
        if (s != 0) {
            m_pos = start;
            return s;
        }
        uint32_t copied = n < capacity ? n : capacity;
        std::memcpy(buffer, &m_bytes[m_pos], copied);
        buffer[copied] = '\0';
        m_pos += size_t{n} + 1;
        *length = copied;
        return 0;
    }
    int GetBlobInPlaceFlags(uint32_t* attribute, uint32_t* length, const uint8_t** data,
                            uint8_t* flags) override {
        size_t start = m_pos;
        uint32_t n = 0, a = 0;
        int s = Head(kWireBlob, flags, &n, &a);
        if (s == 0 && Remaining() < n)
            s = 3;
        if (s != 0) {
            m_pos = start;
            return s;
        }
        *attribute = a;
        *length = n;
        *data = m_bytes.data() + m_pos;
        m_pos += n;
        return 0;
    }

private:
    int Tag(uint8_t code, uint8_t* flags) {
        if ((m_bytes[m_pos] & 0x1F) != code)
            return 1;
        *flags = m_bytes[m_pos++] & 0xE0;
        return 0;
    }
    int Fixed(uint8_t code, void* value, size_t width, uint8_t* flags) {
        if (Remaining() < 1 + width)
            return 3;
        uint8_t f = 0;
        if (Tag(code, &f) != 0)
            return 1;
        std::memcpy(value, &m_bytes[m_pos], width);
        m_pos += width;
        *flags = f;
        return 0;
    }
    // Tag, optional attribute word, then the length word.
    int Head(uint8_t code, uint8_t* flags, uint32_t* n, uint32_t* attribute) {
        size_t words = attribute != nullptr ? 2 : 1;
        if (Remaining() < 1 + 4 * words)
            return 3;
        uint8_t f = 0;
        if (Tag(code, &f) != 0)
            return 1;
        if (attribute != nullptr) {
            std::memcpy(attribute, &m_bytes[m_pos], 4);
            m_pos += 4;
        }
        std::memcpy(n, &m_bytes[m_pos], 4);
        m_pos += 4;
        *flags = f;
        return 0;
    }

    Bytes m_bytes;
    size_t m_pos = 0;
};

Bytes BufferOf(const TKdmDBIField& f) {
    return Bytes(f.Buffer(), f.Buffer() + f.BufferSize());
}

// Bookmark block as the server sends it: n key items, position at 16.
Bytes MakeBookmark(int64_t position, uint32_t keyItems = 0, uint8_t fill = 0) {
    Bytes b(24 + 12 * keyItems, fill);
    std::memcpy(b.data(), &keyItems, 4);
    std::memcpy(b.data() + 16, &position, 8);
    return b;
}

// ---- reading one value -------------------------------------------------------

struct ValueCase {
    const char* label;
    int32_t type;
    uint32_t declared;
    Bytes wire;
    Bytes buffer; // expected value buffer
    std::string blob = "";
};
void PrintTo(const ValueCase& c, std::ostream* os) {
    *os << c.label;
}

class ReadFieldValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ReadFieldValueTest, StoresFlagsAndValue) {
    const ValueCase& c = GetParam();
    TKdmDBIField field(c.type, c.declared, FieldBufferSize(c.type, c.declared));
    std::memset(field.Buffer(), 0xAA, field.BufferSize()); // no byte may survive by accident
    if (field.BlobBlock() != nullptr) {
        field.BlobBlock()->Resize(4);
        field.BlobBlock()->Write(0, "old!", 4);
    }
    Bytes wire = c.wire;
    wire.push_back(0x81); // a following value must stay unread
    wire.push_back(1);
    WireReader reader(wire);
    int status = 0;
    ReadFieldValue(reader, field, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(reader.Remaining(), 2u);
    if (c.type == kFieldBlob) {
        // Bytes 1..8 are the received words, 9..16 zero.
        Bytes expected = c.buffer;
        EXPECT_EQ(BufferOf(field), expected);
        const TVirtualBuffer* block = field.BlobBlock();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->Data()), block->Size()), c.blob);
    } else {
        EXPECT_EQ(BufferOf(field), c.buffer);
    }
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const ValueCase kValueCases[] = {
    {"Bool", kFieldBool, 0, {0x81, 0x05}, {0x80, 0x01}},
    {"BoolFalse", kFieldBool, 0, {0x81, 0x00}, {0x80, 0x00}},
    {"UInt8", kFieldUInt8, 0, {0x84, 0xC8}, {0x80, 0xC8}},
    {"Int16", kFieldInt16, 0, {0x87, 0xFF, 0xFF}, {0x80, 0xFF, 0xFF}},
    {"UInt16", kFieldUInt16, 0, {0x86, 0x34, 0x12}, {0x80, 0x34, 0x12}},
    {"Int32", kFieldInt32, 0, {0x89, 1, 0, 0, 0}, {0x80, 1, 0, 0, 0}},
    {"Int32NullKeepsBytes", kFieldInt32, 0, {0x09, 7, 0, 0, 0}, {0x00, 7, 0, 0, 0}},
    {"Int32FlagBits", kFieldInt32, 0, {0xE9, 2, 0, 0, 0}, {0xE0, 2, 0, 0, 0}},
    {"UInt32", kFieldUInt32, 0, {0x88, 0xFF, 0xFF, 0xFF, 0xFF}, {0x80, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"Int64", kFieldInt64, 0, {0x8B, 1, 2, 3, 4, 5, 6, 7, 8}, {0x80, 1, 2, 3, 4, 5, 6, 7, 8}},
    {"Float", kFieldFloat, 0, {0x8E, 0x00, 0x00, 0x80, 0x3F}, {0x80, 0x00, 0x00, 0x80, 0x3F}},
    {"Double",
     kFieldDouble,
     0,
     {0x8F, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F},
     {0x80, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
    {"DateTime",
     kFieldDateTime,
     0,
     {0x8C, 0xFC, 0xCE, 0x38, 0, 0xB0, 0x28, 0x0B, 0},
     {0x80, 0xFC, 0xCE, 0x38, 0, 0xB0, 0x28, 0x0B, 0}},
    {"String",
     kFieldString,
     8,
     {0x91, 3, 0, 0, 0, 'a', 'b', 'c', 0},
     {0x80, 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0}},
    {"StringCutToDeclared",
     kFieldString,
     4,
     {0x91, 6, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 0},
     {0x80, 0, 4, 'a', 'b', 'c', 'd', 0}},
    {"StringEmpty", kFieldString, 3, {0x91, 0, 0, 0, 0, 0}, {0x80, 0, 0, 0, 0, 0, 0}},
    {"StringNullHasLengthZero",
     kFieldString,
     4,
     {0x11, 2, 0, 0, 0, 'x', 'y', 0},
     {0x00, 0, 0, 'x', 'y', 0, 0, 0}},
    {"Blob",
     kFieldBlob,
     0,
     {0x93, 7, 0, 0, 0, 3, 0, 0, 0, 'x', 'y', 'z'},
     Cat({{0x80, 7, 0, 0, 0, 3, 0, 0, 0}, Bytes(8, 0)}),
     "xyz"},
    {"BlobEmpty",
     kFieldBlob,
     0,
     {0x93, 1, 0, 0, 0, 0, 0, 0, 0},
     Cat({{0x80, 1, 0, 0, 0, 0, 0, 0, 0}, Bytes(8, 0)}),
     ""},
    {"BlobNullEmptiesBlock",
     kFieldBlob,
     0,
     {0x13, 9, 0, 0, 0, 2, 0, 0, 0, 'p', 'q'},
     Cat({{0x00, 9, 0, 0, 0, 2, 0, 0, 0}, Bytes(8, 0)}),
     ""},
};

INSTANTIATE_TEST_SUITE_P(Types, ReadFieldValueTest, ::testing::ValuesIn(kValueCases),
                         [](const auto& info) { return std::string(info.param.label); });

struct FailCase {
    const char* label;
    int32_t type;
    Bytes wire;
    int status;
};
void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.label;
}

const FailCase kFailCases[] = {
    {"WrongWireType", kFieldInt32, {0x87, 1, 0, 0, 0}, 1},
    {"SignedForUnsigned", kFieldUInt32, {0x89, 1, 0, 0, 0}, 1},
    {"Truncated", kFieldInt64, {0x8B, 1, 2, 3, 4, 5, 6, 7}, 3},
    {"Empty", kFieldDouble, {}, 3},
    {"StringTruncated", kFieldString, {0x91, 9, 0, 0, 0, 'a'}, 3},
    {"StringForInt", kFieldInt32, {0x91, 0, 0, 0, 0, 0}, 1},
    {"BlobTruncated", kFieldBlob, {0x93, 1, 0, 0, 0, 9, 0, 0, 0, 'a'}, 3},
};

class ReadFieldFailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(ReadFieldFailureTest, ReportsStatusAndKeepsValue) {
    const FailCase& c = GetParam();
    TKdmDBIField field(c.type, 8, FieldBufferSize(c.type, 8));
    std::memset(field.Buffer(), 0x5A, field.BufferSize());
    if (c.type == kFieldBlob)
        std::memset(field.Buffer() + 9, 0, 8);
    Bytes before = BufferOf(field);
    WireReader reader(c.wire);
    int status = 0;
    ReadFieldValue(reader, field, &status);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(reader.Remaining(), c.wire.size()) << "a failed read consumed bytes";
    EXPECT_EQ(BufferOf(field), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadFieldFailureTest, ::testing::ValuesIn(kFailCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ReadFieldValue, FailedBlobEmptiesBlock) {
    TKdmDBIField field(kFieldBlob, 0, kBlobBufferSize);
    field.BlobBlock()->Resize(3);
    WireReader reader({0x89, 1, 0, 0, 0, 0, 0, 0, 0});
    int status = 0;
    ReadFieldValue(reader, field, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(field.BlobBlock()->Size(), 0u);
}

TEST(ReadFieldValue, SkippedOnceStatusIsSet) {
    TKdmDBIField field(kFieldInt32, 0, 5);
    WireReader reader({0x89, 1, 0, 0, 0});
    int status = 6;
    ReadFieldValue(reader, field, &status);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(reader.Remaining(), 5u);
    EXPECT_EQ(BufferOf(field), Bytes(5, 0));
}

TEST(ReadFieldValue, TypeWithoutWireTypeZeroesAndFails) {
    for (int32_t type : {int32_t{kFieldUnknown}, int32_t{kFieldUnused8}, int32_t{14}}) {
        TKdmDBIField field(type, 0, 6);
        std::memset(field.Buffer(), 0x77, 6);
        WireReader reader({0x89, 1, 0, 0, 0});
        int status = 0;
        ReadFieldValue(reader, field, &status);
        EXPECT_EQ(status, 1) << type;
        EXPECT_EQ(BufferOf(field), Bytes(6, 0)) << type;
        EXPECT_EQ(reader.Remaining(), 5u);
    }
}

// ---- rows and the row cache --------------------------------------------------

TEST(Row, NewAndClearedBookmarkIsEmptyWithPositionMinusTwo) {
    Bytes empty(kBookmarkSize, 0);
    const uint8_t position[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(empty.data() + 16, position, 8);
    TKdmDBIRow row;
    EXPECT_EQ(Bytes(row.Bookmark(), row.Bookmark() + kBookmarkSize), empty);
    EXPECT_EQ(row.Position(), -2);
    std::memset(row.Bookmark(), 0x33, kBookmarkSize);
    row.ClearRow();
    EXPECT_EQ(Bytes(row.Bookmark(), row.Bookmark() + kBookmarkSize), empty);
}

TEST(RowList, NeedsAtLeastOneRow) {
    EXPECT_THROW(TKdmDBIRowList(0, nullptr), EException);
    EXPECT_THROW(TKdmDBIRowList(-3, nullptr), EException);
}

// Columns ID (Int32), NAME (String 8), DATA (Blob) in a cache of 4 rows.
class RowCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        AddDef("ID", kFieldInt32, 0);
        AddDef("NAME", kFieldString, 8);
        AddDef("DATA", kFieldBlob, 0);
        cache.Rebuild();
    }
    void AddDef(const char* name, int32_t type, uint32_t declared) {
        auto def = std::make_unique<TDBIFieldDef>(name, "T", type, 0, declared, defs.Count());
        defs.Add(def.get());
        def.release();
    }
    // Bool true, bookmark, and the values when the position is not negative.
    static void Row(WireWriter& w, int64_t position, int32_t id, const std::string& name = "n",
                    const std::string& data = "d") {
        w.Bool(true);
        w.BytesValue(MakeBookmark(position));
        if (position < 0)
            return;
        w.Put<int32_t>(kWireInt32, id);
        w.String(name);
        w.Blob(0, data);
    }
    int Fill(WireWriter& w, bool forward, bool terminate = true) {
        if (terminate)
            w.Bool(false);
        WireReader reader(w.bytes);
        int status = cache.Fill(reader, forward);
        remaining = reader.Remaining();
        return status;
    }
    int32_t Id() const { return FieldAsInt(defs[0]); }
    std::string Name() const {
        char text[256];
        uint8_t length = 255;
        FieldAsString(defs[1], text, &length);
        return text;
    }
    int64_t Position(int32_t row) const { return cache[row]->Position(); }
    int32_t RowId(int32_t row) const {
        int32_t id;
        std::memcpy(&id, cache[row]->operator[](0)->Buffer() + 1, 4);
        return id;
    }
    static int64_t PositionOf(const uint8_t* bookmark) { return BookmarkPosition(bookmark); }

    TDBIFieldDefs defs;
    TKdmDBIRowList cache{4, &defs};
    size_t remaining = 0;
};

TEST_F(RowCacheTest, RebuildGivesEveryRowOneFieldPerDefinition) {
    EXPECT_EQ(cache.Count(), 4);
    for (TKdmDBIRow* row : cache) {
        ASSERT_EQ(row->Count(), 3);
        EXPECT_EQ((*row)[0]->Type(), kFieldInt32);
        EXPECT_EQ((*row)[1]->BufferSize(), 12u);
        EXPECT_NE((*row)[2]->BlobBlock(), nullptr);
        EXPECT_EQ(row->Position(), -2);
    }
    EXPECT_EQ(cache.WindowStart(), 0);
    EXPECT_EQ(cache.WindowEnd(), 0);
    EXPECT_EQ(cache.CurrentIndex(), 0);
    EXPECT_TRUE(cache.FillForward());
    EXPECT_EQ(defs[0]->bound, nullptr);
}

TEST_F(RowCacheTest, FillForwardSetsWindowAndBindsFirstRow) {
    WireWriter w;
    Row(w, 100, 1, "one", "blob1");
    Row(w, 101, 2, "two");
    Row(w, 102, 3, "three");
    EXPECT_EQ(Fill(w, true), 0);
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(cache.WindowStart(), 0);
    EXPECT_EQ(cache.WindowEnd(), 3);
    EXPECT_EQ(cache.CurrentIndex(), 0);
    EXPECT_EQ(Id(), 1);
    EXPECT_EQ(Name(), "one");
    TBlobDesc blob{};
    FieldAsBlob(defs[2], &blob);
    EXPECT_EQ(std::string(static_cast<const char*>(blob.data), blob.length), "blob1");
    EXPECT_EQ(Position(2), 102);
    EXPECT_EQ(RowId(2), 3);
}

TEST_F(RowCacheTest, FillStopsWhenAllRowsAreUsed) {
    WireWriter w;
    for (int i = 0; i < 5; ++i)
        Row(w, i, 10 + i);
    EXPECT_EQ(Fill(w, true), 0);
    EXPECT_EQ(cache.WindowEnd(), 4);
    // The fifth row stays in the reply, starting with its Bool.
    WireWriter fifth;
    Row(fifth, 4, 14);
    fifth.Bool(false);
    EXPECT_EQ(remaining, fifth.bytes.size());
}

TEST_F(RowCacheTest, FillBackwardFillsFromTheLastRow) {
    WireWriter w;
    Row(w, 50, 5);
    Row(w, 49, 4);
    EXPECT_EQ(Fill(w, false), 0);
    EXPECT_FALSE(cache.FillForward());
    EXPECT_EQ(cache.WindowStart(), 2);
    EXPECT_EQ(cache.WindowEnd(), 4);
    EXPECT_EQ(cache.CurrentIndex(), 3);
    EXPECT_EQ(Id(), 5);
    EXPECT_EQ(RowId(2), 4);
    EXPECT_EQ(Position(1), -2); // untouched slots
}

TEST_F(RowCacheTest, EmptyReplyLeavesEmptyWindow) {
    WireWriter w;
    EXPECT_EQ(Fill(w, false), 0);
    EXPECT_EQ(cache.WindowStart(), 4);
    EXPECT_EQ(cache.WindowEnd(), 4);
    EXPECT_EQ(cache.CurrentIndex(), 3);
    EXPECT_FALSE(cache.CurrentInWindow());
    uint8_t bookmark[kBookmarkSize];
    cache.CurrentBookmark(bookmark);
    EXPECT_EQ(PositionOf(bookmark), -2);
}

TEST_F(RowCacheTest, MoveWithinWindowAndBackAtBothEnds) {
    WireWriter w;
    Row(w, 100, 1);
    Row(w, 101, 2);
    Row(w, 102, 3);
    ASSERT_EQ(Fill(w, true), 0);
    uint8_t bookmark[kBookmarkSize];

    EXPECT_FALSE(cache.Move(false, bookmark)); // before the first row
    EXPECT_EQ(cache.CurrentIndex(), 0);
    EXPECT_EQ(PositionOf(bookmark), 100);
    EXPECT_TRUE(FieldIsNull(defs[0])); // unbound

    EXPECT_TRUE(cache.Move(true, bookmark));
    EXPECT_EQ(cache.CurrentIndex(), 1);
    EXPECT_EQ(Id(), 2);
    EXPECT_TRUE(cache.Move(true, bookmark));
    EXPECT_EQ(Id(), 3);

    std::memset(bookmark, 0, sizeof bookmark);
    EXPECT_FALSE(cache.Move(true, bookmark)); // past the window end
    EXPECT_EQ(cache.CurrentIndex(), 2);
    EXPECT_EQ(PositionOf(bookmark), 102);
    EXPECT_EQ(Bytes(bookmark, bookmark + kBookmarkSize),
              Bytes(cache[2]->Bookmark(), cache[2]->Bookmark() + kBookmarkSize));
    EXPECT_TRUE(FieldIsNull(defs[0]));

    EXPECT_TRUE(cache.Move(false, nullptr));
    EXPECT_EQ(Id(), 2);
}

TEST_F(RowCacheTest, MoveBackwardStopsAtWindowStart) {
    WireWriter w;
    Row(w, 50, 5);
    Row(w, 49, 4);
    ASSERT_EQ(Fill(w, false), 0);
    uint8_t bookmark[kBookmarkSize];
    EXPECT_TRUE(cache.Move(false, bookmark));
    EXPECT_EQ(cache.CurrentIndex(), 2);
    EXPECT_EQ(Id(), 4);
    EXPECT_FALSE(cache.Move(false, bookmark));
    EXPECT_EQ(cache.CurrentIndex(), 2);
    EXPECT_EQ(PositionOf(bookmark), 49);
}

TEST_F(RowCacheTest, MoveDoesNotEnterARowWithoutValues) {
    WireWriter w;
    Row(w, 7, 1);
    Row(w, -2, 0); // after the last record: no values follow
    ASSERT_EQ(Fill(w, true), 0);
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(cache.WindowEnd(), 2);
    uint8_t bookmark[kBookmarkSize];
    EXPECT_FALSE(cache.Move(true, bookmark));
    EXPECT_EQ(cache.CurrentIndex(), 0);
    EXPECT_EQ(PositionOf(bookmark), 7);
}

TEST_F(RowCacheTest, KeepCurrentInsideWindowDropsOtherRows) {
    WireWriter w;
    Row(w, 100, 1);
    Row(w, 101, 2);
    Row(w, 102, 3);
    ASSERT_EQ(Fill(w, true), 0);
    ASSERT_TRUE(cache.Move(true, nullptr));
    cache.KeepCurrent();
    EXPECT_EQ(cache.WindowStart(), 1);
    EXPECT_EQ(cache.WindowEnd(), 2);
    EXPECT_EQ(cache.CurrentIndex(), 1);
    EXPECT_EQ(Id(), 2); // still bound
    for (int32_t i : {0, 2}) {
        EXPECT_EQ(Position(i), -2) << i;
        EXPECT_FALSE((*cache[i])[0]->IsPresent()) << i;
        EXPECT_EQ((*cache[i])[2]->BlobBlock()->Size(), 0u) << i;
    }
    uint8_t bookmark[kBookmarkSize];
    cache.CurrentBookmark(bookmark);
    EXPECT_EQ(PositionOf(bookmark), 101);
}

TEST_F(RowCacheTest, KeepCurrentOutsideWindowClearsEverything) {
    WireWriter w;
    Row(w, 100, 1);
    Row(w, 101, 2);
    ASSERT_EQ(Fill(w, true), 0);
    WireWriter none;
    ASSERT_EQ(Fill(none, false), 0); // window [4, 4), current 3
    cache.KeepCurrent();
    EXPECT_EQ(cache.WindowStart(), 0);
    EXPECT_EQ(cache.WindowEnd(), 0);
    EXPECT_EQ(cache.CurrentIndex(), 0);
    EXPECT_TRUE(cache.FillForward());
    EXPECT_EQ(defs[0]->bound, nullptr);
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Position(i), -2);
        EXPECT_FALSE((*cache[i])[0]->IsPresent());
    }
}

TEST_F(RowCacheTest, WrongTypeStopsWithFirstStatusAndKeepsTheRest) {
    WireWriter first;
    Row(first, 10, 10, "a", "old0");
    Row(first, 11, 20, "b", "old1");
    ASSERT_EQ(Fill(first, true), 0);

    WireWriter w;
    Row(w, 12, 30, "c");
    w.Bool(true);
    w.BytesValue(MakeBookmark(13));
    w.Put<int32_t>(kWireInt32, 40);
    w.Put<int32_t>(kWireInt32, 99); // NAME expects a String
    w.Blob(0, "new");
    Row(w, 14, 50);
    EXPECT_EQ(Fill(w, true), 1);
    EXPECT_EQ(cache.WindowStart(), 0);
    EXPECT_EQ(cache.WindowEnd(), 1); // only the complete row
    EXPECT_EQ(Id(), 30);
    // The failed row: values before the failure are new, the rest as they were.
    TKdmDBIRow& failed = *cache[1];
    EXPECT_EQ(failed.Position(), 13);
    EXPECT_EQ(RowId(1), 40);
    EXPECT_EQ(failed[1]->Buffer()[2], 1);
    EXPECT_EQ(failed[1]->Buffer()[3], 'b');
    const TVirtualBuffer* block = failed[2]->BlobBlock();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->Data()), block->Size()), "old1");
    EXPECT_EQ(RowId(2), 0); // never reached
}

TEST_F(RowCacheTest, FillReportsTruncatedReply) {
    WireWriter w;
    Row(w, 1, 1);
    w.Bool(true);
    w.BytesValue(MakeBookmark(2));
    w.Put<int32_t>(kWireInt32, 2);
    w.bytes.resize(w.bytes.size() - 1);
    EXPECT_EQ(Fill(w, true, false), 3);
    EXPECT_EQ(cache.WindowEnd(), 1);
    WireWriter noBool;
    Row(noBool, 1, 1);
    EXPECT_EQ(Fill(noBool, true, false), 3); // the Bool that ends the list is missing
    EXPECT_EQ(cache.WindowEnd(), 1);
    WireWriter nullBool;
    nullBool.Put<uint8_t>(kWireBool, 1, 0x00);
    EXPECT_EQ(Fill(nullBool, true, false), 1);
    EXPECT_EQ(cache.WindowEnd(), 0);
}

TEST_F(RowCacheTest, ShortBookmarkClearsTheRestOfTheBlock) {
    WireWriter w;
    w.Bool(true);
    w.BytesValue(MakeBookmark(5, 20, 0xEE)); // a full 264-byte block
    w.Put<int32_t>(kWireInt32, 1);
    w.String("x");
    w.Blob(0, "");
    ASSERT_EQ(Fill(w, true), 0);
    EXPECT_EQ(cache[0]->Bookmark()[kBookmarkSize - 1], 0xEE);

    WireWriter shorter;
    Row(shorter, 6, 2);
    ASSERT_EQ(Fill(shorter, true), 0);
    EXPECT_EQ(Position(0), 6);
    for (uint32_t i = 24; i < kBookmarkSize; ++i)
        ASSERT_EQ(cache[0]->Bookmark()[i], 0) << i;
}

TEST_F(RowCacheTest, OversizedBookmarkFails) {
    WireWriter w;
    w.Bool(true);
    w.BytesValue(Bytes(kBookmarkSize + 1, 0));
    EXPECT_EQ(Fill(w, true), 3);
    EXPECT_EQ(cache.WindowEnd(), 0);
    EXPECT_EQ(Position(0), -2);
}

TEST_F(RowCacheTest, ClearAllResetsAndClearsRows) {
    WireWriter w;
    Row(w, 100, 1);
    ASSERT_EQ(Fill(w, false), 0);
    cache.ClearAll();
    EXPECT_EQ(cache.WindowEnd(), 0);
    EXPECT_EQ(cache.CurrentIndex(), 0);
    EXPECT_TRUE(cache.FillForward());
    EXPECT_EQ(defs[0]->bound, nullptr);
    EXPECT_EQ(Position(3), -2);
    EXPECT_FALSE((*cache[3])[0]->IsPresent());
}

TEST_F(RowCacheTest, BindOutsideTheRowIsACollectionErrorAndBindsNothing) {
    TKdmDBIRow shortRow;
    TDBIFieldDefs one;
    auto def = std::make_unique<TDBIFieldDef>("ID", "T", kFieldInt32, 0, 0, 0);
    one.Add(def.get());
    def.release();
    shortRow.BuildFields(one);
    ASSERT_EQ(shortRow.Count(), 1);
    try {
        shortRow.Bind(defs); // NAME and DATA lie beyond the one field
        ADD_FAILURE() << "no error";
    } catch (const CListException& e) {
        EXPECT_STREQ(e.Message(), "Collection error; index out of range!");
    }
    EXPECT_EQ(defs[0]->bound, nullptr);
}

} // namespace
} // namespace kdm
