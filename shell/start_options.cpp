#include "shell/start_options.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <new>

#include "client/console.h"

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

std::optional<std::string> service_url_problem(const std::string& url) {
  // Parsed by libcurl's URL API, which the transfers use too; what it takes beyond
  // http(s)://host[:port][/path] is refused here.
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
  if (!parsed) throw std::bad_alloc();
  const std::string shape = "\"" + rest_client::printable(rest_client::service_text(url)) +
                            "\" is not http(s)://host[:port][/path]";
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return shape;
  auto part = [&](CURLUPart which) -> std::optional<std::string> {
    char* text = nullptr;
    if (curl_url_get(parsed.get(), which, &text, 0) != CURLUE_OK || text == nullptr) {
      return std::nullopt;
    }
    std::string copy(text);
    curl_free(text);
    return copy;
  };
  // A password would be echoed, and sent in the clear over http: the address is not shown.
  if (part(CURLUPART_USER) || part(CURLUPART_PASSWORD)) {
    return std::string("holds a user name or password, which an address may not (not shown)");
  }
  const auto scheme = part(CURLUPART_SCHEME);
  const auto host = part(CURLUPART_HOST);
  const auto port = part(CURLUPART_PORT);
  if (!scheme || (*scheme != "http" && *scheme != "https") || !host || host->empty() ||
      part(CURLUPART_QUERY) || part(CURLUPART_FRAGMENT) || url.rfind(*scheme + "://", 0) != 0) {
    return shape;
  }
  // The host as written: a name, an IPv4 address, or an IPv6 address in brackets (never an IPv4
  // one, which libcurl would take and then fail to reach).
  if (host->front() == '[' && host->find(':') == std::string::npos) return shape;
  if (host->front() != '[' &&
      host->find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") != std::string::npos) {
    return shape;
  }
  if (port && (port->empty() || port->size() > 5 || std::stoul(*port) == 0)) return shape;
  // Bytes libcurl would send as they are: blanks and controls make no path.
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
      return shape;
    }
  }
  return std::nullopt;
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
    if (!*url) continue;
    if (const auto problem = service_url_problem(**url)) {
      choice.refusal = std::string(name) + " " + *problem;
      return choice;
    }
  }
  if (api) {
    options.endpoints.api = without_trailing_slash(*api);
    options.address_chosen = true;
    if (!account) options.endpoints.account = origin_of(options.endpoints.api);
  }
  if (account) options.endpoints.account = without_trailing_slash(*account);
  // The key goes to both: an https API with an http account service would send it in clear.
  if (options.endpoints.api.rfind("https://", 0) == 0 &&
      options.endpoints.account.rfind("http://", 0) == 0) {
    choice.refusal =
        "the API address is https but the account address is http, which would send "
        "the key in clear; give both as https (or both as http)";
    return choice;
  }
  choice.options = std::move(options);
  return choice;
}
