#pragma once
// What the command line, the environment and the user's profile choose before any statement:
// the service's addresses, the output mode and the TLS files. Leading flags come before the
// statement words:
//   orvix [--profile NAME] [--api-url URL] [--account-url URL] [--output text|json]
//         [--ca-file FILE] [--client-cert FILE] [--client-key FILE] [--save-key]
//         [--show-config] [STATEMENT WORDS...]
// Setting by setting, a flag beats its variable (ORVIX_API_URL, ...), which beats the profile
// (--profile, else ORVIX_PROFILE, else [default] when the config file has one), which beats the
// build's value. Given an API address but no account address, the account service is taken to
// live at the API's origin (as Orvix Local's does).

#include <optional>
#include <string>
#include <vector>

#include "client/session.h"
#include "shell/settings_files.h"

// One setting's value and where it came from ("flag --api-url", "variable ORVIX_API_URL",
// "profile NAME in FILE", "built in").
struct ChosenSetting {
  std::string name;  // as in a profile: api_url
  std::string value;
  std::string source;
};

struct StartOptions {
  rest_client::Endpoints endpoints;
  rest_client::TlsFiles tls;
  bool address_chosen = false;  // the API address came from a flag, a variable or a profile
  bool json_output = false;
  std::vector<std::string> words;          // the statement, when given
  std::optional<std::string> flag_answer;  // --help or --version, alone
  std::optional<std::string> completion;   // --completion SHELL: the shell
  bool show_config = false;
  bool save_key = false;
  std::string profile;                // the profile in use; empty for none
  std::string config_path;            // the config file, whether or not there is one
  std::string credentials_path;       // where keys are stored; empty when there is no home
  std::vector<ChosenSetting> chosen;  // every setting, for --show-config
  std::optional<rest_client::OfferedKey> offered_key;
  std::vector<std::string> warnings;  // a credentials file passed over
};

// The options, or the one line that says why they cannot be used (the process then exits 2).
struct StartChoice {
  std::optional<StartOptions> options;
  std::string refusal;
};

StartChoice choose_start_options(const std::vector<std::string>& arguments,
                                 const rest_client::Endpoints& built,
                                 const EnvironmentLookup& environment);

// Why a service address cannot be used (its text escaped, and never shown when it holds a user
// name or password); nullopt for http(s)://host[:port][/path], host a name, an IPv4 address or
// [IPv6], port 1-65535.
std::optional<std::string> service_url_problem(const std::string& url);
