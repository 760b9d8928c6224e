#pragma once
// Runs one parsed statement: asks the deletion questions, calls the statement's handler and
// prints the statement's traces.

#include "client/session.h"
#include "language/statement.h"

namespace rest_client {

// True only when the statement did what it says.
bool execute(Session& session, Statement statement);
// Parses one line (without its line break) and runs the statement it holds: true when the
// whole line parsed and the statement, if any, succeeded.
bool run_statement_line(Session& session, const std::string& line);

}  // namespace rest_client
