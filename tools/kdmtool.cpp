// kdmtool: command-line access to the recorder libraries through their
// public interfaces only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kdmdbi.h"

namespace {

std::string ConfigStorePath() {
    if (const char* file = std::getenv("KDM_REGISTRY_FILE"); file != nullptr && *file != '\0')
        return file;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0')
        return std::string(xdg) + "/kaldomeris/registry.reg";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/kaldomeris/registry.reg";
}

int Version() {
    uint32_t v = DBI_InterfaceVersion();
    std::printf("KdmDBI interface version 0x%08X (%u.%u)\n", v, v >> 16, v & 0xFFFF);
    std::printf("configuration store: %s\n", ConfigStorePath().c_str());
    return 0;
}

int Md5(const char* text) {
    char digest[33];
    if (!DBI_EncodeString(digest, text, sizeof digest)) {
        const char* message = "";
        int32_t code = 0, a = 0, b = 0;
        DBI_GetLastError(&code, &a, &b, &message);
        std::fprintf(stderr, "kdmtool: %s (%d)\n", message, code);
        return 1;
    }
    std::printf("%s\n", digest);
    return 0;
}

void Usage() {
    std::fprintf(stderr, "usage: kdmtool version\n"
                         "       kdmtool md5 TEXT\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "version") == 0)
        return Version();
    if (std::strcmp(argv[1], "md5") == 0 && argc == 3)
        return Md5(argv[2]);
    Usage();
    return 2;
}
