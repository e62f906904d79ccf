#include "frame/fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "frame/exceptions.h"

namespace kdm {
namespace {

// ---- value helpers: write value buffers the way a reply read would -----------

template <class T> void SetFixed(TKdmDBIField& f, T value) {
    f.Buffer()[0] = 0x80;
    std::memcpy(f.Buffer() + 1, &value, sizeof value);
}

void SetString(TKdmDBIField& f, const char* text) {
    std::memset(f.Buffer(), 0, f.BufferSize());
    f.Buffer()[0] = 0x80;
    f.Buffer()[2] = static_cast<uint8_t>(std::strlen(text));
    std::memcpy(f.Buffer() + 3, text, std::strlen(text));
}

void SetBlob(TKdmDBIField& f, uint32_t attribute, const std::string& bytes) {
    uint8_t* b = f.Buffer();
    std::memset(b, 0, f.BufferSize());
    b[0] = 0x80;
    uint32_t length = static_cast<uint32_t>(bytes.size());
    std::memcpy(b + 1, &attribute, 4);
    std::memcpy(b + 5, &length, 4);
    f.BlobBlock()->Resize(bytes.size());
    f.BlobBlock()->Write(0, bytes.data(), bytes.size());
}

// One column bound to its own value.
struct Column {
    explicit Column(int32_t type, uint32_t declared = 10)
        : def("Field", "Table", type, 0, declared, 0), field(def) {
        def.bound = &field;
    }
    TDBIFieldDef def;
    TKdmDBIField field;
};

// Every accessor's result as text, or "!" after the exact mismatch error.
struct Method {
    const char* nameInMessage;
    std::string (*call)(const TDBIFieldDef*);
};

const Method kMethods[] = {
    {"AsBool", [](const TDBIFieldDef* d) { return std::string(FieldAsBool(d) ? "T" : "F"); }},
    {"AsInt", [](const TDBIFieldDef* d) { return std::to_string(FieldAsInt(d)); }},
    {"AsDWord", [](const TDBIFieldDef* d) { return std::to_string(FieldAsDWord(d)); }},
    {"AsInt64", [](const TDBIFieldDef* d) { return std::to_string(FieldAsInt64(d)); }},
    {"AsFloat", [](const TDBIFieldDef* d) { return Format("%.17g", FieldAsFloat(d)); }},
    {"AsDateTime",
     [](const TDBIFieldDef* d) {
         TNativeDateTime n = FieldAsNativeDateTime(d);
         return Format("%u/%u", n.ms, n.day);
     }},
    {"AsDateTime",
     [](const TDBIFieldDef* d) {
         TGenericDateTime g = FieldAsGenericDateTime(d);
         return Format("%u-%u-%u w%u %u:%u:%u.%u", g.year, g.month, g.day, g.dayOfWeek, g.hour,
                       g.minute, g.second, g.millisecond);
     }},
    {"String",
     [](const TDBIFieldDef* d) {
         char text[256];
         uint8_t length = 255;
         FieldAsString(d, text, &length);
         EXPECT_EQ(length, std::strlen(text));
         return std::string(text);
     }},
    {"AsBlob",
     [](const TDBIFieldDef* d) {
         TBlobDesc desc{1, 1, &desc};
         FieldAsBlob(d, &desc);
         std::string data = desc.data == nullptr
                                ? "null"
                                : std::string(static_cast<const char*>(desc.data), desc.length);
         return Format("%u:%u:%s", desc.attribute, desc.length, data.c_str());
     }},
};
constexpr size_t kMethodCount = sizeof kMethods / sizeof kMethods[0];

std::string Call(const Method& m, const TDBIFieldDef* def, const char* typeName) {
    try {
        return m.call(def);
    } catch (const EException& e) {
        EXPECT_EQ(e.Number1(), 2);
        EXPECT_EQ(e.Number2(), 270);
        EXPECT_EQ(std::string(e.Message()),
                  std::string("Field type does not match access method! (Field type=") + typeName +
                      " AccessMethod=" + m.nameInMessage + ")");
        return "!";
    }
}

// ---- the access matrix -------------------------------------------------------

struct MatrixRow {
    const char* label;
    int32_t type;
    const char* typeName;
    void (*set)(TKdmDBIField&);
    // AsBool, AsInt, AsDWord, AsInt64, AsFloat, AsNative, AsGeneric, AsString, AsBlob
    const char* expected[kMethodCount];
};
void PrintTo(const MatrixRow& r, std::ostream* os) {
    *os << r.label;
}

const char* const kNoDate = "!";
#define NUMERIC_ONLY(b, i, dw, i64, f, s)                                                          \
    { b, i, dw, i64, f, kNoDate, kNoDate, s, "!" }

const MatrixRow kMatrix[] = {
    {"BoolTrue", kFieldBool, "Bool", [](TKdmDBIField& f) { SetFixed<uint8_t>(f, 1); },
     NUMERIC_ONLY("T", "1", "1", "1", "1", "TRUE")},
    {"BoolStoredTwo", kFieldBool, "Bool", [](TKdmDBIField& f) { SetFixed<uint8_t>(f, 2); },
     NUMERIC_ONLY("T", "1", "1", "1", "1", "TRUE")},
    {"BoolFalse", kFieldBool, "Bool", [](TKdmDBIField& f) { SetFixed<uint8_t>(f, 0); },
     NUMERIC_ONLY("F", "0", "0", "0", "0", "FALSE")},
    {"UInt8", kFieldUInt8, "UInt8", [](TKdmDBIField& f) { SetFixed<uint8_t>(f, 200); },
     NUMERIC_ONLY("T", "200", "200", "200", "200", "200")},
    {"UInt8Zero", kFieldUInt8, "UInt8", [](TKdmDBIField& f) { SetFixed<uint8_t>(f, 0); },
     NUMERIC_ONLY("F", "0", "0", "0", "0", "0")},
    {"Int16MinusOne", kFieldInt16, "Int16", [](TKdmDBIField& f) { SetFixed<int16_t>(f, -1); },
     NUMERIC_ONLY("T", "-1", "4294967295", "-1", "-1", "-1")},
    {"Int32", kFieldInt32, "Int32", [](TKdmDBIField& f) { SetFixed<int32_t>(f, -5); },
     NUMERIC_ONLY("T", "-5", "4294967291", "-5", "-5", "-5")},
    {"Int64High", kFieldInt64, "Int64",
     [](TKdmDBIField& f) { SetFixed<int64_t>(f, 0x100000005LL); },
     NUMERIC_ONLY("T", "5", "5", "4294967301", "4294967301", "4294967301")},
    {"Int64Min", kFieldInt64, "Int64",
     [](TKdmDBIField& f) { SetFixed<int64_t>(f, std::numeric_limits<int64_t>::min()); },
     NUMERIC_ONLY("T", "0", "0", "-9223372036854775808", "-9.2233720368547758e+18",
                  "-9223372036854775808")},
    {"UInt16", kFieldUInt16, "UInt16", [](TKdmDBIField& f) { SetFixed<uint16_t>(f, 65535); },
     NUMERIC_ONLY("T", "65535", "65535", "65535", "65535", "65535")},
    {"UInt32Max", kFieldUInt32, "UInt32",
     [](TKdmDBIField& f) { SetFixed<uint32_t>(f, 0xFFFFFFFFu); },
     NUMERIC_ONLY("T", "-1", "4294967295", "4294967295", "4294967295", "4294967295")},
    {"FloatTenth", kFieldFloat, "Float", [](TKdmDBIField& f) { SetFixed<float>(f, 0.1f); },
     NUMERIC_ONLY("T", "0", "0", "0", "0.10000000149011612", "0.1")},
    {"FloatThird", kFieldFloat, "Float", [](TKdmDBIField& f) { SetFixed<float>(f, 1.0f / 3); },
     NUMERIC_ONLY("T", "0", "0", "0", "0.3333333432674408", "0.3333333")},
    {"FloatNegative", kFieldFloat, "Float", [](TKdmDBIField& f) { SetFixed<float>(f, -2.5f); },
     NUMERIC_ONLY("T", "-2", "4294967294", "-2", "-2.5", "-2.5")},
    {"FloatBeyondInt32", kFieldFloat, "Float", [](TKdmDBIField& f) { SetFixed<float>(f, 3e9f); },
     NUMERIC_ONLY("T", "-1294967296", "3000000000", "3000000000", "3000000000", "3e+09")},
    {"FloatNegativeZero", kFieldFloat, "Float", [](TKdmDBIField& f) { SetFixed<float>(f, -0.0f); },
     NUMERIC_ONLY("F", "0", "0", "0", "-0", "-0")},
    {"DoublePositive", kFieldDouble, "Double", [](TKdmDBIField& f) { SetFixed<double>(f, 2.9); },
     NUMERIC_ONLY("T", "2", "2", "2", "2.8999999999999999", "2.9")},
    {"DoubleNegative", kFieldDouble, "Double", [](TKdmDBIField& f) { SetFixed<double>(f, -2.9); },
     NUMERIC_ONLY("T", "-2", "4294967294", "-2", "-2.8999999999999999", "-2.9")},
    {"DoubleThird", kFieldDouble, "Double", [](TKdmDBIField& f) { SetFixed<double>(f, 1.0 / 3); },
     NUMERIC_ONLY("T", "0", "0", "0", "0.33333333333333331", "0.333333333333333")},
    {"DoubleZero", kFieldDouble, "Double", [](TKdmDBIField& f) { SetFixed<double>(f, 0.0); },
     NUMERIC_ONLY("F", "0", "0", "0", "0", "0")},
    // Integer results of values without an int64 form: NaN 0, else saturated.
    {"DoubleNaN", kFieldDouble, "Double",
     [](TKdmDBIField& f) { SetFixed<double>(f, std::nan("")); },
     NUMERIC_ONLY("F", "0", "0", "0", "nan", "nan")},
    {"DoubleHuge", kFieldDouble, "Double", [](TKdmDBIField& f) { SetFixed<double>(f, 1e30); },
     NUMERIC_ONLY("T", "-1", "4294967295", "9223372036854775807", "1e+30", "1e+30")},
    {"DoubleMinusInfinity", kFieldDouble, "Double",
     [](TKdmDBIField& f) { SetFixed<double>(f, -HUGE_VAL); },
     NUMERIC_ONLY("T", "0", "0", "-9223372036854775808", "-inf", "-inf")},
    {"DoubleTwoPow63", kFieldDouble, "Double",
     [](TKdmDBIField& f) { SetFixed<double>(f, 9223372036854775808.0); },
     NUMERIC_ONLY("T", "-1", "4294967295", "9223372036854775807", "9.2233720368547758e+18",
                  "9.22337203685478e+18")},
    {"String",
     kFieldString,
     "String",
     [](TKdmDBIField& f) { SetString(f, "abcdef"); },
     {"!", "!", "!", "!", "!", "!", "!", "abcdef", "!"}},
    {"DateTime",
     kFieldDateTime,
     "DateTime",
     [](TKdmDBIField& f) {
         SetFixed(f, TNativeDateTime{3723004, 731312});
     },
     {"!", "!", "!", "!", "!", "3723004/731312", "2003-4-7 w1 1:2:3.4", "2003/04/07 01:02:03,004",
      "!"}},
    {"TimeOnly",
     kFieldDateTime,
     "DateTime",
     [](TKdmDBIField& f) {
         SetFixed(f, TNativeDateTime{3723004, 0});
     },
     {"!", "!", "!", "!", "!", "3723004/0", "0-0-0 w0 1:2:3.4", "01:02:03,004", "!"}},
    {"Blob",
     kFieldBlob,
     "Blob",
     [](TKdmDBIField& f) { SetBlob(f, 7, "xyz"); },
     {"!", "!", "!", "!", "!", "!", "!", "!", "7:3:xyz"}},
};

class AccessMatrixTest : public ::testing::TestWithParam<MatrixRow> {};

TEST_P(AccessMatrixTest, PresentValue) {
    const MatrixRow& row = GetParam();
    Column c(row.type);
    row.set(c.field);
    EXPECT_FALSE(FieldIsNull(&c.def));
    for (size_t m = 0; m < kMethodCount; ++m)
        EXPECT_EQ(Call(kMethods[m], &c.def, row.typeName), row.expected[m])
            << "method " << m << " (" << kMethods[m].nameInMessage << ")";
}

// NULL is decided by bit 7 alone: the value bytes and bits 5-6 do not matter.
TEST_P(AccessMatrixTest, NullGivesZeroResults) {
    const MatrixRow& row = GetParam();
    const char* zero[kMethodCount] = {"F", "0",       "0", "0", "0", "0/0", "0-0-0 w0 0:0:0.0",
                                      "",  "0:0:null"};
    for (uint8_t flags : {0x00, 0x20, 0x40, 0x60}) {
        Column c(row.type);
        row.set(c.field);
        c.field.Buffer()[0] = flags;
        EXPECT_TRUE(FieldIsNull(&c.def));
        for (size_t m = 0; m < kMethodCount; ++m)
            EXPECT_EQ(Call(kMethods[m], &c.def, row.typeName), zero[m])
                << "method " << m << " flags " << int(flags);
    }
}

TEST_P(AccessMatrixTest, UnboundGivesZeroResults) {
    const MatrixRow& row = GetParam();
    Column c(row.type);
    row.set(c.field);
    c.def.bound = nullptr;
    EXPECT_TRUE(FieldIsNull(&c.def));
    const char* zero[kMethodCount] = {"F", "0",       "0", "0", "0", "0/0", "0-0-0 w0 0:0:0.0",
                                      "",  "0:0:null"};
    for (size_t m = 0; m < kMethodCount; ++m)
        EXPECT_EQ(Call(kMethods[m], &c.def, row.typeName), zero[m]) << "method " << m;
}

TEST_P(AccessMatrixTest, FlagBitsFiveAndSixDoNotChangeAPresentValue) {
    const MatrixRow& row = GetParam();
    Column c(row.type);
    row.set(c.field);
    c.field.Buffer()[0] = 0xE0;
    for (size_t m = 0; m < kMethodCount; ++m)
        EXPECT_EQ(Call(kMethods[m], &c.def, row.typeName), row.expected[m]) << "method " << m;
}

INSTANTIATE_TEST_SUITE_P(Types, AccessMatrixTest, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(FieldAccess, MismatchLeavesOutputsUntouched) {
    Column blob(kFieldBlob);
    SetBlob(blob.field, 1, "ab");
    char text[8] = "keep";
    uint8_t length = 7;
    EXPECT_THROW(FieldAsString(&blob.def, text, &length), EException);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(length, 7);

    Column number(kFieldInt32);
    SetFixed<int32_t>(number.field, 4);
    TBlobDesc desc{9, 9, &desc};
    EXPECT_THROW(FieldAsBlob(&number.def, &desc), EException);
    EXPECT_EQ(desc.attribute, 9u);
    EXPECT_EQ(desc.length, 9u);
}

// ---- AsString capacity -------------------------------------------------------

struct CutCase {
    const char* label;
    int32_t type;
    void (*set)(TKdmDBIField&);
    uint8_t capacity;
    const char* text;
};

const CutCase kCuts[] = {
    {"StringCutToThree", kFieldString, [](TKdmDBIField& f) { SetString(f, "abcdef"); }, 3, "abc"},
    {"StringExact", kFieldString, [](TKdmDBIField& f) { SetString(f, "abcdef"); }, 6, "abcdef"},
    {"StringRoomy", kFieldString, [](TKdmDBIField& f) { SetString(f, "abcdef"); }, 200, "abcdef"},
    {"StringNoRoom", kFieldString, [](TKdmDBIField& f) { SetString(f, "abcdef"); }, 0, ""},
    {"StringEmpty", kFieldString, [](TKdmDBIField& f) { SetString(f, ""); }, 5, ""},
    {"IntegerCut", kFieldUInt32, [](TKdmDBIField& f) { SetFixed<uint32_t>(f, 0xFFFFFFFFu); }, 4,
     "4294"},
    {"BoolCut", kFieldBool, [](TKdmDBIField& f) { SetFixed<uint8_t>(f, 0); }, 2, "FA"},
    {"DateTimeCut", kFieldDateTime,
     [](TKdmDBIField& f) {
         SetFixed(f, TNativeDateTime{3723004, 731312});
     },
     8, "2003/04/"},
    {"DoubleCut", kFieldDouble, [](TKdmDBIField& f) { SetFixed<double>(f, 1.0 / 3); }, 5, "0.333"},
};

class AsStringCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(AsStringCutTest, CopiesAtMostCapacityAndTerminates) {
    const CutCase& c = GetParam();
    Column col(c.type);
    c.set(col.field);
    std::vector<char> buffer(static_cast<size_t>(c.capacity) + 2, 'x');
    uint8_t length = c.capacity;
    FieldAsString(&col.def, buffer.data(), &length);
    EXPECT_STREQ(buffer.data(), c.text);
    EXPECT_EQ(length, std::strlen(c.text));
    EXPECT_EQ(buffer.back(), 'x') << "wrote beyond capacity + 1";
}

INSTANTIATE_TEST_SUITE_P(Cases, AsStringCutTest, ::testing::ValuesIn(kCuts),
                         [](const auto& info) { return std::string(info.param.label); });

// A stored length beyond the field's room (a damaged buffer) must not read
// past the value buffer.
TEST(FieldAccess, StoredStringLengthIsLimitedToTheBuffer) {
    Column c(kFieldString, 4);
    SetString(c.field, "abcd");
    c.field.Buffer()[2] = 250;
    char text[256];
    uint8_t length = 255;
    FieldAsString(&c.def, text, &length);
    EXPECT_EQ(length, 4);
    EXPECT_STREQ(text, "abcd");
}

TEST(FieldAccess, BlobLengthIsLimitedToTheBlock) {
    Column c(kFieldBlob);
    SetBlob(c.field, 3, "abc");
    uint32_t claimed = 1000;
    std::memcpy(c.field.Buffer() + 5, &claimed, 4);
    TBlobDesc desc{};
    FieldAsBlob(&c.def, &desc);
    EXPECT_EQ(desc.length, 3u);
    EXPECT_EQ(desc.data, c.field.BlobBlock()->Data());
}

TEST(FieldAccess, NullArgumentsAreErrors) {
    Column c(kFieldString);
    SetString(c.field, "abc");
    uint8_t length = 3;
    char text[4];
    EXPECT_THROW(FieldAsString(&c.def, nullptr, &length), EException);
    EXPECT_THROW(FieldAsString(&c.def, text, nullptr), EException);
    EXPECT_THROW(FieldAsBlob(&c.def, nullptr), EException);
    EXPECT_THROW(FieldName(nullptr), EInvalidHandle);
    EXPECT_THROW(FieldType(nullptr), EInvalidHandle);
    EXPECT_THROW(FieldIsNull(nullptr), EInvalidHandle);
    EXPECT_THROW(FieldAsInt(nullptr), EInvalidHandle);
    EXPECT_THROW(FieldAsString(nullptr, text, &length), EInvalidHandle);
}

// ---- definitions -------------------------------------------------------------

TEST(FieldDef, HandleIsTheUpperCaseName) {
    const std::string longName(40, 'q');
    TDBIFieldDef def(longName.c_str(), "events", kFieldString, 5, 20, 3);
    EXPECT_EQ(FieldName(&def), reinterpret_cast<const char*>(&def));
    EXPECT_EQ(std::string(FieldName(&def)), std::string(32, 'Q'));
    EXPECT_STREQ(def.tableName, "EVENTS");
    EXPECT_EQ(FieldType(&def), kFieldString);
    EXPECT_EQ(def.bufferSize, 24u);
    EXPECT_EQ(def.declaredSize, 20u);
    EXPECT_EQ(def.attribute, 5u);
    EXPECT_EQ(def.index, 3);
    EXPECT_EQ(def.self, &def);
    EXPECT_EQ(def.bound, nullptr);

    TDBIFieldDef unnamed(nullptr, nullptr, kFieldInt32, 0, 0, 0);
    EXPECT_STREQ(unnamed.name, "");
    EXPECT_STREQ(unnamed.tableName, "");
}

TEST(FieldDef, TypeWithoutBufferIsRejected) {
    for (int32_t type : {0, 8, 14, -1, 1000}) {
        try {
            TDBIFieldDef def("F", "T", type, 0, 0, 0);
            ADD_FAILURE() << "type " << type << " accepted";
        } catch (const EException& e) {
            EXPECT_STREQ(e.Message(), "Internal error: Invalid field type.");
            EXPECT_EQ(e.Number1(), 0);
            EXPECT_EQ(e.Number2(), 0);
        }
    }
}

class FieldLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        Add("EventId", "Events");
        Add("EVENTID", "PICTURES");
        Add("name", "events");
        Add(std::string(32, 'A').c_str(), "T");
    }
    void Add(const char* name, const char* table) {
        auto def = std::make_unique<TDBIFieldDef>(name, table, kFieldInt32, 0, 0, defs.Count());
        defs.Add(def.get());
        def.release();
    }
    TDBIFieldDefs defs;
};

TEST_F(FieldLookupTest, FindsByFieldOrTableDotField) {
    struct Case {
        std::string name;
        int32_t column;
    };
    const Case cases[] = {
        {"events.eventid", 0},
        {"EVENTS.EVENTID", 0},
        {"pictures.EventId", 1},
        {"EVENTID", 0}, // first of that name, whatever its table
        {"eventid", 0},
        {"Name", 2},
        {"pictures.name", -1},
        {"nosuch", -1},
        {"", -1},
        {".eventid", -1},
        {"events.", -1},
        {"events.eventid.x", -1},  // the field part keeps later dots
        {std::string(40, 'a'), 3}, // cut to 32 before comparing
        {std::string(32, 'a'), 3},
        {std::string(31, 'a'), -1},
        {"t." + std::string(32, 'a'), -1}, // the whole name is cut first
        {"t." + std::string(30, 'a'), -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(defs.FindColumn(c.name.c_str()), c.column) << c.name;
    EXPECT_EQ(defs.FindColumn(nullptr), TDBIFieldDefs::kNotFound);
}

// ---- field values and type table ---------------------------------------------

TEST(FieldTypes, NamesAndBufferSizes) {
    struct Case {
        int32_t type;
        const char* name;
        uint32_t size; // 0: raises
    };
    const Case cases[] = {
        {0, "Unknown", 0},         {1, "Bool", 2},   {2, "UInt8", 2},    {3, "Int16", 3},
        {4, "Int32", 5},           {5, "Int64", 9},  {6, "UInt16", 3},   {7, "UInt32", 5},
        {8, "Unknown", 0},         {9, "Float", 5},  {10, "Double", 9},  {11, "String", 14},
        {12, "DateTime", 9},       {13, "Blob", 17}, {14, "Unknown", 0}, {-1, "Unknown", 0},
        {INT32_MAX, "Unknown", 0},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(FieldTypeName(c.type), c.name) << c.type;
        if (c.size == 0) {
            EXPECT_THROW(FieldBufferSize(c.type, 10), EException) << c.type;
        } else {
            EXPECT_EQ(FieldBufferSize(c.type, 10), c.size) << c.type;
        }
    }
    EXPECT_EQ(FieldBufferSize(kFieldString, 255), 259u);
    EXPECT_EQ(FieldBufferSize(kFieldString, 1), 5u);
    // The length byte caps a String at 255 characters whatever is declared.
    EXPECT_EQ(FieldBufferSize(kFieldString, 300), 259u);
    EXPECT_EQ(TKdmDBIField(kFieldString, 300, 259).StringCapacity(), 255u);
}

TEST(FieldValue, BuiltZeroFilledWithBlobBlockOnlyForBlob) {
    for (int32_t type = kFieldBool; type <= kFieldBlob; ++type) {
        if (type == kFieldUnused8)
            continue;
        TDBIFieldDef def("F", "T", type, 0, 12, 0);
        TKdmDBIField field(def);
        EXPECT_EQ(field.Type(), type);
        EXPECT_EQ(field.BufferSize(), def.bufferSize);
        EXPECT_EQ(field.DeclaredSize(), 12u);
        EXPECT_EQ(field.BlobBlock() != nullptr, type == kFieldBlob) << type;
        for (uint32_t i = 0; i < field.BufferSize(); ++i)
            EXPECT_EQ(field.Buffer()[i], 0) << type << " byte " << i;
        EXPECT_FALSE(field.IsPresent());
    }
}

TEST(FieldValue, TooSmallBufferIsRejected) {
    EXPECT_THROW(TKdmDBIField(kFieldInt64, 0, 8), EException);
    EXPECT_THROW(TKdmDBIField(kFieldString, 20, 23), EException);
    EXPECT_THROW(TKdmDBIField(kFieldBlob, 0, 16), EException);
    EXPECT_NO_THROW(TKdmDBIField(kFieldInt64, 0, 9));
    EXPECT_NO_THROW(TKdmDBIField(kFieldUnused8, 0, 0));
}

TEST(FieldValue, ClearMakesNullAndEmptiesBlob) {
    Column c(kFieldBlob);
    SetBlob(c.field, 5, "hello");
    c.field.Clear();
    for (uint32_t i = 0; i < c.field.BufferSize(); ++i)
        EXPECT_EQ(c.field.Buffer()[i], 0);
    EXPECT_EQ(c.field.BlobBlock()->Size(), 0u);
    EXPECT_TRUE(FieldIsNull(&c.def));
}

// ---- growable block ----------------------------------------------------------

void ExpectGrowableError(const std::function<void()>& action, const char* text) {
    try {
        action();
        ADD_FAILURE() << "no error, expected " << text;
    } catch (const EGrowableBuffer& e) {
        EXPECT_STREQ(e.Message(), text);
    }
}

constexpr const char* kCannotGrow = "TVirtualBuffer: Can't grow any more.";
constexpr const char* kOutOfRange = "TVirtualBuffer: Index out of range.";

TEST(VirtualBuffer, GrowsInWholeStepsUpToTheCeiling) {
    TVirtualBuffer b(1024, 1 << 20, 4096);
    EXPECT_EQ(b.Size(), 1024u);
    EXPECT_EQ(b.Capacity(), 1024u);
    b.Write(1020, "abcd", 4);
    b.Resize(1025);
    EXPECT_EQ(b.Capacity(), 1024u + 4096u);
    EXPECT_EQ(std::memcmp(b.At(1020, 4), "abcd", 4), 0);
    EXPECT_EQ(*b.At(1024, 1), 0);
    b.Resize(1024 + 3 * 4096);
    EXPECT_EQ(b.Capacity(), 1024u + 3 * 4096u);
    b.Resize(1 << 20); // the last step is cut at the ceiling
    EXPECT_EQ(b.Capacity(), size_t{1} << 20);
    EXPECT_EQ(std::memcmp(b.At(1020, 4), "abcd", 4), 0);
    ExpectGrowableError([&] { b.Resize((1 << 20) + 1); }, kCannotGrow);
    EXPECT_EQ(b.Size(), size_t{1} << 20);
}

TEST(VirtualBuffer, ShrinkThenGrowShowsZeros) {
    TVirtualBuffer b(16, 64, 16);
    b.Write(8, "xyzw", 4);
    b.Resize(9);
    b.Resize(16);
    EXPECT_EQ(*b.At(8, 1), 'x');
    for (size_t i = 9; i < 16; ++i)
        EXPECT_EQ(*b.At(i, 1), 0) << i;
}

TEST(VirtualBuffer, AccessOutsideTheSizeIsAnError) {
    TVirtualBuffer b(10, 100, 10);
    char out[4];
    ExpectGrowableError([&] { b.At(10, 1); }, kOutOfRange);
    ExpectGrowableError([&] { b.At(7, 4); }, kOutOfRange);
    ExpectGrowableError([&] { b.At(SIZE_MAX, 2); }, kOutOfRange);
    ExpectGrowableError([&] { b.At(2, SIZE_MAX); }, kOutOfRange);
    ExpectGrowableError([&] { b.Write(8, "abc", 3); }, kOutOfRange);
    ExpectGrowableError([&] { b.Read(9, out, 2); }, kOutOfRange);
    EXPECT_NO_THROW(b.At(10, 0));
    EXPECT_NO_THROW(b.Read(6, out, 4));
}

TEST(VirtualBuffer, LimitsOfConstructionAndGrowth) {
    ExpectGrowableError([] { TVirtualBuffer b(101, 100, 10); }, kCannotGrow);
    TVirtualBuffer fixed(8, 100, 0); // step 0: no growth
    ExpectGrowableError([&] { fixed.Resize(9); }, kCannotGrow);
    EXPECT_EQ(fixed.Size(), 8u);
    TVirtualBuffer empty(0, kBlobCeiling, kBlobGrowthStep);
    EXPECT_EQ(empty.Size(), 0u);
    EXPECT_EQ(empty.Data(), nullptr);
    empty.Resize(1);
    EXPECT_EQ(empty.Capacity(), kBlobGrowthStep);
    empty.Clear();
    EXPECT_EQ(empty.Size(), 0u);
    EXPECT_EQ(empty.Capacity(), 0u);
    ExpectGrowableError([&] { empty.Resize(size_t{UINT32_MAX} + 1); }, kCannotGrow);
}

} // namespace
} // namespace kdm
