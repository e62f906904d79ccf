#include "platform/config_store.h"

#include "platform/diag.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kdm::platform {
namespace {

constexpr char kDbi[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorsken\\KDMII\\KdmDBI";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAllTo(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> LinesOf(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        size_t end = nl == std::string::npos ? content.size() : nl + 1;
        lines.push_back(content.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines)
        out += l;
    return out;
}

RegValue Bytes(uint32_t type, std::vector<uint8_t> data) {
    return {type, std::move(data)};
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kdm_store_XXXXXX";
        const char* made = mkdtemp(tmpl);
        dir_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        if (!dir_.empty())
            std::system(
                ("chmod -R u+rwx '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
    }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.Dir().empty());
        path_ = tmp_.Dir() + "/registry.reg";
    }
    std::string path_;
    TempDir tmp_;
};

// A file written by hand: every value kind, escapes, comments, odd spacing,
// CRLF line ends, a deleted key and a deleted value.
const char* const kHandWritten[] = {
    "REGEDIT4\r\n",
    "\r\n",
    "; maintained by hand\r\n",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorsken\\KDMII\\KdmDBI]\r\n",
    "\"DebugOutput\"=dword:0000002a\r\n",
    "  \"Text\" =  \"C:\\\\data \\\"quoted\\\"\"  \r\n",
    "@=\"the default\"\r\n",
    "\"Bin\"=hex:01,02,FF\r\n",
    "\"Big\"=hex(b):00,00,00,80,00,00,00,00\r\n",
    "\"Exp\"=hex(2):25,48,4f,4d,45,25,00\r\n",
    "\"Multi\"=hex(7):61,00,62,00,00\r\n",
    "\"Wrapped\"=hex:01,02,\\\r\n",
    "  03,04\r\n",
    "\"Odd\"=hex(5):aa\r\n",
    "\t\"Short\"=dword:7\r\n",
    "\"Gone\"=-\r\n",
    "\r\n",
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n",
    "\"Ghost\"=dword:00000001\r\n",
    "\r\n",
    "; another program's key\r\n",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n",
    "\"Keep\"=\"me\"\r\n",
};

TEST_F(ConfigStoreTest, HandWrittenFileReadsEveryKind) {
    std::vector<std::string> lines(std::begin(kHandWritten), std::end(kHandWritten));
    WriteAllTo(path_, Join(lines));
    ConfigStore store(path_);

    struct Case {
        const char* name;
        RegValue expected;
    } cases[] = {
        {"DebugOutput", MakeDword(42)},
        {"debugoutput", MakeDword(42)},
        {"Text", MakeString("C:\\data \"quoted\"")},
        {"", MakeString("the default")},
        {"Bin", Bytes(kRegBinary, {1, 2, 0xff})},
        {"Big", MakeQword(0x80000000u)},
        {"Exp", MakeString("%HOME%", kRegExpandSz)},
        {"Multi", Bytes(kRegMultiSz, {'a', 0, 'b', 0, 0})},
        {"Wrapped", Bytes(kRegBinary, {1, 2, 3, 4})},
        {"Odd", Bytes(5, {0xaa})},
        {"Short", MakeDword(7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<RegValue> v = store.Read(kDbi, c.name);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->type, c.expected.type);
        EXPECT_EQ(v->data, c.expected.data);
    }
    EXPECT_EQ(store.Read("hkey_local_machine\\software\\HALVORSKEN\\kdmii\\kdmdbi", "Bin"),
              Bytes(kRegBinary, {1, 2, 0xff}));
    EXPECT_EQ(store.Read("HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", "Keep"), MakeString("me"));
    EXPECT_FALSE(store.Read(kDbi, "Gone").has_value());
    EXPECT_FALSE(store.Read("HKEY_LOCAL_MACHINE\\SOFTWARE\\Old", "Ghost").has_value());
    EXPECT_FALSE(store.Read(kDbi, "Missing").has_value());
    EXPECT_TRUE(store.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE"));
    EXPECT_TRUE(store.KeyExists("HKEY_LOCAL_MACHINE\\software\\halvorsken\\kdmii\\kdmdbi"));
    EXPECT_FALSE(store.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Old"));
    EXPECT_FALSE(store.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorsken\\KDMII\\KdmDB"));
}

TEST_F(ConfigStoreTest, WritesTouchOnlyTheirOwnLines) {
    std::vector<std::string> lines(std::begin(kHandWritten), std::end(kHandWritten));
    WriteAllTo(path_, Join(lines));
    ConfigStore store(path_);

    // Replacing a value rewrites its line only, in the file's line ends and
    // with the name as the file spells it.
    ASSERT_TRUE(store.Write(kDbi, "TEXT", MakeString("new")));
    lines[5] = "\"Text\"=\"new\"\r\n";
    EXPECT_EQ(ReadAll(path_), Join(lines));

    // A wrapped value is replaced as a whole.
    ASSERT_TRUE(store.Write(kDbi, "Wrapped", MakeDword(1)));
    lines[11] = "\"Wrapped\"=dword:00000001\r\n";
    lines.erase(lines.begin() + 12);
    EXPECT_EQ(ReadAll(path_), Join(lines));

    // A new value goes after the last value line of its key.
    ASSERT_TRUE(store.Write(kDbi, "Added", MakeDword(5)));
    lines.insert(lines.begin() + 15, "\"Added\"=dword:00000005\r\n");
    EXPECT_EQ(ReadAll(path_), Join(lines));

    // A new key is appended after a blank line.
    ASSERT_TRUE(store.Write("HKEY_LOCAL_MACHINE\\SOFTWARE\\New", "X", MakeString("y")));
    lines.push_back("\r\n");
    lines.push_back("[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n");
    lines.push_back("\"X\"=\"y\"\r\n");
    EXPECT_EQ(ReadAll(path_), Join(lines));

    ConfigStore fresh(path_);
    EXPECT_EQ(fresh.Read(kDbi, "text"), MakeString("new"));
    EXPECT_EQ(fresh.Read(kDbi, "Added"), MakeDword(5));
    EXPECT_EQ(fresh.Read(kDbi, "Big"), MakeQword(0x80000000u));
}

TEST_F(ConfigStoreTest, NewStoreGetsHeaderAndMissingNewlineIsAdded) {
    ConfigStore store(path_);
    ASSERT_TRUE(store.Write(kDbi, "A", MakeDword(1)));
    EXPECT_EQ(ReadAll(path_), std::string("REGEDIT4\n\n[") + kDbi + "]\n\"A\"=dword:00000001\n");

    WriteAllTo(path_, "REGEDIT4\n\n[K]\n\"A\"=dword:1");
    ASSERT_TRUE(store.Write("k", "B", MakeDword(2)));
    EXPECT_EQ(ReadAll(path_), "REGEDIT4\n\n[K]\n\"A\"=dword:1\n\"B\"=dword:00000002\n");
    ASSERT_TRUE(store.CreateKey("K2"));
    ASSERT_TRUE(store.CreateKey("K2"));
    EXPECT_EQ(ReadAll(path_), "REGEDIT4\n\n[K]\n\"A\"=dword:1\n\"B\"=dword:00000002\n\n[K2]\n");
}

struct RoundTripCase {
    const char* label;
    std::string name;
    RegValue value;
};

class ValueRoundTrip : public ConfigStoreTest,
                       public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(ValueRoundTrip, WrittenValueReadsBackFromFreshStore) {
    const RoundTripCase& c = GetParam();
    {
        ConfigStore writer(path_);
        ASSERT_TRUE(writer.Write(kDbi, "Before", MakeDword(1)));
        ASSERT_TRUE(writer.Write(kDbi, c.name, c.value));
        ASSERT_TRUE(writer.Write(kDbi, "After", MakeDword(2)));
    }
    ConfigStore reader(path_);
    EXPECT_EQ(reader.Read(kDbi, c.name), c.value);
    EXPECT_EQ(reader.Read(kDbi, "Before"), MakeDword(1));
    EXPECT_EQ(reader.Read(kDbi, "After"), MakeDword(2));
}

std::vector<uint8_t> Sequence(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(i * 7);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ValueRoundTrip,
    ::testing::Values(RoundTripCase{"Escapes", "V", MakeString("a\\b\"c\\\\\"")},
                      RoundTripCase{"EightBit", "V", MakeString("\xe4\xf6\xfc \x01 end")},
                      RoundTripCase{"LineFeedInString", "V", MakeString("two\nlines\r")},
                      RoundTripCase{"EmptyString", "V", MakeString("")},
                      RoundTripCase{"UnterminatedString", "V", Bytes(kRegSz, {'4', '2'})},
                      RoundTripCase{"Dword", "V", MakeDword(0xdeadbeef)},
                      RoundTripCase{"ShortDword", "V", Bytes(kRegDword, {1, 2})},
                      RoundTripCase{"Qword", "V", MakeQword(0x0123456789abcdefull)},
                      RoundTripCase{"EmptyBinary", "V", Bytes(kRegBinary, {})},
                      RoundTripCase{"LongBinary", "V", Bytes(kRegBinary, Sequence(1000))},
                      RoundTripCase{"Expand", "V", MakeString("%PATH%;x", kRegExpandSz)},
                      RoundTripCase{"MultiSz", "V", Bytes(kRegMultiSz, {'x', 0, 'y', 'z', 0, 0})},
                      RoundTripCase{"OddType", "V", Bytes(0x12345678, {9, 8, 7})},
                      RoundTripCase{"NoneType", "V", Bytes(kRegNone, {})},
                      RoundTripCase{"DefaultValue", "", MakeString("dflt")},
                      RoundTripCase{"NameWithQuotes", "a \"b\" \\c\\", MakeDword(3)},
                      RoundTripCase{"NameAt", "@", MakeDword(4)},
                      RoundTripCase{"NameWithEquals", "x=\"y\"", MakeString("=")}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.label; });

TEST_F(ConfigStoreTest, RefusesWhatCannotBeWritten) {
    WriteAllTo(path_, "REGEDIT4\n\n[K]\n\"A\"=dword:1\n");
    const std::string before = ReadAll(path_);
    ConfigStore store(path_);
    struct Case {
        std::string key;
        std::string name;
        size_t bytes;
    } cases[] = {
        {"", "n", 1},
        {"-K", "n", 1},
        {"K\\", "n", 1},
        {"\\K", "n", 1},
        {"K\\\\S", "n", 1},
        {"K\nS", "n", 1},
        {std::string("K\0S", 3), "n", 1},
        {" K", "n", 1},
        {"K", "line\nfeed", 1},
        {"K", std::string("n\0", 2), 1},
        {"K", "n", ConfigStore::kMaxValueBytes + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + "/" + c.name);
        RegValue v{kRegBinary, std::vector<uint8_t>(c.bytes, 1)};
        EXPECT_FALSE(store.Write(c.key, c.name, v));
        EXPECT_FALSE(store.WriteIfAbsent(c.key, c.name, v));
    }
    EXPECT_FALSE(store.CreateKey("-K"));
    EXPECT_EQ(ReadAll(path_), before);
}

TEST_F(ConfigStoreTest, WriteIfAbsentKeepsExistingValue) {
    ConfigStore store(path_);
    ASSERT_TRUE(store.Write(kDbi, "V", MakeString("user's")));
    EXPECT_TRUE(store.WriteIfAbsent(kDbi, "v", MakeDword(1)));
    EXPECT_EQ(store.Read(kDbi, "V"), MakeString("user's"));
    EXPECT_TRUE(store.WriteIfAbsent(kDbi, "W", MakeDword(2)));
    EXPECT_EQ(store.Read(kDbi, "W"), MakeDword(2));
}

TEST_F(ConfigStoreTest, SeesChangesOfOtherWriters) {
    ConfigStore a(path_);
    ConfigStore b(path_);
    ASSERT_TRUE(a.Write(kDbi, "V", MakeDword(1)));
    EXPECT_EQ(b.Read(kDbi, "V"), MakeDword(1));
    ASSERT_TRUE(b.Write(kDbi, "V", MakeDword(2)));
    EXPECT_EQ(a.Read(kDbi, "V"), MakeDword(2));
    // An edit in place of the same size, right after the last read.
    std::string content = ReadAll(path_);
    size_t at = content.find("dword:00000002");
    ASSERT_NE(at, std::string::npos);
    content.replace(at, 14, "dword:00000003");
    WriteAllTo(path_, content);
    EXPECT_EQ(a.Read(kDbi, "V"), MakeDword(3));
    ::unlink(path_.c_str());
    EXPECT_FALSE(a.Read(kDbi, "V").has_value());
    EXPECT_FALSE(a.KeyExists(kDbi));
}

TEST_F(ConfigStoreTest, WriteThroughSymlinkKeepsTheLink) {
    std::string real = tmp_.Dir() + "/real.reg";
    WriteAllTo(real, "REGEDIT4\n");
    ASSERT_EQ(::symlink(real.c_str(), path_.c_str()), 0);
    ConfigStore store(path_);
    ASSERT_TRUE(store.Write("K", "A", MakeDword(1)));
    struct stat st {};
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadAll(real), "REGEDIT4\n\n[K]\n\"A\"=dword:00000001\n");
}

// Two processes create 200 distinct defaults each, interleaved, plus one
// that both try to create.
TEST_F(ConfigStoreTest, ConcurrentProcessesLoseNoDefaults) {
    constexpr int kPerProcess = 200;
    pid_t pids[2];
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    for (int p = 0; p < 2; ++p) {
        pids[p] = ::fork();
        ASSERT_GE(pids[p], 0);
        if (pids[p] == 0) {
            ::close(go[1]);
            char c;
            (void)!::read(go[0], &c, 1); // start together
            ConfigStore store(path_);
            bool ok = true;
            for (int i = 0; i < kPerProcess; ++i) {
                std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
                ok = store.WriteIfAbsent(kDbi, name, MakeDword(static_cast<uint32_t>(i))) && ok;
                ok = store.WriteIfAbsent(kDbi, "Both", MakeDword(static_cast<uint32_t>(p))) && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
    }
    ::close(go[0]);
    ::close(go[1]);
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ConfigStore store(path_);
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < kPerProcess; ++i)
            EXPECT_EQ(store.Read(kDbi, "P" + std::to_string(p) + "_" + std::to_string(i)),
                      MakeDword(static_cast<uint32_t>(i)))
                << p << "/" << i;
    std::optional<RegValue> both = store.Read(kDbi, "Both");
    ASSERT_TRUE(both.has_value());
    EXPECT_TRUE(*both == MakeDword(0) || *both == MakeDword(1));
    const std::string content = ReadAll(path_);
    size_t count = 0;
    for (size_t at = content.find("\"Both\""); at != std::string::npos;
         at = content.find("\"Both\"", at + 1))
        ++count;
    EXPECT_EQ(count, 1u);
}

// Threads of one process, each through its own store object on the same file.
TEST_F(ConfigStoreTest, ConcurrentThreadsLoseNoValues) {
    ConfigStore shared(path_);
    ConfigStore other(path_);
    auto work = [&](ConfigStore& store, int t) {
        for (int i = 0; i < 50; ++i)
            store.Write(kDbi, "T" + std::to_string(t) + "_" + std::to_string(i), MakeDword(i));
    };
    std::thread t0(work, std::ref(shared), 0);
    std::thread t1(work, std::ref(shared), 1);
    std::thread t2(work, std::ref(other), 2);
    t0.join();
    t1.join();
    t2.join();
    ConfigStore reader(path_);
    for (int t = 0; t < 3; ++t)
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(reader.Read(kDbi, "T" + std::to_string(t) + "_" + std::to_string(i)),
                      MakeDword(i));
}

// Diagnostic lines go to a file of the test's own.
class DiagCapture {
public:
    explicit DiagCapture(std::string path) : path_(std::move(path)) {
        WriteAllTo(path_, "");
        ::setenv("KDM_DEBUG_OUTPUT", path_.c_str(), 1);
        diag::SetEnabled(true);
        diag::ReopenDestination();
    }
    ~DiagCapture() {
        diag::SetEnabled(false);
        ::unsetenv("KDM_DEBUG_OUTPUT");
        diag::ReopenDestination();
    }
    std::vector<std::string> ErrorLines() const {
        std::vector<std::string> out;
        for (const std::string& l : LinesOf(ReadAll(path_)))
            if (l.rfind("### ERROR: ", 0) == 0)
                out.push_back(l);
        return out;
    }

private:
    std::string path_;
};

struct BadFileCase {
    const char* label;
    std::string content;
    size_t badLine; // 1-based, the first line reported
};

class BadFile : public ConfigStoreTest, public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(BadFile, ReportedOnceReadableKeysCountBadLinesKept) {
    const BadFileCase& c = GetParam();
    DiagCapture capture(tmp_.Dir() + "/diag.txt");
    WriteAllTo(path_, c.content);
    ConfigStore store(path_);

    EXPECT_EQ(store.Read("HKEY_LOCAL_MACHINE\\Good", "A"), MakeDword(1));
    EXPECT_TRUE(store.KeyExists("HKEY_LOCAL_MACHINE\\Good"));
    EXPECT_EQ(store.Read("HKEY_LOCAL_MACHINE\\Good", "A"), MakeDword(1));
    std::vector<std::string> errors = capture.ErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(path_), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("line " + std::to_string(c.badLine) + ":"), std::string::npos)
        << errors[0];

    // The new value is the only change; the unparsed bytes stay as they were.
    ASSERT_TRUE(store.Write("HKEY_LOCAL_MACHINE\\Good", "B", MakeDword(2)));
    std::string after = ReadAll(path_);
    size_t at = after.find("\"B\"=dword:00000002\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(after.substr(0, at) + after.substr(at + 19), c.content);
    EXPECT_EQ(store.Read("HKEY_LOCAL_MACHINE\\Good", "B"), MakeDword(2));
    EXPECT_EQ(capture.ErrorLines().size(), 1u);

    // Another store meeting the same file stays silent; a file changed by
    // hand is new content and is reported again.
    ConfigStore second(path_);
    EXPECT_TRUE(second.KeyExists("HKEY_LOCAL_MACHINE\\Good"));
    EXPECT_EQ(capture.ErrorLines().size(), 1u);
    WriteAllTo(path_, after + "garbage\n");
    EXPECT_EQ(store.Read("HKEY_LOCAL_MACHINE\\Good", "B"), MakeDword(2));
    EXPECT_EQ(capture.ErrorLines().size(), 2u);
}

const std::string kGood = "[HKEY_LOCAL_MACHINE\\Good]\n\"A\"=dword:00000001\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, BadFile,
    ::testing::Values(
        BadFileCase{"MissingHeader", kGood, 1},
        BadFileCase{"WrongHeader", "Windows Registry Editor Version 5.00\n\n" + kGood, 1},
        BadFileCase{"BadHex", "REGEDIT4\n\n" + kGood + "\"X\"=hex:01,0g\n", 5},
        BadFileCase{"HexTooWide", "REGEDIT4\n\n" + kGood + "\"X\"=hex:123\n", 5},
        BadFileCase{"BadDword", "REGEDIT4\n\n" + kGood + "\"X\"=dword:123456789\n", 5},
        BadFileCase{"BadType", "REGEDIT4\n\n" + kGood + "\"X\"=hex(zz):01\n", 5},
        BadFileCase{"UnknownEscape", "REGEDIT4\n\n" + kGood + "\"X\"=\"C:\\temp\"\n", 5},
        BadFileCase{"Unterminated", "REGEDIT4\n\n" + kGood + "\"X\"=\"open\n", 5},
        BadFileCase{"TrailingText", "REGEDIT4\n\n" + kGood + "\"X\"=dword:1 two\n", 5},
        BadFileCase{"NoEquals", "REGEDIT4\n\n" + kGood + "\"X\" dword:1\n", 5},
        BadFileCase{"NulBytes", "REGEDIT4\n\n" + kGood + std::string("\"X\"=\"a\0b\"\n", 10), 5},
        BadFileCase{"Garbage",
                    "REGEDIT4\n\n" + kGood + std::string("\x89PNG\x01\x02\xff\xfe\0\n", 10), 5},
        BadFileCase{"ValueOutsideKey", "REGEDIT4\n\"X\"=dword:1\n\n" + kGood, 2},
        BadFileCase{"BadKeyHeader", "REGEDIT4\n\n[Unclosed\n\"X\"=dword:1\n" + kGood, 3},
        BadFileCase{"EnormousLine",
                    "REGEDIT4\n\n" + kGood + "\"X\"=\"" + std::string(5u << 20, 'x') + "\"\n", 5},
        // The header after a dangling continuation is not swallowed by it.
        BadFileCase{"DanglingContinuation", "REGEDIT4\n\n[Other]\n\"X\"=hex:01,\\\n" + kGood, 4},
        BadFileCase{"ContinuationAtEnd", "REGEDIT4\n\n" + kGood + "\"X\"=hex:01,\\\n", 5}),
    [](const ::testing::TestParamInfo<BadFileCase>& info) { return info.param.label; });

TEST_F(ConfigStoreTest, OversizedFileIsLeftAlone) {
    DiagCapture capture(tmp_.Dir() + "/diag.txt");
    std::string content = "REGEDIT4\n\n" + kGood + std::string(65u << 20, ';') + "\n";
    WriteAllTo(path_, content);
    ConfigStore store(path_);
    EXPECT_FALSE(store.Read("HKEY_LOCAL_MACHINE\\Good", "A").has_value());
    EXPECT_FALSE(store.Write("HKEY_LOCAL_MACHINE\\Good", "B", MakeDword(2)));
    EXPECT_EQ(capture.ErrorLines().size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), content.size());
}

// Runs fn without root's right to ignore file modes: in a child that drops
// to an unprivileged user. Returns fn's complaint, empty when all is well.
std::string WithoutPrivileges(const std::function<std::string()>& fn) {
    if (::geteuid() != 0)
        return fn();
    int fds[2];
    if (::pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = ::fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        ::close(fds[0]);
        struct passwd* pw = ::getpwnam("nobody");
        uid_t uid = pw != nullptr ? pw->pw_uid : 65534;
        gid_t gid = pw != nullptr ? pw->pw_gid : 65534;
        std::string complaint = ::setgid(gid) == 0 && ::setuid(uid) == 0 ? fn() : "setuid failed";
        (void)!::write(fds[1], complaint.data(), complaint.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        out += " (child did not exit)";
    return out;
}

TEST_F(ConfigStoreTest, UnwritableStoreRefusesWritesAndStillReads) {
    struct Case {
        const char* label;
        mode_t dirMode;
        mode_t fileMode;
    } cases[] = {
        {"read-only directory", 0555, 0644},
        {"read-only file", 0777, 0444},
    };
    const std::string content = "REGEDIT4\n\n" + kGood;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ::chmod(tmp_.Dir().c_str(), 0777);
        ::unlink(path_.c_str());
        WriteAllTo(path_, content);
        ASSERT_EQ(::chmod(path_.c_str(), c.fileMode), 0);
        ASSERT_EQ(::chmod(tmp_.Dir().c_str(), c.dirMode), 0);
        std::string complaint = WithoutPrivileges([&]() -> std::string {
            ConfigStore store(path_);
            if (store.Read("HKEY_LOCAL_MACHINE\\Good", "A") != MakeDword(1))
                return "read failed";
            if (store.Write("HKEY_LOCAL_MACHINE\\Good", "B", MakeDword(2)))
                return "Write succeeded";
            if (store.WriteIfAbsent("HKEY_LOCAL_MACHINE\\Good", "B", MakeDword(2)))
                return "WriteIfAbsent succeeded";
            if (store.CreateKey("HKEY_LOCAL_MACHINE\\New"))
                return "CreateKey succeeded";
            if (store.Read("HKEY_LOCAL_MACHINE\\Good", "B").has_value())
                return "refused value reads back";
            if (!store.WriteIfAbsent("HKEY_LOCAL_MACHINE\\Good", "A", MakeDword(9)))
                return "present value not reported as present";
            return "";
        });
        EXPECT_EQ(complaint, "");
        ::chmod(tmp_.Dir().c_str(), 0777);
        EXPECT_EQ(ReadAll(path_), content);
    }
}

TEST_F(ConfigStoreTest, DefaultPathFollowsTheEnvironment) {
    struct Saved {
        const char* name;
        std::optional<std::string> value;
    } saved[] = {{"KDM_REGISTRY_FILE", {}}, {"XDG_CONFIG_HOME", {}}, {"HOME", {}}};
    for (Saved& s : saved)
        if (const char* v = std::getenv(s.name))
            s.value = v;

    struct Case {
        const char* file;
        const char* xdg;
        const char* home;
        std::string expected;
    } cases[] = {
        {"/x/explicit.reg", "/cfg", "/home/u", "/x/explicit.reg"},
        {"", "/cfg", "/home/u", "/cfg/kaldomeris/registry.reg"},
        {nullptr, "/cfg", "/home/u", "/cfg/kaldomeris/registry.reg"},
        {nullptr, "relative", "/home/u", "/home/u/.config/kaldomeris/registry.reg"},
        {nullptr, nullptr, "/home/u", "/home/u/.config/kaldomeris/registry.reg"},
    };
    auto set = [](const char* name, const char* v) {
        if (v != nullptr)
            ::setenv(name, v, 1);
        else
            ::unsetenv(name);
    };
    for (const Case& c : cases) {
        set("KDM_REGISTRY_FILE", c.file);
        set("XDG_CONFIG_HOME", c.xdg);
        set("HOME", c.home);
        ConfigStore::ResetDefaultForTesting();
        EXPECT_EQ(ConfigStore::Default().Path(), c.expected);
    }

    // Writing creates the directories.
    set("KDM_REGISTRY_FILE", nullptr);
    set("XDG_CONFIG_HOME", (tmp_.Dir() + "/cfg").c_str());
    ConfigStore::ResetDefaultForTesting();
    ConfigStore& store = ConfigStore::Default();
    EXPECT_TRUE(store.Write(kDbi, "A", MakeDword(1)));
    EXPECT_EQ(ConfigStore(tmp_.Dir() + "/cfg/kaldomeris/registry.reg").Read(kDbi, "A"),
              MakeDword(1));

    for (const Saved& s : saved)
        set(s.name, s.value ? s.value->c_str() : nullptr);
    ConfigStore::ResetDefaultForTesting();
}

} // namespace
} // namespace kdm::platform
