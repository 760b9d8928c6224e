#include "client/login.h"

#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/console.h"
#include "client/http.h"
#include "client/line_input.h"
#include "client/request.h"
#include "client/secrets.h"

namespace rest_client {
namespace {

void login_error(const std::string& text) {
  const std::string shown = printable(text);
  std::cerr << red() << "[ERROR] " << shown << reset() << std::endl;
  ErrorLineRecord::note(shown);
}

const char* const kBanner[] = {
    " ██████╗ ██████╗ ██╗   ██╗██╗██╗  ██╗", "██╔═══██╗██╔══██╗██║   ██║██║╚██╗██╔╝",
    "██║   ██║██████╔╝██║   ██║██║ ╚███╔╝ ", "██║   ██║██╔══██╗╚██╗ ██╔╝██║ ██╔██╗ ",
    "╚██████╔╝██║  ██║ ╚████╔╝ ██║██╔╝ ██╗", " ╚═════╝ ╚═╝  ╚═╝  ╚═══╝  ╚═╝╚═╝  ╚═╝",
};

void logged_in(const Session& session) {
  std::cout << "Logged in successfully! Username: "
            << printable(service_text(session.identity.username)) << std::endl;
  std::cout << std::endl;
}

}  // namespace

bool handle_login_with_api_key(Session& session, const std::string& key) {
  add_secret(key);
  try {
    const HttpResponse response = http_get(
        session.network, session.endpoints.account + "/bk/validate-api-key",
        {"Accept: */*", "Cache-Control: no-cache", "Connection: keep-alive", "X-API-Key: " + key});
    if (response.status != 0) session.output.last_status = response.status;
    if (response.status != 200) {
      login_error("Login failed! Status code: " + std::to_string(response.status) +
                  "\nResponse: " + service_text(response.text));
      if (response.status == 0 && !response.failure.empty()) login_error(response.failure);
      return false;
    }
    const auto answer = parse_json(response.text);
    if (answer.is_object() && answer.contains("user_id") && answer.contains("username")) {
      Identity identity{key, answer.at("user_id").get<std::string>(),
                        answer.at("username").get<std::string>()};
      session.identity = std::move(identity);
      std::cout << green() << "[SUCCESS] Login successful!" << reset() << std::endl;
      return true;
    }
    if (answer.is_object() && answer.contains("detail")) {
      login_error(service_text(answer.at("detail").get<std::string>()));
      return false;
    }
    login_error("Unexpected response format: " + service_text(response.text));
    return false;
  } catch (const std::exception& e) {
    login_error(std::string("Exception in handle_login: ") + e.what());
    return false;
  }
}

LoginOutcome prompt_and_authenticate(Session& session, bool one_shot) {
  std::cout << std::endl << std::endl;
  for (const char* line : kBanner) std::cout << line << std::endl;
  std::cout << std::endl;
  std::cout << "Welcome to use Orvix database Command Line Interface (CLI), version "
            << client_version << ". Get ready to connect with your Orvix database, easily!"
            << std::endl;
  std::cout << std::endl;
  std::cout << "To get started, please enter your Orvix API key to login. You can get the API "
               "after registering at "
            << session.endpoints.key_page << "." << std::endl;
  std::cout << std::endl;

  // Only a person at the shell's prompt can answer a refusal with another key.
  const bool person = !one_shot && stdin_is_terminal();
  if (session.offered_key && !session.offered_key->key.empty()) {
    std::cout << "Found Orvix API key, validating..." << std::endl;
    if (handle_login_with_api_key(session, session.offered_key->key)) {
      logged_in(session);
      return LoginOutcome::kLoggedIn;
    }
    if (!person) {
      std::cout << "Failed to authenticate with the key in " << session.offered_key->origin << "."
                << std::endl;
      return LoginOutcome::kRefused;
    }
    std::cout << "Failed to authenticate. Please enter a valid API key." << std::endl;
  }
  std::cout << "No global Orvix API key found. Please..." << std::endl;
  for (;;) {
    const auto line = read_secret_line("Enter your Orvix API key: ");
    if (!line) {
      std::cout << std::endl << "Input canceled. Exiting..." << std::endl;
      return stdin_is_terminal() ? LoginOutcome::kCancelled : LoginOutcome::kRefused;
    }
    if (handle_login_with_api_key(session, *line)) {
      logged_in(session);
      return LoginOutcome::kLoggedIn;
    }
    if (!person) {
      std::cout << "Failed to authenticate." << std::endl;
      return LoginOutcome::kRefused;
    }
    std::cout << "Failed to authenticate. Please try again with a valid API key." << std::endl;
  }
}

}  // namespace rest_client
