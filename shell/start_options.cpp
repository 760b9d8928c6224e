#include "shell/start_options.h"

#include <cctype>

namespace {

// "scheme://host[:port]" of a usable URL.
std::string origin_of(const std::string& url) {
  const auto host = url.find("://") + 3;
  const auto path = url.find('/', host);
  return url.substr(0, path);
}

// Without a trailing slash, the endpoint paths join it cleanly.
std::string without_trailing_slash(std::string url) {
  while (url.size() > 1 && url.back() == '/' && url.find("://") + 3 < url.size() - 1) {
    url.pop_back();
  }
  return url;
}

}  // namespace

bool usable_service_url(const std::string& url) {
  std::size_t at;
  if (url.rfind("http://", 0) == 0) {
    at = 7;
  } else if (url.rfind("https://", 0) == 0) {
    at = 8;
  } else {
    return false;
  }
  // The host: a bracketed IPv6 address, or letters, digits, dots and hyphens.
  const std::size_t host = at;
  if (at < url.size() && url[at] == '[') {
    const auto close = url.find(']', at);
    if (close == std::string::npos || close == at + 1) return false;
    for (std::size_t i = at + 1; i < close; ++i) {
      if (!std::isxdigit(static_cast<unsigned char>(url[i])) && url[i] != ':' && url[i] != '.') {
        return false;
      }
    }
    at = close + 1;
  } else {
    while (at < url.size() && (std::isalnum(static_cast<unsigned char>(url[at])) ||
                               url[at] == '.' || url[at] == '-')) {
      ++at;
    }
    if (at == host) return false;
  }
  if (at < url.size() && url[at] == ':') {
    const std::size_t digits = ++at;
    while (at < url.size() && std::isdigit(static_cast<unsigned char>(url[at]))) ++at;
    if (at == digits || at - digits > 5 || std::stoul(url.substr(digits, at - digits)) == 0 ||
        std::stoul(url.substr(digits, at - digits)) > 65535) {
      return false;
    }
  }
  if (at == url.size()) return true;
  if (url[at] != '/') return false;
  for (; at < url.size(); ++at) {
    const auto c = static_cast<unsigned char>(url[at]);
    if (c <= 0x20 || c >= 0x7f || c == '?' || c == '#') return false;
  }
  return true;
}

StartChoice choose_start_options(
    const std::vector<std::string>& arguments, const rest_client::Endpoints& built,
    const std::function<std::optional<std::string>(const std::string&)>& environment) {
  StartChoice choice;
  StartOptions options;
  options.endpoints = built;
  std::optional<std::string> api, account, output;
  // Variables first, so that the flags read next replace them.
  for (const auto& [name, target] :
       {std::pair{"ORVIX_API_URL", &api}, std::pair{"ORVIX_ACCOUNT_URL", &account},
        std::pair{"ORVIX_OUTPUT", &output}}) {
    if (const auto value = environment(name)) {
      if (value->empty()) {
        choice.refusal = std::string(name) + " is set but empty";
        return choice;
      }
      *target = *value;
    }
  }
  std::size_t at = 0;
  for (; at < arguments.size() && arguments[at].rfind("--", 0) == 0; ++at) {
    const std::string& flag = arguments[at];
    if (flag == "--") {  // the end of the flags
      ++at;
      break;
    }
    if ((flag == "--help" || flag == "--version") && arguments.size() == 1) {
      options.flag_answer = flag;
      choice.options = options;
      return choice;
    }
    if (flag == "--help" || flag == "--version") break;  // then a statement's first word
    const auto equals = flag.find('=');
    const std::string name = flag.substr(0, equals);
    std::optional<std::string>* target = name == "--api-url"       ? &api
                                         : name == "--account-url" ? &account
                                         : name == "--output"      ? &output
                                                                   : nullptr;
    if (target == nullptr) {
      choice.refusal = "unknown flag " + name + " (orvix --help lists the flags)";
      return choice;
    }
    if (equals != std::string::npos) {
      *target = flag.substr(equals + 1);
    } else if (at + 1 < arguments.size()) {
      *target = arguments[++at];
    } else {
      choice.refusal = name + " needs a value";
      return choice;
    }
  }
  options.words.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
  if (output && *output != "text" && *output != "json") {
    choice.refusal = "--output must be text or json, not \"" + *output + "\"";
    return choice;
  }
  options.json_output = output && *output == "json";
  for (const auto& [name, url] :
       {std::pair{"the API address", &api}, std::pair{"the account address", &account}}) {
    if (*url && !usable_service_url(**url)) {
      choice.refusal = std::string(name) + " \"" + **url + "\" is not http(s)://host[:port][/path]";
      return choice;
    }
  }
  if (api) {
    options.endpoints.api = without_trailing_slash(*api);
    options.address_chosen = true;
    if (!account) options.endpoints.account = origin_of(options.endpoints.api);
  }
  if (account) options.endpoints.account = without_trailing_slash(*account);
  choice.options = std::move(options);
  return choice;
}
