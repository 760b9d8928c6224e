#pragma once
// Scans, parses and runs one line of the command language.

#include <string>

// The line must not hold its line break; one is added. True when the whole line parsed and
// the statement it holds (if any) succeeded.
bool run_statement_line(const std::string& line);
