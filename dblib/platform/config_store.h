// The configuration store: the machine-wide registry of the library, kept
// as one text file in the REGEDIT4 export format.
//
// The file belongs to its users as much as to the library: a rewrite keeps
// every line it did not write byte for byte (comments, foreign keys, lines
// it cannot parse) and touches only the value being written. Writers from
// several processes are serialised by an advisory lock on "<store>.lock"
// and replace the file atomically, so concurrent creators of defaults lose
// nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kdm::platform {

// Windows value type codes, kept as the store's vocabulary.
enum : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
    kRegQword = 11
};

// Data as the Windows API returns it: strings carry their terminating zero,
// numbers are little-endian.
struct RegValue {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;

    bool operator==(const RegValue&) const = default;
};

RegValue MakeDword(uint32_t value);
RegValue MakeQword(uint64_t value);
RegValue MakeString(std::string_view text, uint32_t type = kRegSz);

class ConfigStore {
public:
    // Largest value the store accepts; larger writes are refused.
    static constexpr size_t kMaxValueBytes = 1u << 20;

    // The process's store: $KDM_REGISTRY_FILE, else
    // $XDG_CONFIG_HOME/kaldomeris/registry.reg, else
    // $HOME/.config/kaldomeris/registry.reg, resolved on first use.
    static ConfigStore& Default();
    // The next Default() resolves the path again. References handed out
    // before stay valid (the old store is kept alive).
    static void ResetDefaultForTesting();

    explicit ConfigStore(std::string path);
    ~ConfigStore();
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    const std::string& Path() const { return m_path; }

    // Keys are full paths ("HKEY_LOCAL_MACHINE\\SOFTWARE\\..."); keys and
    // value names compare case-insensitively (ASCII). The empty value name
    // is the key's default value ("@" in the file). A key exists when it or
    // one of its subkeys has a section in the file.
    bool KeyExists(std::string_view key);
    std::optional<RegValue> Read(std::string_view key, std::string_view name);

    // Writes return false when the store cannot be written (no write right,
    // unreadable or oversized file) or the key, name or value cannot be
    // represented; nothing is changed then.
    bool CreateKey(std::string_view key);
    bool Write(std::string_view key, std::string_view name, const RegValue& value);
    // Stores the value only if the key has no value of that name, deciding
    // under the file lock. True when the store holds a value of that name
    // afterwards, whoever wrote it.
    bool WriteIfAbsent(std::string_view key, std::string_view name, const RegValue& value);

    // Reads the file again, reporting what does not parse unless that was
    // reported before.
    void ReportProblems();

private:
    enum class Mode { kCreateKey, kWrite, kWriteIfAbsent };

    bool Refresh(bool force);
    bool Modify(Mode mode, std::string_view key, std::string_view name, const RegValue* value);

    struct Cache;

    const std::string m_path;
    std::mutex m_mutex;
    std::unique_ptr<Cache> m_cache;
};

} // namespace kdm::platform
