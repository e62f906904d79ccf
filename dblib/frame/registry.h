// The registry reader and writer of the support library. Keys are subkeys
// of HKEY_LOCAL_MACHINE ("SOFTWARE\\Halvorsken\\KDMII\\KdmDBI"), kept in the
// process's configuration store. A null key fails; a null value name is the
// key's default value.
#pragma once

#include "platform/config_store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kdm {

// Reads an integer whatever its stored form: decimal text (expandable text
// has its %NAME% references expanded; at most 256 characters; leading
// characters 1 to 32 skipped; a complete, optionally signed number within
// int32), 4-byte binary (little-endian), DWORD, or QWORD within int32.
// Anything else gives def with *wasRead false.
int32_t RegReadInteger(const char* key, const char* name, int32_t def, bool* wasRead = nullptr);
bool RegReadBool(const char* key, const char* name, bool def);
// Reads a DWORD; when there is none, stores def as one (creating the key; a
// refused store is ignored) unless another writer got there first. Returns
// the DWORD the store holds, else def.
int32_t RegReadOrCreate(const char* key, const char* name, int32_t def);
bool RegWriteDWord(const char* key, const char* name, uint32_t value);
// *size: capacity of buffer on entry, size of the stored value on return
// (also when the buffer is too small, which fails). A null buffer only asks
// for size and type. type may be null.
bool RegRawRead(const char* key, const char* name, void* buffer, uint32_t* size, uint32_t* type);
bool RegRawWrite(const char* key, const char* name, const void* buffer, uint32_t size,
                 uint32_t type);

// A key held open for one operation. The store keeps no handles: opening
// checks (or creates) the key, so there is nothing to close and no close can
// fail.
class TRegKey {
public:
    // Opens an existing key of the default store.
    explicit TRegKey(const char* subkey) : TRegKey(subkey, false) {}
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;

    bool IsOpen() const { return m_open; }
    std::optional<platform::RegValue> Query(const char* name) const;

protected:
    TRegKey(const char* subkey, bool create);

    platform::ConfigStore& m_store;
    std::string m_path; // full key path, root included
    bool m_open = false;
};

// The holder of the raw read and write; may create the key on opening.
class CSecureRegistryHandle : public TRegKey {
public:
    CSecureRegistryHandle(const char* subkey, bool create) : TRegKey(subkey, create) {}

    bool Set(const char* name, const platform::RegValue& value);
    bool SetIfAbsent(const char* name, const platform::RegValue& value);
};

} // namespace kdm
