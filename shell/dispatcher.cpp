#include "shell/dispatcher.h"

#include <utility>
#include <variant>

#include "client/statement_output.h"
#include "language/vocabulary.h"

namespace rest_client {

bool execute(Session& session, Statement statement) {
  return std::visit([&session](auto& kind) { return stmt::execute(session, kind); }, statement);
}

bool run_statement_line(Session& session, std::string line) {
  ParsedLine parsed = parse_statement_line(std::move(line));
  if (parsed.listed_statements) {
    std::vector<std::string> keywords;
    for (const auto& entry : statement_table()) keywords.push_back(entry.keyword);
    statement_output::statements(session, keywords);
  }
  if (!parsed.helped.empty()) {
    const auto& help = statement_def(parsed.helped).help;
    statement_output::help(session, std::vector<std::string>(help.begin(), help.end()));
  }
  // The statement runs outside the parser, so an interrupt can unwind through it.
  if (parsed.statement && !execute(session, std::move(*parsed.statement))) return false;
  return parsed.ok;
}

}  // namespace rest_client
