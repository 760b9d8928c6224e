#pragma once
// Terminal colour sequences, or nothing at all when NO_COLOR is set and not empty.

namespace rest_client {

bool colours_enabled();

inline const char* green() {
  return colours_enabled() ? "\033[32m" : "";
}
inline const char* yellow() {
  return colours_enabled() ? "\033[33m" : "";
}
inline const char* red() {
  return colours_enabled() ? "\033[31m" : "";
}
inline const char* reset() {
  return colours_enabled() ? "\033[0m" : "";
}

}  // namespace rest_client
