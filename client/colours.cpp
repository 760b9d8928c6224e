#include "client/colours.h"

#include <cstdlib>

namespace rest_client {

bool colours_enabled() {
  static const bool enabled = [] {
    const char* no_color = std::getenv("NO_COLOR");
    return no_color == nullptr || no_color[0] == '\0';
  }();
  return enabled;
}

}  // namespace rest_client
