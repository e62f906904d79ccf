#include "frame/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace kdm {
namespace {

using platform::ConfigStore;
using platform::MakeDword;
using platform::MakeQword;
using platform::MakeString;
using platform::RegValue;

constexpr char kKey[] = "SOFTWARE\\Halvorsken\\KDMII\\KdmDBI";
constexpr char kFullKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorsken\\KDMII\\KdmDBI";
constexpr int32_t kDef = -99;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

// Each test gets a store file of its own behind ConfigStore::Default().
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kdm_reg_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/registry.reg";
        ::setenv("KDM_REGISTRY_FILE", path_.c_str(), 1);
        ConfigStore::ResetDefaultForTesting();
        ASSERT_EQ(ConfigStore::Default().Path(), path_);
    }
    void TearDown() override {
        ConfigStore::ResetDefaultForTesting();
        ::unsetenv("KDM_REGISTRY_FILE");
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    static void Store(const char* name, const RegValue& value) {
        ASSERT_TRUE(ConfigStore::Default().Write(kFullKey, name, value));
    }
    std::string dir_;
    std::string path_;
};

RegValue Binary(std::vector<uint8_t> data) {
    return {platform::kRegBinary, std::move(data)};
}

struct IntegerCase {
    const char* label;
    RegValue stored;
    int32_t expected;
    bool read;
};

class RegReadIntegerCases : public RegistryTest,
                            public ::testing::WithParamInterface<IntegerCase> {};

TEST_P(RegReadIntegerCases, StoredFormDecides) {
    const IntegerCase& c = GetParam();
    ::setenv("KDM_TEST_NUMBER", " 17", 1);
    ::unsetenv("KDM_TEST_UNSET");
    Store("Value", c.stored);
    bool wasRead = !c.read;
    EXPECT_EQ(RegReadInteger(kKey, "Value", kDef, &wasRead), c.expected);
    EXPECT_EQ(wasRead, c.read);
    EXPECT_EQ(RegReadInteger(kKey, "value", kDef), c.expected);
    ::unsetenv("KDM_TEST_NUMBER");
}

IntegerCase Text(const char* label, const std::string& text, int32_t expected) {
    return {label, MakeString(text), expected, expected != kDef};
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegReadIntegerCases,
    ::testing::Values(
        Text("BlankThenNumber", " 42", 42), Text("TrailingLetter", "42x", kDef),
        Text("TabThenNegative", "\t-7", -7), Text("Plus", "+5", 5),
        Text("ControlCharsSkipped",
             "\x01\x1f \x20"
             "9",
             9),
        Text("TrailingBlank", "42 ", kDef), Text("Empty", "", kDef), Text("SignOnly", "-", kDef),
        Text("Blanks", "   ", kDef), Text("Hex", "0x10", kDef),
        Text("Max", "2147483647", INT32_MAX), Text("Min", "-2147483648", INT32_MIN),
        Text("AboveMax", "2147483648", kDef), Text("BelowMin", "-2147483649", kDef),
        Text("Huge", "99999999999999999999", kDef), Text("DoubleSign", "--1", kDef),
        Text("LeadingZeros", "0007", 7),
        // 256 characters are read, more are not.
        Text("Longest", std::string(254, ' ') + "42", 42),
        Text("TooLong", std::string(255, ' ') + "42", kDef),
        IntegerCase{"UnterminatedText", {platform::kRegSz, {'4', '2'}}, 42, true},
        IntegerCase{"TextEndsAtZero", {platform::kRegSz, {'4', 0, '2', 0}}, 4, true},
        IntegerCase{"ExpandedVariable", MakeString("%KDM_TEST_NUMBER%", platform::kRegExpandSz), 17,
                    true},
        IntegerCase{"UnknownVariableKept", MakeString("1%KDM_TEST_UNSET%", platform::kRegExpandSz),
                    kDef, false},
        IntegerCase{"NotExpandedInPlainText", MakeString("%KDM_TEST_NUMBER%"), kDef, false},
        IntegerCase{"ExpandedToLongest",
                    MakeString(std::string(253, ' ') + "%KDM_TEST_NUMBER%", platform::kRegExpandSz),
                    17, true},
        IntegerCase{"ExpandedTooLong",
                    MakeString(std::string(254, ' ') + "%KDM_TEST_NUMBER%", platform::kRegExpandSz),
                    kDef, false},
        IntegerCase{"Binary4", Binary({0x2a, 0, 0, 0}), 42, true},
        IntegerCase{"Binary4Negative", Binary({0xff, 0xff, 0xff, 0xff}), -1, true},
        IntegerCase{"Binary3", Binary({1, 2, 3}), kDef, false},
        IntegerCase{"Binary5", Binary({1, 2, 3, 4, 5}), kDef, false},
        IntegerCase{"Dword", MakeDword(123456), 123456, true},
        IntegerCase{"DwordHighBit", MakeDword(0xfffffffe), -2, true},
        IntegerCase{"DwordShort", {platform::kRegDword, {1, 2}}, kDef, false},
        IntegerCase{"Qword2Pow31", MakeQword(0x80000000ull), kDef, false},
        IntegerCase{"QwordMax32", MakeQword(0x7fffffffull), INT32_MAX, true},
        IntegerCase{"QwordMinus5", MakeQword(static_cast<uint64_t>(-5)), -5, true},
        IntegerCase{"QwordMin32", MakeQword(static_cast<uint64_t>(int64_t{INT32_MIN})), INT32_MIN,
                    true},
        IntegerCase{"QwordBelowMin32", MakeQword(static_cast<uint64_t>(int64_t{INT32_MIN} - 1)),
                    kDef, false},
        IntegerCase{"MultiSz", {platform::kRegMultiSz, {'4', 0, 0}}, kDef, false},
        IntegerCase{"NoneType", {platform::kRegNone, {0x2a, 0, 0, 0}}, kDef, false}),
    [](const ::testing::TestParamInfo<IntegerCase>& info) { return info.param.label; });

TEST_F(RegistryTest, MissingValueOrKeyGivesDefault) {
    bool wasRead = true;
    EXPECT_EQ(RegReadInteger(kKey, "Missing", 5, &wasRead), 5);
    EXPECT_FALSE(wasRead);
    Store("Present", MakeDword(1));
    wasRead = true;
    EXPECT_EQ(RegReadInteger(kKey, "Missing", 6, &wasRead), 6);
    EXPECT_FALSE(wasRead);
    wasRead = true;
    EXPECT_EQ(RegReadInteger("SOFTWARE\\Nowhere", "Present", 7, &wasRead), 7);
    EXPECT_FALSE(wasRead);
    EXPECT_EQ(RegReadInteger(nullptr, "Present", 8), 8);
    EXPECT_EQ(RegReadInteger("software\\halvorsken\\kdmii\\kdmdbi\\", "PRESENT", 9), 1);
}

TEST_F(RegistryTest, ReadBoolIsNonZero) {
    Store("Zero", MakeDword(0));
    Store("Two", MakeDword(2));
    Store("Word", MakeString("yes"));
    EXPECT_FALSE(RegReadBool(kKey, "Zero", true));
    EXPECT_TRUE(RegReadBool(kKey, "Two", false));
    EXPECT_TRUE(RegReadBool(kKey, "Word", true));
    EXPECT_FALSE(RegReadBool(kKey, "Word", false));
    EXPECT_TRUE(RegReadBool(kKey, "Missing", true));
}

TEST_F(RegistryTest, ReadOrCreateCreatesOnceThenReads) {
    const char* key = "Software\\Halvorsken\\KDMII\\Global\\Performance\\Socket";
    EXPECT_EQ(RegReadOrCreate(key, "TCPBufSend", 65536), 65536);
    std::string once = ReadAll(path_);
    EXPECT_EQ(Count(once, "\"TCPBufSend\"=dword:00010000"), 1u) << once;
    // The stored value wins over a different default, and nothing is rewritten.
    EXPECT_EQ(RegReadOrCreate(key, "TCPBufSend", 1), 65536);
    EXPECT_EQ(ReadAll(path_), once);
    bool wasRead = false;
    EXPECT_EQ(RegReadInteger(key, "tcpbufsend", 0, &wasRead), 65536);
    EXPECT_TRUE(wasRead);
    // A negative default is stored as its 32-bit pattern.
    EXPECT_EQ(RegReadOrCreate(key, "TCPBufRecv", -1), -1);
    EXPECT_EQ(RegReadOrCreate(key, "TCPBufRecv", 0), -1);
}

TEST_F(RegistryTest, ReadOrCreateLeavesValueOfOtherTypeAlone) {
    Store("Timeout", MakeString("5"));
    EXPECT_EQ(RegReadOrCreate(kKey, "Timeout", 120000), 120000);
    EXPECT_EQ(ConfigStore::Default().Read(kFullKey, "Timeout"), MakeString("5"));
}

TEST_F(RegistryTest, ReadOrCreateWithoutWriteRightGivesDefault) {
    // A directory in place of the store: nothing can be read or written.
    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
    EXPECT_EQ(RegReadOrCreate(kKey, "X", 3), 3);
    EXPECT_FALSE(RegWriteDWord(kKey, "X", 1));
}

TEST_F(RegistryTest, WriteDWordCreatesKeyAndReadsBack) {
    EXPECT_TRUE(RegWriteDWord("SOFTWARE\\Halvorsken\\KDMII\\KdmDBI\\Backup",
                              "FastSearchDependendRecord", 0));
    bool wasRead = false;
    EXPECT_EQ(RegReadInteger("SOFTWARE\\Halvorsken\\KDMII\\KdmDBI\\Backup",
                             "FastSearchDependendRecord", 1, &wasRead),
              0);
    EXPECT_TRUE(wasRead);
    EXPECT_TRUE(RegWriteDWord(kKey, "DebugOutput", 0xffffffffu));
    EXPECT_EQ(RegReadInteger(kKey, "DebugOutput", 0), -1);
    EXPECT_FALSE(RegWriteDWord(nullptr, "X", 1));
}

TEST_F(RegistryTest, RawWriteAndReadRoundTrip) {
    const uint8_t data[] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(RegRawWrite(kKey, "Raw", data, sizeof data, platform::kRegBinary));

    uint8_t buffer[16] = {};
    uint32_t size = sizeof buffer;
    uint32_t type = 0;
    ASSERT_TRUE(RegRawRead(kKey, "Raw", buffer, &size, &type));
    EXPECT_EQ(size, sizeof data);
    EXPECT_EQ(type, platform::kRegBinary);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), std::vector<uint8_t>(data, data + 6));

    // Too small a buffer fails and says what is needed; a null buffer asks.
    uint8_t small[4] = {9, 9, 9, 9};
    size = sizeof small;
    EXPECT_FALSE(RegRawRead(kKey, "Raw", small, &size, nullptr));
    EXPECT_EQ(size, sizeof data);
    EXPECT_EQ(small[0], 9);
    size = 0;
    EXPECT_TRUE(RegRawRead(kKey, "Raw", nullptr, &size, &type));
    EXPECT_EQ(size, sizeof data);

    EXPECT_FALSE(RegRawRead(kKey, "Missing", buffer, &size, &type));
    EXPECT_FALSE(RegRawRead(kKey, "Raw", buffer, nullptr, &type));
    EXPECT_FALSE(RegRawWrite(kKey, "Null", nullptr, 4, platform::kRegBinary));
    EXPECT_TRUE(RegRawWrite(kKey, "Empty", nullptr, 0, platform::kRegBinary));
    size = sizeof buffer;
    EXPECT_TRUE(RegRawRead(kKey, "Empty", buffer, &size, &type));
    EXPECT_EQ(size, 0u);

    // A raw DWORD is an integer to the reader.
    const uint8_t dword[] = {0x10, 0x27, 0, 0};
    ASSERT_TRUE(RegRawWrite(kKey, "Timeout", dword, 4, platform::kRegDword));
    EXPECT_EQ(RegReadInteger(kKey, "Timeout", 0), 10000);
}

TEST_F(RegistryTest, KeyHoldersOpenOnlyExistingKeysUnlessCreating) {
    EXPECT_FALSE(TRegKey(kKey).IsOpen());
    EXPECT_FALSE(CSecureRegistryHandle(kKey, false).IsOpen());
    EXPECT_FALSE(CSecureRegistryHandle(kKey, false).Set("X", MakeDword(1)));
    EXPECT_FALSE(ConfigStore::Default().KeyExists(kFullKey));
    {
        CSecureRegistryHandle created(kKey, true);
        EXPECT_TRUE(created.IsOpen());
        EXPECT_TRUE(created.Set("X", MakeDword(1)));
    }
    TRegKey opened(kKey);
    ASSERT_TRUE(opened.IsOpen());
    EXPECT_EQ(opened.Query("x"), MakeDword(1));
    EXPECT_FALSE(opened.Query("y").has_value());
    // Parents of a key exist with it.
    EXPECT_TRUE(TRegKey("SOFTWARE\\Halvorsken").IsOpen());
}

} // namespace
} // namespace kdm
