#include "platform/diag.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <syslog.h>
#include <unistd.h>

namespace kdm::diag {
namespace {

constexpr size_t kLineCap = 1024;

std::atomic<bool> g_enabled{false};

std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

// Destination state, guarded by OutputLock.
FILE* g_file = nullptr;
bool g_resolved = false;

FILE* Destination() {
    if (!g_resolved) {
        g_resolved = true;
        const char* path = std::getenv("KDM_DEBUG_OUTPUT");
        if (path != nullptr && *path != '\0')
            g_file = std::fopen(path, "a");
    }
    return g_file != nullptr ? g_file : stderr;
}

void Emit(const char* prefix, const char* format, va_list args) {
    try {
        char line[kLineCap + 1];
        size_t used = std::strlen(prefix);
        std::memcpy(line, prefix, used);
        int n = std::vsnprintf(line + used, sizeof line - used, format, args);
        if (n < 0)
            return;
        std::lock_guard<std::mutex> guard(OutputLock());
        FILE* out = Destination();
        std::fputs(line, out);
        std::fflush(out);
    } catch (...) {
        // Diagnostics never disturb the operation that writes them.
    }
}

std::string ExecutablePath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "Kaldomeris II: unknown module";
    buf[n] = '\0';
    return buf;
}

} // namespace

void SetEnabled(bool enabled) {
    g_enabled.store(enabled, std::memory_order_relaxed);
}
bool Enabled() {
    return g_enabled.load(std::memory_order_relaxed);
}

void VError(const char* format, va_list args) {
    if (Enabled())
        Emit("### ERROR: ", format, args);
}

void Error(const char* format, ...) {
    if (!Enabled())
        return;
    va_list args;
    va_start(args, format);
    Emit("### ERROR: ", format, args);
    va_end(args);
}

void Warning(const char* format, ...) {
    if (!Enabled())
        return;
    va_list args;
    va_start(args, format);
    Emit("### WARNING: ", format, args);
    va_end(args);
}

void Always(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Emit("", format, args);
    va_end(args);
}

void EventLogError(const char* format, ...) {
    try {
        char text[kLineCap + 1];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (n < 0)
            return;
        for (char* p = text; *p != '\0'; ++p)
            if (*p == '\n')
                *p = ' ';
        // openlog keeps the pointer: the identity must live as long as the process.
        static const std::string identity = ExecutablePath();
        static std::once_flag opened;
        std::call_once(opened, [] { openlog(identity.c_str(), LOG_PID, LOG_USER); });
        syslog(LOG_ERR, "%s", text);
    } catch (...) {
    }
}

void ReopenDestination() {
    std::lock_guard<std::mutex> guard(OutputLock());
    if (g_file != nullptr)
        std::fclose(g_file);
    g_file = nullptr;
    g_resolved = false;
}

} // namespace kdm::diag
