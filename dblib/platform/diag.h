// Diagnostic output of the library: error and warning lines for the
// developer (only while the DebugOutput switch is on) and entries for the
// system log (always).
#pragma once

#include <cstdarg>

namespace kdm::diag {

// Set at library load from the DebugOutput switch. Off: lines are dropped.
void SetEnabled(bool enabled);
bool Enabled();

// "### ERROR: " / "### WARNING: " followed by the formatted text, cut to
// 1024 characters, written under one process-wide lock to standard error or
// to the file named by $KDM_DEBUG_OUTPUT. Never throws.
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VError(const char* format, va_list args);

// Written whatever the switch says (processor-fault reports).
void Always(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One system-log entry at LOG_ERR, line feeds replaced by blanks, identity
// the executable's path.
void EventLogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The destination is re-read from the environment: tests point it at a file.
void ReopenDestination();

} // namespace kdm::diag
