#include "platform/config_store.h"

#include "platform/diag.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace kdm::platform {
namespace {

// Beyond these the file is not the library's configuration any more; it is
// reported and left alone rather than read into memory.
constexpr size_t kMaxFileBytes = 64u << 20;
// A value of kMaxValueBytes written as wrapped hex stays well below this.
constexpr size_t kMaxLogicalLine = 4u << 20;
constexpr size_t kMaxKeyLength = 65535;
constexpr size_t kMaxNameLength = 16383;
constexpr size_t kWrapColumn = 76;
constexpr int64_t kRacyWindowNs = 2'000'000'000;

struct Section {
    std::string folded;  // key in ASCII lower case
    size_t insertAt = 0; // line index after the section's last value
    bool deletion = false;
};

struct Entry {
    size_t section = 0;
    std::string name; // as spelled in the file
    std::string folded;
    size_t firstLine = 0;
    size_t lineCount = 0;
    RegValue value;
};

struct Problem {
    size_t line = 0; // 1-based
    std::string reason;
};

// Lines keep their terminators, so joining them gives back the file.
struct Document {
    std::vector<std::string> lines;
    std::vector<Section> sections;
    std::vector<Entry> entries;
    std::vector<Problem> problems;
    bool crlf = false;
};

char FoldChar(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Fold(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = FoldChar(c);
    return out;
}

bool StartsWithFolded(std::string_view s, std::string_view lowerPrefix) {
    if (s.size() < lowerPrefix.size())
        return false;
    for (size_t i = 0; i < lowerPrefix.size(); ++i)
        if (FoldChar(s[i]) != lowerPrefix[i])
            return false;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    return TrimRight(TrimLeft(s));
}

bool EndsWithNewline(const std::string& line) {
    return !line.empty() && line.back() == '\n';
}

// A line without its terminator ("\n" or "\r\n").
std::string_view Body(const std::string& line) {
    std::string_view s(line);
    if (!s.empty() && s.back() == '\n')
        s.remove_suffix(1);
    if (!s.empty() && s.back() == '\r')
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        size_t end = nl == std::string::npos ? content.size() : nl + 1;
        lines.emplace_back(content, start, end - start);
        start = end;
    }
    return lines;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = FoldChar(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, uint32_t& out) {
    if (s.empty() || s.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

// Comma-separated bytes of one or two hex digits; blanks around them are
// allowed because continuation lines are indented.
bool ParseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
    out.clear();
    if (Trim(s).empty())
        return true;
    while (true) {
        size_t comma = s.find(',');
        std::string_view item = Trim(s.substr(0, comma));
        if (item.empty() || item.size() > 2)
            return false;
        uint32_t v = 0;
        if (!ParseHex32(item, v))
            return false;
        out.push_back(static_cast<uint8_t>(v));
        if (comma == std::string_view::npos)
            return true;
        s.remove_prefix(comma + 1);
    }
}

// A quoted text starting at s[pos]; only \\ and \" are escapes, as regedit
// writes them. On success pos is just past the closing quote.
bool ParseQuoted(std::string_view s, size_t& pos, std::string& out) {
    out.clear();
    size_t i = pos + 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return false;
            out.push_back(s[i + 1]);
            i += 2;
            continue;
        }
        out.push_back(c);
        ++i;
    }
    return false;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A line that can only continue a hex value: digits, commas, blanks and
// perhaps a further backslash. Anything else (a key header, the next value)
// ends a dangling continuation instead of being swallowed by it.
bool IsHexContinuation(std::string_view body) {
    std::string_view t = Trim(body);
    if (t.empty())
        return false;
    for (size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (HexDigit(c) >= 0 || c == ',' || IsBlank(c))
            continue;
        if (c == '\\' && i + 1 == t.size())
            continue;
        return false;
    }
    return true;
}

enum class DataKind { kValue, kDeletion, kBad };

DataKind ParseData(std::string_view data, RegValue& value, std::string& why) {
    data = Trim(data);
    if (data == "-")
        return DataKind::kDeletion;
    if (!data.empty() && data.front() == '"') {
        size_t pos = 0;
        std::string text;
        if (!ParseQuoted(data, pos, text)) {
            why = "unterminated string or unknown escape";
            return DataKind::kBad;
        }
        if (!Trim(data.substr(pos)).empty()) {
            why = "text after the string";
            return DataKind::kBad;
        }
        value = MakeString(text);
        return DataKind::kValue;
    }
    if (StartsWithFolded(data, "dword:")) {
        uint32_t v = 0;
        if (!ParseHex32(Trim(data.substr(6)), v)) {
            why = "bad dword";
            return DataKind::kBad;
        }
        value = MakeDword(v);
        return DataKind::kValue;
    }
    uint32_t type = kRegBinary;
    std::string_view bytes;
    if (StartsWithFolded(data, "hex:")) {
        bytes = data.substr(4);
    } else if (StartsWithFolded(data, "hex(")) {
        size_t close = data.find("):");
        if (close == std::string_view::npos || !ParseHex32(data.substr(4, close - 4), type)) {
            why = "bad hex type";
            return DataKind::kBad;
        }
        bytes = data.substr(close + 2);
    } else {
        why = "unrecognised value";
        return DataKind::kBad;
    }
    value.type = type;
    if (!ParseHexBytes(bytes, value.data)) {
        why = "bad hex bytes";
        return DataKind::kBad;
    }
    return DataKind::kValue;
}

Document Parse(const std::string& content) {
    Document doc;
    doc.lines = SplitLines(content);
    const std::vector<std::string>& lines = doc.lines;
    for (const std::string& line : lines) {
        if (EndsWithNewline(line)) {
            doc.crlf = line.size() >= 2 && line[line.size() - 2] == '\r';
            break;
        }
    }
    auto problem = [&doc](size_t index, std::string reason) {
        doc.problems.push_back({index + 1, std::move(reason)});
    };

    size_t i = 0;
    if (!lines.empty()) {
        std::string_view first = Body(lines[0]);
        if (first.substr(0, 3) == "\xEF\xBB\xBF")
            first.remove_prefix(3);
        if (Fold(Trim(first)) == "regedit4")
            i = 1;
        else
            problem(0, "missing REGEDIT4 header");
    }

    const size_t none = static_cast<size_t>(-1);
    size_t current = none;
    while (i < lines.size()) {
        std::string_view body = Body(lines[i]);
        if (body.find('\0') != std::string_view::npos) {
            problem(i, "NUL byte");
            ++i;
            continue;
        }
        if (body.size() > kMaxLogicalLine) {
            problem(i, "line too long");
            ++i;
            continue;
        }
        std::string_view t = Trim(body);
        if (t.empty() || t.front() == ';') {
            ++i;
            continue;
        }
        if (t.front() == '[') {
            if (t.size() < 3 || t.back() != ']') {
                problem(i, "bad key header");
                current = none;
            } else {
                std::string_view key = t.substr(1, t.size() - 2);
                Section s;
                s.deletion = key.front() == '-';
                s.folded = Fold(key);
                s.insertAt = i + 1;
                doc.sections.push_back(std::move(s));
                current = doc.sections.size() - 1;
            }
            ++i;
            continue;
        }
        if (t.front() != '"' && t.front() != '@') {
            problem(i, "unrecognised line");
            ++i;
            continue;
        }

        std::string name;
        size_t pos = 0;
        if (t.front() == '@') {
            pos = 1;
        } else if (!ParseQuoted(t, pos, name)) {
            problem(i, "bad value name");
            ++i;
            continue;
        }
        std::string_view rest = TrimLeft(t.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            problem(i, "missing '='");
            ++i;
            continue;
        }
        rest = TrimLeft(rest.substr(1));

        size_t last = i;
        std::string joined;
        std::string_view data = rest;
        bool bad = false;
        std::string why;
        if (StartsWithFolded(rest, "hex")) {
            joined.assign(TrimRight(rest));
            while (!joined.empty() && joined.back() == '\\') {
                joined.pop_back();
                if (last + 1 >= lines.size() || !IsHexContinuation(Body(lines[last + 1]))) {
                    bad = true;
                    why = "dangling continuation";
                    break;
                }
                ++last;
                joined.append(TrimRight(Body(lines[last])));
                if (joined.size() > kMaxLogicalLine) {
                    bad = true;
                    why = "value too long";
                    // Swallow the rest of the continuation as part of the bad value.
                    while (last + 1 < lines.size() && IsHexContinuation(Body(lines[last + 1])) &&
                           TrimRight(Body(lines[last])).ends_with('\\'))
                        ++last;
                    break;
                }
            }
            data = joined;
        }

        RegValue value;
        DataKind kind = bad ? DataKind::kBad : ParseData(data, value, why);
        if (kind == DataKind::kBad) {
            problem(i, why);
        } else if (current == none) {
            problem(i, "value outside a key");
        } else if (kind == DataKind::kValue && !doc.sections[current].deletion) {
            Entry e;
            e.section = current;
            e.folded = Fold(name);
            e.name = std::move(name);
            e.firstLine = i;
            e.lineCount = last - i + 1;
            e.value = std::move(value);
            doc.entries.push_back(std::move(e));
        }
        if (current != none)
            doc.sections[current].insertAt = last + 1;
        i = last + 1;
    }
    return doc;
}

const Entry* FindEntry(const Document& doc, const std::string& key, const std::string& name) {
    // A later line overrides an earlier one, as when the file is imported.
    for (auto it = doc.entries.rbegin(); it != doc.entries.rend(); ++it)
        if (it->folded == name && doc.sections[it->section].folded == key)
            return &*it;
    return nullptr;
}

bool HasKey(const Document& doc, const std::string& key) {
    for (const Section& s : doc.sections) {
        if (s.deletion)
            continue;
        if (s.folded == key || (s.folded.size() > key.size() && s.folded.starts_with(key) &&
                                s.folded[key.size()] == '\\'))
            return true;
    }
    return false;
}

// Keys become "[...]" lines: no control characters, no empty component, and
// no leading '-', which would read back as a deletion.
bool ValidKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyLength || key.front() == '-' || key.front() == '\\' ||
        key.back() == '\\' || key.find("\\\\") != std::string_view::npos)
        return false;
    for (char c : key)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return Trim(key).size() == key.size();
}

bool ValidName(std::string_view name) {
    if (name.size() > kMaxNameLength)
        return false;
    for (char c : name)
        if (c == '\0' || c == '\r' || c == '\n')
            return false;
    return true;
}

std::string HexByte(uint8_t b) {
    static const char digits[] = "0123456789abcdef";
    return {digits[b >> 4], digits[b & 15]};
}

// The lines of one value, without terminators. Hex data wraps like
// regedit's own exports: a trailing backslash, continuation indented by two.
std::vector<std::string> FormatValue(std::string_view name, const RegValue& value) {
    std::string head = (name.empty() ? std::string("@") : Quote(name)) + "=";
    const std::vector<uint8_t>& d = value.data;
    if (value.type == kRegSz && !d.empty() && d.back() == 0) {
        std::string_view text(reinterpret_cast<const char*>(d.data()), d.size() - 1);
        if (text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos)
            return {head + Quote(text)};
    }
    if (value.type == kRegDword && d.size() == 4) {
        uint32_t v = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", v);
        return {head + "dword:" + buf};
    }
    std::string line = head;
    if (value.type == kRegBinary) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
        line += buf;
    }
    std::vector<std::string> out;
    for (size_t i = 0; i < d.size(); ++i) {
        std::string item = HexByte(d[i]);
        if (i + 1 < d.size())
            item += ',';
        if (line.size() + item.size() + 1 > kWrapColumn && i > 0) {
            out.push_back(line + "\\");
            line = "  ";
        }
        line += item;
    }
    out.push_back(line);
    return out;
}

void Terminate(std::string& line, const char* eol) {
    if (!EndsWithNewline(line))
        line += eol;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines)
        out += l;
    return out;
}

int64_t Nanos(const timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool MakeParentDirs(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    std::string dir = path.substr(0, slash);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string prefix = dir.substr(0, pos);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file at target with content: temporary file beside it,
// flushed, renamed over it, directory flushed.
bool ReplaceFile(const std::string& target, const std::string& content, const struct stat* old) {
    std::string tmp = target + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, content);
    if (ok && old != nullptr)
        (void)fchmod(fd, old->st_mode & 07777);
    ok = ok && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);
        ::close(dfd);
    }
    return true;
}

// Writes go to the file a symbolic link names, so the link survives.
std::string WriteTarget(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            std::string out = real;
            std::free(real);
            return out;
        }
    }
    return path;
}

class FileLock {
public:
    explicit FileLock(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return;
        int rc;
        do
            rc = flock(m_fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileLock() {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

std::string DefaultPath() {
    const char* explicitPath = std::getenv("KDM_REGISTRY_FILE");
    if (explicitPath != nullptr && *explicitPath != '\0')
        return explicitPath;
    // Relative XDG paths are to be ignored.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/kaldomeris/registry.reg";
    const char* home = std::getenv("HOME");
    std::string homeDir = home != nullptr ? home : "";
    if (homeDir.empty()) {
        struct passwd* pw = getpwuid(getuid());
        if (pw != nullptr && pw->pw_dir != nullptr)
            homeDir = pw->pw_dir;
    }
    if (homeDir.empty())
        return {};
    return homeDir + "/.config/kaldomeris/registry.reg";
}

std::mutex& DefaultLock() {
    static std::mutex lock;
    return lock;
}

ConfigStore* g_default = nullptr;

// Each bad file content is told once per process, whichever store meets it.
std::set<std::pair<std::string, size_t>>& Reported(std::unique_lock<std::mutex>& guard) {
    static std::mutex lock;
    static auto* seen = new std::set<std::pair<std::string, size_t>>;
    guard = std::unique_lock<std::mutex>(lock);
    return *seen;
}

bool MarkReported(const std::string& path, size_t contentHash) {
    std::unique_lock<std::mutex> guard;
    return Reported(guard).insert({path, contentHash}).second;
}

bool WasReported(const std::string& path, size_t contentHash) {
    std::unique_lock<std::mutex> guard;
    return Reported(guard).count({path, contentHash}) != 0;
}

} // namespace

RegValue MakeDword(uint32_t v) {
    return {kRegDword,
            {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
             static_cast<uint8_t>(v >> 24)}};
}

RegValue MakeQword(uint64_t v) {
    RegValue out{kRegQword, {}};
    for (int i = 0; i < 8; ++i)
        out.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

RegValue MakeString(std::string_view text, uint32_t type) {
    RegValue out{type, std::vector<uint8_t>(text.begin(), text.end())};
    out.data.push_back(0);
    return out;
}

struct ConfigStore::Cache {
    Document doc;
    bool loaded = false;
    bool readable = true; // false: unreadable or oversized, writes refused
    // Identity of the file doc was parsed from; any change means another
    // writer replaced or edited it.
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime = 0;
    int64_t ctime = 0;
    int64_t loadedAt = 0;
    size_t contentHash = 0;

    void Remember(const struct stat& st) {
        present = true;
        dev = st.st_dev;
        ino = st.st_ino;
        size = st.st_size;
        mtime = Nanos(st.st_mtim);
        ctime = Nanos(st.st_ctim);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        loadedAt = Nanos(now);
    }
    // File times come from a coarse clock: an edit in place soon after the
    // read may leave size and times unchanged, so a file read within that
    // window of its last change is not trusted to be current.
    bool Same(const struct stat& st) const {
        return present && dev == st.st_dev && ino == st.st_ino && size == st.st_size &&
               mtime == Nanos(st.st_mtim) && ctime == Nanos(st.st_ctim) &&
               loadedAt - std::max(mtime, ctime) > kRacyWindowNs;
    }
    static void ReportOnce(size_t hash, const std::string& path, size_t line,
                           const std::string& reason, size_t count) {
        // Unseen reports do not count: the library reads its DebugOutput
        // switch from this very store before the output is on.
        if (!diag::Enabled() || !MarkReported(path, hash))
            return;
        if (line == 0)
            diag::Error("Configuration store %s: %s\n", path.c_str(), reason.c_str());
        else
            diag::Error("Configuration store %s, line %zu: %s (%zu unreadable line(s), kept as "
                        "they are)\n",
                        path.c_str(), line, reason.c_str(), count);
    }
};

ConfigStore::ConfigStore(std::string path) : m_path(std::move(path)), m_cache(new Cache) {}

ConfigStore::~ConfigStore() = default;

ConfigStore& ConfigStore::Default() {
    std::lock_guard<std::mutex> guard(DefaultLock());
    if (g_default == nullptr) {
        // Never destroyed: references must outlive static destruction and
        // survive a reset. The list keeps them reachable for leak checkers.
        static auto* all = new std::vector<std::unique_ptr<ConfigStore>>;
        all->push_back(std::make_unique<ConfigStore>(DefaultPath()));
        g_default = all->back().get();
    }
    return *g_default;
}

void ConfigStore::ResetDefaultForTesting() {
    std::lock_guard<std::mutex> guard(DefaultLock());
    g_default = nullptr;
}

// Brings the cache up to date with the file; false when the file exists but
// cannot be used (then the cache holds no values).
bool ConfigStore::Refresh(bool force) {
    Cache& c = *m_cache;
    c.loaded = true;
    if (m_path.empty()) {
        c.doc = Document{};
        c.readable = false;
        c.present = false;
        return false;
    }
    struct stat st {};
    bool statOk = ::stat(m_path.c_str(), &st) == 0;
    if (!statOk && errno == ENOENT) {
        c.doc = Document{};
        c.readable = true;
        c.present = false;
        c.contentHash = 0;
        return true;
    }
    if (!force && statOk && c.Same(st))
        return c.readable;

    // Remembering the identity of an unusable file spares re-reading it on
    // every lookup; any change to it is looked at again.
    auto unusable = [&](const std::string& reason) {
        c.doc = Document{};
        c.readable = false;
        c.present = false;
        if (statOk)
            c.Remember(st);
        c.ReportOnce(std::hash<std::string>{}("\x01" + reason), m_path, 0, reason, 0);
        return false;
    };
    int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return unusable(std::string("cannot be opened: ") + std::strerror(errno));
    statOk = ::fstat(fd, &st) == 0;
    if (!statOk || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return unusable("is not a regular file");
    }
    std::string content;
    int readErrno = 0;
    char buf[65536];
    while (content.size() <= kMaxFileBytes) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readErrno = errno;
        if (n <= 0)
            break;
        content.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (readErrno != 0)
        return unusable(std::string("cannot be read: ") + std::strerror(readErrno));
    if (content.size() > kMaxFileBytes)
        return unusable("larger than " + std::to_string(kMaxFileBytes) + " bytes, ignored");

    c.doc = Parse(content);
    c.readable = true;
    c.Remember(st);
    c.contentHash = std::hash<std::string>{}(content);
    if (!c.doc.problems.empty())
        c.ReportOnce(c.contentHash, m_path, c.doc.problems.front().line,
                     c.doc.problems.front().reason, c.doc.problems.size());
    return true;
}

void ConfigStore::ReportProblems() {
    std::lock_guard<std::mutex> guard(m_mutex);
    Refresh(true);
}

bool ConfigStore::KeyExists(std::string_view key) {
    std::lock_guard<std::mutex> guard(m_mutex);
    Refresh(false);
    return HasKey(m_cache->doc, Fold(key));
}

std::optional<RegValue> ConfigStore::Read(std::string_view key, std::string_view name) {
    std::lock_guard<std::mutex> guard(m_mutex);
    Refresh(false);
    const Entry* e = FindEntry(m_cache->doc, Fold(key), Fold(name));
    if (e == nullptr)
        return std::nullopt;
    return e->value;
}

bool ConfigStore::CreateKey(std::string_view key) {
    return Modify(Mode::kCreateKey, key, {}, nullptr);
}

bool ConfigStore::Write(std::string_view key, std::string_view name, const RegValue& value) {
    return Modify(Mode::kWrite, key, name, &value);
}

bool ConfigStore::WriteIfAbsent(std::string_view key, std::string_view name,
                                const RegValue& value) {
    return Modify(Mode::kWriteIfAbsent, key, name, &value);
}

bool ConfigStore::Modify(Mode mode, std::string_view key, std::string_view name,
                         const RegValue* value) {
    if (!ValidKey(key) || !ValidName(name) ||
        (value != nullptr && value->data.size() > kMaxValueBytes))
        return false;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_path.empty())
        return false;
    const std::string fkey = Fold(key);
    const std::string fname = Fold(name);
    // What is already there needs neither the lock nor the right to write.
    if (mode != Mode::kWrite && Refresh(false)) {
        if (mode == Mode::kCreateKey ? HasKey(m_cache->doc, fkey)
                                     : FindEntry(m_cache->doc, fkey, fname) != nullptr)
            return true;
    }
    const std::string target = WriteTarget(m_path);
    if (!MakeParentDirs(target))
        return false;
    FileLock lock(target + ".lock");
    if (!lock.Held() || !Refresh(true))
        return false;
    Cache& c = *m_cache;
    struct stat old {};
    bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && ::access(target.c_str(), W_OK) != 0)
        return false;

    const Document& doc = c.doc;
    const char* eol = doc.crlf ? "\r\n" : "\n";
    std::vector<std::string> lines = doc.lines;
    auto terminated = [eol](std::vector<std::string> body) {
        for (std::string& l : body)
            l += eol;
        return body;
    };
    auto appendSection = [&](const std::vector<std::string>& valueLines) {
        if (lines.empty()) {
            lines.push_back(std::string("REGEDIT4") + eol);
            lines.push_back(eol);
        } else {
            Terminate(lines.back(), eol);
            if (!Trim(Body(lines.back())).empty())
                lines.push_back(eol);
        }
        lines.push_back("[" + std::string(key) + "]" + eol);
        for (const std::string& l : terminated(valueLines))
            lines.push_back(l);
    };

    if (mode == Mode::kCreateKey) {
        if (HasKey(doc, fkey))
            return true;
        appendSection({});
    } else {
        const Entry* e = FindEntry(doc, fkey, fname);
        if (e != nullptr && mode == Mode::kWriteIfAbsent)
            return true;
        if (e != nullptr) {
            // The name keeps the spelling it has in the file.
            if (e->value == *value)
                return true;
            std::vector<std::string> repl = terminated(FormatValue(e->name, *value));
            lines.erase(lines.begin() + static_cast<ptrdiff_t>(e->firstLine),
                        lines.begin() + static_cast<ptrdiff_t>(e->firstLine + e->lineCount));
            lines.insert(lines.begin() + static_cast<ptrdiff_t>(e->firstLine), repl.begin(),
                         repl.end());
        } else {
            std::vector<std::string> add = FormatValue(name, *value);
            const Section* section = nullptr;
            for (const Section& s : doc.sections)
                if (!s.deletion && s.folded == fkey)
                    section = &s;
            if (section == nullptr) {
                appendSection(add);
            } else {
                size_t at = section->insertAt;
                if (at > 0)
                    Terminate(lines[at - 1], eol);
                std::vector<std::string> repl = terminated(add);
                lines.insert(lines.begin() + static_cast<ptrdiff_t>(at), repl.begin(), repl.end());
            }
        }
    }

    std::string content = Join(lines);
    if (!ReplaceFile(target, content, exists ? &old : nullptr))
        return false;
    // Bad lines the user was already told about are carried over unchanged;
    // the rewritten file need not be reported again.
    if (!doc.problems.empty() && WasReported(m_path, c.contentHash))
        MarkReported(m_path, std::hash<std::string>{}(content));
    Refresh(true);
    return true;
}

} // namespace kdm::platform
