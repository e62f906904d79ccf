#include "frame/registry.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kdm {
namespace {

using platform::RegValue;

constexpr size_t kMaxText = 256;

// Subkeys are given with or without surrounding backslashes.
bool FullPath(const char* subkey, std::string& out) {
    if (subkey == nullptr)
        return false;
    std::string_view s(subkey);
    while (!s.empty() && s.front() == '\\')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == '\\')
        s.remove_suffix(1);
    out = "HKEY_LOCAL_MACHINE";
    if (!s.empty()) {
        out += '\\';
        out += s;
    }
    return true;
}

std::string_view NameOf(const char* name) {
    return name != nullptr ? name : "";
}

// %NAME% references replaced by the environment; unknown names and a lone
// '%' stay as they are. False when the result exceeds kMaxText.
bool Expand(std::string_view in, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < in.size()) {
        size_t close = in[i] == '%' ? in.find('%', i + 1) : std::string_view::npos;
        if (close != std::string_view::npos && close > i + 1) {
            std::string var(in.substr(i + 1, close - i - 1));
            if (const char* v = std::getenv(var.c_str())) {
                out += v;
                i = close + 1;
            } else {
                out.append(in.substr(i, close - i));
                i = close; // the closing '%' may open the next reference
            }
        } else {
            out.push_back(in[i++]);
        }
        if (out.size() > kMaxText)
            return false;
    }
    return true;
}

bool ParseDecimal(std::string_view text, int32_t& out) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) >= 1 &&
           static_cast<unsigned char>(text[i]) <= 32)
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
        if (v > int64_t{INT32_MAX} + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

uint64_t LittleEndian(const std::vector<uint8_t>& d) {
    uint64_t v = 0;
    for (size_t i = d.size(); i-- > 0;)
        v = v << 8 | d[i];
    return v;
}

bool AsInteger(const RegValue& value, int32_t& out) {
    const std::vector<uint8_t>& d = value.data;
    switch (value.type) {
    case platform::kRegSz:
    case platform::kRegExpandSz: {
        // Stored text ends at its first zero, terminated or not.
        std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
        text = text.substr(0, text.find('\0'));
        std::string expanded;
        if (value.type == platform::kRegExpandSz) {
            if (!Expand(text, expanded))
                return false;
            text = expanded;
        }
        return text.size() <= kMaxText && ParseDecimal(text, out);
    }
    case platform::kRegBinary:
    case platform::kRegDword:
        if (d.size() != 4)
            return false;
        out = static_cast<int32_t>(static_cast<uint32_t>(LittleEndian(d)));
        return true;
    case platform::kRegQword: {
        if (d.size() != 8)
            return false;
        auto v = static_cast<int64_t>(LittleEndian(d));
        if (v < INT32_MIN || v > INT32_MAX)
            return false;
        out = static_cast<int32_t>(v);
        return true;
    }
    default:
        return false;
    }
}

bool AsDword(const std::optional<RegValue>& value, int32_t& out) {
    if (!value || value->type != platform::kRegDword || value->data.size() != 4)
        return false;
    out = static_cast<int32_t>(static_cast<uint32_t>(LittleEndian(value->data)));
    return true;
}

} // namespace

TRegKey::TRegKey(const char* subkey, bool create) : m_store(platform::ConfigStore::Default()) {
    if (!FullPath(subkey, m_path))
        return;
    m_open = create ? m_store.CreateKey(m_path) : m_store.KeyExists(m_path);
}

std::optional<platform::RegValue> TRegKey::Query(const char* name) const {
    if (!m_open)
        return std::nullopt;
    return m_store.Read(m_path, NameOf(name));
}

bool CSecureRegistryHandle::Set(const char* name, const platform::RegValue& value) {
    return m_open && m_store.Write(m_path, NameOf(name), value);
}

bool CSecureRegistryHandle::SetIfAbsent(const char* name, const platform::RegValue& value) {
    return m_open && m_store.WriteIfAbsent(m_path, NameOf(name), value);
}

int32_t RegReadInteger(const char* key, const char* name, int32_t def, bool* wasRead) {
    if (wasRead != nullptr)
        *wasRead = false;
    TRegKey k(key);
    std::optional<RegValue> value = k.Query(name);
    int32_t out = 0;
    if (!value || !AsInteger(*value, out))
        return def;
    if (wasRead != nullptr)
        *wasRead = true;
    return out;
}

bool RegReadBool(const char* key, const char* name, bool def) {
    return RegReadInteger(key, name, def ? 1 : 0) != 0;
}

int32_t RegReadOrCreate(const char* key, const char* name, int32_t def) {
    int32_t out = 0;
    if (AsDword(TRegKey(key).Query(name), out))
        return out;
    // A value of another type is left alone: the default is used, not stored.
    CSecureRegistryHandle k(key, true);
    if (k.SetIfAbsent(name, platform::MakeDword(static_cast<uint32_t>(def))) &&
        AsDword(k.Query(name), out))
        return out;
    return def;
}

bool RegWriteDWord(const char* key, const char* name, uint32_t value) {
    return CSecureRegistryHandle(key, true).Set(name, platform::MakeDword(value));
}

bool RegRawRead(const char* key, const char* name, void* buffer, uint32_t* size, uint32_t* type) {
    if (size == nullptr)
        return false;
    CSecureRegistryHandle k(key, false);
    std::optional<RegValue> value = k.Query(name);
    if (!value)
        return false;
    uint32_t capacity = *size;
    *size = static_cast<uint32_t>(value->data.size());
    if (type != nullptr)
        *type = value->type;
    if (buffer == nullptr)
        return true;
    if (value->data.size() > capacity)
        return false;
    if (!value->data.empty())
        std::memcpy(buffer, value->data.data(), value->data.size());
    return true;
}

bool RegRawWrite(const char* key, const char* name, const void* buffer, uint32_t size,
                 uint32_t type) {
    if ((buffer == nullptr && size != 0) || size > platform::ConfigStore::kMaxValueBytes)
        return false;
    RegValue value{type, {}};
    if (size != 0) {
        const auto* p = static_cast<const uint8_t*>(buffer);
        value.data.assign(p, p + size);
    }
    return CSecureRegistryHandle(key, true).Set(name, value);
}

} // namespace kdm
