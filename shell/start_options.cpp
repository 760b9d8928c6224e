#include "shell/start_options.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>

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
  const std::string shape = std::string("\"")
                                .append(rest_client::printable(rest_client::service_text(url)))
                                .append("\" is not http(s)://host[:port][/path]");
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

namespace {

// What each setting is: its name in a profile, its flag, its variable, how a refusal names it
// and what it must be.
struct SettingDef {
  enum Kind { kAddress, kOutput, kFile };
  const char* name;
  const char* flag;
  const char* variable;
  const char* subject;
  Kind kind;
};

constexpr SettingDef kSettings[] = {
    {"api_url", "--api-url", "ORVIX_API_URL", "the API address", SettingDef::kAddress},
    {"account_url", "--account-url", "ORVIX_ACCOUNT_URL", "the account address",
     SettingDef::kAddress},
    {"output", "--output", "ORVIX_OUTPUT", "the output mode", SettingDef::kOutput},
    {"ca_file", "--ca-file", "ORVIX_CA_FILE", "the CA file", SettingDef::kFile},
    {"client_cert", "--client-cert", "ORVIX_CLIENT_CERT", "the client certificate",
     SettingDef::kFile},
    {"client_key", "--client-key", "ORVIX_CLIENT_KEY", "the client key", SettingDef::kFile},
};

// Why a setting's value cannot be used; nullopt when it can.
std::optional<std::string> problem_of(const SettingDef& setting, const std::string& value) {
  switch (setting.kind) {
    case SettingDef::kAddress:
      if (const auto problem = service_url_problem(value)) {
        return std::string(setting.subject) + " " + *problem;
      }
      return std::nullopt;
    case SettingDef::kOutput:
      if (value == "text" || value == "json") return std::nullopt;
      return "--output must be text or json, not \"" + rest_client::printable(value) + "\"";
    case SettingDef::kFile: {
      // Read now, so that a wrong path is named before any request rather than as a TLS failure.
      const int fd = ::open(value.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      struct stat about {};
      const int error = fd < 0 ? errno : ::fstat(fd, &about) != 0 ? errno : 0;
      if (fd >= 0) ::close(fd);
      const std::string named = std::string(setting.subject) + " \"" +
                                rest_client::printable(rest_client::service_text(value)) + "\"";
      if (error != 0) return named + " cannot be read: " + std::strerror(error);
      if (!S_ISREG(about.st_mode)) return named + " is not a regular file";
      return std::nullopt;
    }
  }
  return std::nullopt;
}

bool takes_value(const std::string& flag) {
  if (flag == "--profile" || flag == "--completion") return true;
  for (const auto& setting : kSettings) {
    if (flag == setting.flag) return true;
  }
  return false;
}

std::vector<std::string> setting_names() {
  std::vector<std::string> names;
  for (const auto& setting : kSettings) names.emplace_back(setting.name);
  return names;
}

}  // namespace

StartChoice choose_start_options(const std::vector<std::string>& arguments,
                                 const rest_client::Endpoints& built,
                                 const EnvironmentLookup& environment) {
  StartChoice choice;
  auto refuse = [&choice](std::string why) {
    choice.refusal = std::move(why);
    return choice;
  };
  StartOptions options;
  options.endpoints = built;
  std::map<std::string, std::string> flags;
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
    if (flag == "--save-key" || flag == "--show-config") {
      (flag == "--save-key" ? options.save_key : options.show_config) = true;
      continue;
    }
    const auto equals = flag.find('=');
    const std::string name = flag.substr(0, equals);
    if (!takes_value(name))
      return refuse("unknown flag " + name + " (orvix --help lists the flags)");
    if (equals != std::string::npos) {
      flags[name] = flag.substr(equals + 1);
    } else if (at + 1 < arguments.size()) {
      flags[name] = arguments[++at];
    } else {
      return refuse(name + " needs a value");
    }
  }
  options.words.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
  if (const auto shell = flags.find("--completion"); shell != flags.end()) {
    if (shell->second != "bash" && shell->second != "zsh") {
      return refuse("--completion must be bash or zsh, not \"" +
                    rest_client::printable(shell->second) + "\"");
    }
    options.completion = shell->second;
    choice.options = options;
    return choice;
  }
  for (const char* name : {"ORVIX_API_URL", "ORVIX_ACCOUNT_URL", "ORVIX_OUTPUT", "ORVIX_CA_FILE",
                           "ORVIX_CLIENT_CERT", "ORVIX_CLIENT_KEY", "ORVIX_PROFILE"}) {
    const auto value = environment(name);
    if (value && value->empty()) return refuse(std::string(name) + " is set but empty");
  }

  // The profile, and the config file that holds it.
  const std::string dir = settings_dir(environment);
  if (!dir.empty()) {
    options.config_path = dir + "/config";
    options.credentials_path = dir + "/credentials";
  }
  IniFile config;
  std::string profile_source;
  try {
    if (!dir.empty()) config = read_ini(options.config_path, setting_names());
    if (const auto flag = flags.find("--profile"); flag != flags.end()) {
      options.profile = flag->second;
      profile_source = "flag --profile";
    } else if (const auto variable = environment("ORVIX_PROFILE")) {
      options.profile = *variable;
      profile_source = "variable ORVIX_PROFILE";
    } else if (config.has_section("default")) {
      options.profile = "default";
      profile_source = "the config file's [default]";
    }
    if (!options.profile.empty() && !config.has_section(section_of(options.profile))) {
      const bool stored =
          !options.credentials_path.empty() &&
          read_ini(options.credentials_path, {"api_key"}).has_section(section_of(options.profile));
      if (!stored) {
        return refuse("there is no profile \"" + rest_client::printable(options.profile) +
                      "\" in " +
                      (dir.empty() ? "the settings (HOME is not set)" : options.config_path));
      }
    }
  } catch (const SettingsError& e) {
    return refuse(e.what());
  }
  if (!options.profile.empty()) {
    options.chosen.push_back({"profile", options.profile, profile_source});
  }

  // Each setting: flag, variable, profile, build.
  const std::string section = section_of(options.profile);
  for (const auto& setting : kSettings) {
    ChosenSetting chosen{setting.name, "", "built in"};
    std::string where;  // the profile's file and line, before a refusal
    if (const auto flag = flags.find(setting.flag); flag != flags.end()) {
      chosen.value = flag->second;
      chosen.source = std::string("flag ") + setting.flag;
    } else if (const auto variable = environment(setting.variable)) {
      chosen.value = *variable;
      chosen.source = std::string("variable ") + setting.variable;
    } else if (const IniEntry* entry =
                   options.profile.empty() ? nullptr : config.find(section, setting.name)) {
      chosen.value = entry->value;
      chosen.source = "profile " + options.profile + " in " + config.path;
      where = config.path + " line " + std::to_string(entry->line) + ": ";
    }
    if (chosen.source != "built in") {
      if (const auto problem = problem_of(setting, chosen.value)) return refuse(where + *problem);
    }
    options.chosen.push_back(std::move(chosen));
  }
  auto chosen = [&options](const std::string& name) -> ChosenSetting& {
    for (auto& setting : options.chosen) {
      if (setting.name == name) return setting;
    }
    throw std::logic_error("no setting " + name);
  };
  auto given = [&](const std::string& name) { return chosen(name).source != "built in"; };

  if (given("api_url")) {
    options.endpoints.api = without_trailing_slash(chosen("api_url").value);
    options.address_chosen = true;
  }
  if (given("account_url")) {
    options.endpoints.account = without_trailing_slash(chosen("account_url").value);
  } else if (given("api_url")) {
    options.endpoints.account = origin_of(options.endpoints.api);
    chosen("account_url").source = "the API address's origin";
  }
  chosen("api_url").value = options.endpoints.api;
  chosen("account_url").value = options.endpoints.account;
  if (!given("output")) chosen("output").value = "text";
  options.json_output = chosen("output").value == "json";
  options.tls = {chosen("ca_file").value, chosen("client_cert").value, chosen("client_key").value};
  // The key goes to both: an https API with an http account service would send it in clear.
  if (options.endpoints.api.rfind("https://", 0) == 0 &&
      options.endpoints.account.rfind("http://", 0) == 0) {
    return refuse(
        "the API address is https but the account address is http, which would send "
        "the key in clear; give both as https (or both as http)");
  }
  if (!options.tls.client_key.empty() && options.tls.client_cert.empty()) {
    return refuse("a client key needs its client certificate (--client-cert)");
  }

  // The key: the variable's, else the profile's stored one (never for --save-key, which stores
  // the key the variable or the prompt gives).
  const auto key = environment("ORVIX_API_KEY");
  if (key && !key->empty()) {
    options.offered_key = rest_client::OfferedKey{*key, "ORVIX_API_KEY"};
  } else if (!options.save_key && !options.credentials_path.empty()) {
    try {
      const StoredKey stored =
          read_stored_key(options.credentials_path, options.profile.empty() ? "default" : section);
      if (!stored.warning.empty()) options.warnings.push_back(stored.warning);
      if (stored.key) options.offered_key = rest_client::OfferedKey{*stored.key, stored.origin};
    } catch (const SettingsError& e) {
      return refuse(e.what());
    }
  }
  choice.options = std::move(options);
  return choice;
}
