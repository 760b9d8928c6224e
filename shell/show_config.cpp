#include "shell/show_config.h"

#include <cstdlib>
#include <iomanip>
#include <iostream>

#include "client/console.h"

namespace {

void line(const std::string& name, const std::string& value, const std::string& source) {
  std::cout << std::left << std::setw(13) << name
            << rest_client::printable(rest_client::service_text(value.empty() ? "none" : value))
            << "  (" << rest_client::printable(rest_client::service_text(source)) << ")\n";
}

// The variable that set a value, when one is set; else how the value was made.
std::string variable_or(const char* variable, const std::string& otherwise) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? std::string("variable ") + variable : otherwise;
}

}  // namespace

void print_config(const StartOptions& options, const rest_client::Session& session) {
  line("config", options.config_path.empty() ? "" : options.config_path,
       options.config_path.empty() ? "HOME is not set" : "XDG_CONFIG_HOME, else ~/.config");
  if (options.profile.empty()) line("profile", "", "no --profile, ORVIX_PROFILE or [default]");
  for (const auto& chosen : options.chosen) {
    std::string value = chosen.value;
    if (chosen.name == "ca_file" && value.empty()) value = "none: the system's certificate store";
    line(chosen.name, value, chosen.source);
  }
  line("shard_size", std::to_string(session.upload.shard_size),
       variable_or("SHARD_SIZE", "built in"));
  line("journal_dir", session.upload.journal_dir,
       variable_or("XDG_STATE_HOME", "built in, under HOME"));
  if (options.offered_key) {
    line("api_key", "found (not shown)", options.offered_key->origin);
  } else {
    line("api_key", "not found",
         options.save_key ? "--save-key stores the key given at login" : "asked for at login");
  }
  for (const auto& warning : options.warnings) line("warning", warning, "credentials");
  std::cout << std::flush;
}
