#pragma once
// Runs one statement line: parses it, then runs the statement it holds through the statement's
// own `execute` (commands/ and upload/, both below this layer).

#include <string>

#include "client/session.h"
#include "language/statement.h"

namespace rest_client {

// True only when the statement did what it says.
bool execute(Session& session, Statement statement);
// Parses one line (without its line break) and runs the statement it holds: true when the
// whole line parsed and the statement, if any, succeeded.
bool run_statement_line(Session& session, std::string line);

}  // namespace rest_client
