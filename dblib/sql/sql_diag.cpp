#include "sql/sql_diag.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace kdm::sql {

namespace {
std::atomic<bool> g_enabled{false};
std::mutex g_fileLock;
std::string g_fileName = "debug.kdm";
} // namespace

void SetEngineDiagnostics(bool on) {
    g_enabled.store(on);
}

bool EngineDiagnostics() {
    return g_enabled.load();
}

void SetEngineDiagnosticsFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_fileLock);
    g_fileName = path.empty() ? "debug.kdm" : path;
}

void WriteEngineDiagnostics(const std::string& text) {
    if (!EngineDiagnostics())
        return;
    std::lock_guard<std::mutex> guard(g_fileLock);
    FILE* file = std::fopen(g_fileName.c_str(), "a");
    if (file == nullptr)
        return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

const std::string& DiagRule() {
    static const std::string rule = std::string(80, '-') + "\n";
    return rule;
}

} // namespace kdm::sql
