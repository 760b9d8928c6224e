#pragma once
// Tagged, coloured console lines used by every command handler.

#include <string>

#include "client/colours.h"

namespace rest_client {

void print_success(std::string message);
void print_warning(std::string message);
void print_error(std::string message);
void print_info(std::string message);
void print_border();

}  // namespace rest_client
