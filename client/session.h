#pragma once
// Everything one run of the client works with: where the service lives, who is logged in, the
// rate limiter, the clock, the network and the upload settings. main builds one and passes it
// down to every handler; tests build their own.

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "client/http.h"
#include "client/rate_limiter.h"
#include "client/waits.h"

namespace rest_client {

// The client's version, from the build.
extern const std::string client_version;

struct Endpoints {
  std::string api;       // root of the vector-database API
  std::string account;   // the account service, for login
  std::string docs;      // shown in the welcome text
  std::string key_page;  // shown at the key prompt
};

// The endpoints this executable was built to talk to.
Endpoints built_in_endpoints();

// A key found before login, and where: "ORVIX_API_KEY", or the credentials file's section.
struct OfferedKey {
  std::string key;
  std::string origin;
};

// Filled by a successful login.
struct Identity {
  std::string api_key;
  std::string user_id;
  std::string username;
};

inline constexpr int kDefaultShardSize = 209715200;  // 200 MiB

struct UploadSettings {
  int shard_size = kDefaultShardSize;  // bytes of file data per shard
  std::string journal_dir;             // where upload journals are kept; none when empty
};

// What a statement leaves for its record when answers are written as JSON (--output json).
struct StatementOutput {
  std::ostream* records = nullptr;  // one JSON object a statement goes here; none in text mode
  nlohmann::json members = nlohmann::json::object();  // what the statement produced
  long last_status = 0;                               // the last status the service answered
};

struct Session {
  Endpoints endpoints;
  std::optional<OfferedKey> offered_key;  // tried first at login
  Identity identity;
  RateLimiter limiter;
  Waits waits;
  Network network;
  UploadSettings upload;
  StatementOutput output;
};

// The shard size named by the SHARD_SIZE environment variable; a text that is not a usable
// size gives a warning and the default.
int shard_size_from_environment();

// Where upload journals are kept: orvix/uploads under XDG_STATE_HOME when it is an absolute
// path, else under ~/.local/state; empty when neither names a directory.
std::string journal_dir_from_environment();

}  // namespace rest_client
