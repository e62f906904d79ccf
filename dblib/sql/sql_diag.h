// The SQL engine's diagnostic switch and its file. One process-wide flag,
// off unless a developer turns it on, governs every dump of the engine;
// each dump appends to "debug.kdm" in the current directory.
#pragma once

#include <string>

namespace kdm::sql {

void SetEngineDiagnostics(bool on);
bool EngineDiagnostics();

// Tests point the dumps elsewhere; an empty name restores "debug.kdm".
void SetEngineDiagnosticsFile(const std::string& path);

// Appends `text` when the switch is on. A file that cannot be opened loses
// the dump, never the statement.
void WriteEngineDiagnostics(const std::string& text);

// 80 '-' and a line feed.
const std::string& DiagRule();

} // namespace kdm::sql
