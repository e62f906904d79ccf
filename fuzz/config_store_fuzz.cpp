// Any bytes as a configuration file: reading never fails hard, and a write
// of a new key keeps every byte that was there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "platform/config_store.h"

using namespace kdm::platform;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/kdm-config-fuzz-" + std::to_string(getpid()) + ".reg";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::string before = ReadAll(path);
    {
        ConfigStore store(path);
        const char* probes[][2] = {
            {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorsken\\KDMII\\KdmDBI", "DebugOutput"},
            {"HKEY_LOCAL_MACHINE\\A", "B"},
            {"HKEY_LOCAL_MACHINE\\A", ""}};
        for (auto& p : probes) {
            store.KeyExists(p[0]);
            store.Read(p[0], p[1]);
        }
        const char* key = "HKEY_LOCAL_MACHINE\\FUZZ\\Probe";
        RegValue value = MakeDword(0x2A);
        if (!store.KeyExists(key) && store.Write(key, "Written", value)) {
            std::optional<RegValue> back = ConfigStore(path).Read(key, "Written");
            if (!back || !(*back == value))
                abort();
            // What the project did not write stays, byte for byte.
            std::string after = ReadAll(path);
            size_t i = 0, j = 0;
            while (i < before.size() && j < after.size()) {
                if (before[i] == after[j])
                    ++i;
                ++j;
            }
            if (i != before.size())
                abort();
        }
    }
    std::remove(path.c_str());
    return 0;
}
