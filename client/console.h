#pragma once
// Tagged, coloured console lines used by every command handler.

#include <string>

namespace rest_client {

inline constexpr const char* kGreen = "\033[32m";
inline constexpr const char* kYellow = "\033[33m";
inline constexpr const char* kRed = "\033[31m";
inline constexpr const char* kReset = "\033[0m";

void print_success(std::string message);
void print_warning(std::string message);
void print_error(std::string message);
void print_info(std::string message);
void print_border();

}  // namespace rest_client
