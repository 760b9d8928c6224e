#include "shell/dispatcher.h"

#include <utility>
#include <variant>

namespace rest_client {

bool execute(Session& session, Statement statement) {
  return std::visit([&session](auto& kind) { return stmt::execute(session, kind); }, statement);
}

bool run_statement_line(Session& session, const std::string& line) {
  ParsedLine parsed = parse_statement_line(line);
  // The statement runs outside the parser, so an interrupt can unwind through it.
  if (parsed.statement && !execute(session, std::move(*parsed.statement))) return false;
  return parsed.ok;
}

}  // namespace rest_client
