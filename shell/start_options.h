#pragma once
// What the command line and the environment choose before any statement: the service's
// addresses and the output mode. Leading flags come before the statement words:
//   orvix [--api-url URL] [--account-url URL] [--output text|json] [STATEMENT WORDS...]
// A flag beats its variable (ORVIX_API_URL, ORVIX_ACCOUNT_URL, ORVIX_OUTPUT), which beats the
// build's value. Given an API address but no account address, the account service is taken to
// live at the API's origin (as Orvix Local's does).

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/session.h"

struct StartOptions {
  rest_client::Endpoints endpoints;
  bool address_chosen = false;  // the API address came from a flag or a variable
  bool json_output = false;
  std::vector<std::string> words;          // the statement, when given
  std::optional<std::string> flag_answer;  // --help or --version, alone
};

// The options, or the one line that says why they cannot be used (the process then exits 2).
struct StartChoice {
  std::optional<StartOptions> options;
  std::string refusal;
};

// `environment` looks a variable up (nullopt when it is not set).
StartChoice choose_start_options(
    const std::vector<std::string>& arguments, const rest_client::Endpoints& built,
    const std::function<std::optional<std::string>(const std::string&)>& environment);

// Why a service address cannot be used (its text escaped, and never shown when it holds a user
// name or password); nullopt for http(s)://host[:port][/path], host a name, an IPv4 address or
// [IPv6], port 1-65535.
std::optional<std::string> service_url_problem(const std::string& url);
