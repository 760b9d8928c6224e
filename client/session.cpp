#include "client/session.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "client/console.h"

namespace rest_client {

const std::string client_version = ORVIX_VERSION;

int shard_size_from_environment() {
  const char* text = std::getenv("SHARD_SIZE");
  if (text == nullptr) return kDefaultShardSize;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < 0 || value > INT_MAX) {
    print_warning(" SHARD_SIZE=\"" + std::string(text) +
                  "\" is not a shard size in bytes; using the default " +
                  std::to_string(kDefaultShardSize));
    return kDefaultShardSize;
  }
  return static_cast<int>(value);
}

std::string journal_dir_from_environment() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/orvix/uploads";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/orvix/uploads";
  return "";
}

}  // namespace rest_client
