// The UPLOAD statement: the requirements the command language owns, then the trace.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "commands/handlers.h"
#include "language/diagnostics.h"
#include "language/help_texts.h"
#include "language/statement_actions.h"

namespace {

// The standard string-to-int rules: leading blanks, a sign, digits; the rest is ignored.
bool converts_to_int(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  return end != begin && errno != ERANGE && value >= INT_MIN && value <= INT_MAX;
}

bool reject(const char* message) {
  yyerror(message);
  print_upload_help();
  return false;
}

}  // namespace

bool upload_action(ParseContext& ctx, std::string project, std::string file_path,
                   OptionMap options) {
  const auto format = options.find("file_format");
  if (format == options.end()) return reject("Missing required argument: --file_format");
  if ((format->second == "csv" || format->second == "json") &&
      options.count("has_field_names") == 0) {
    return reject("Missing required argument: --has_field_names (required for csv/json)");
  }
  const auto dim = options.find("binary_dim");
  if (dim != options.end() && !converts_to_int(dim->second)) {
    return reject("binary_dim must be an integer");
  }
  debug("[UPLOAD] File: " + file_path);
  for (const auto& [key, value] : options) debug("[ARG] " + key + " = " + value);
  ctx.pending = [project = std::move(project), file_path = std::move(file_path),
                 options = std::move(options)]() mutable {
    return rest_client::handle_upload(project, file_path, std::move(options));
  };
  return true;
}
