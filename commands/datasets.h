#pragma once

#include <cstdint>
#include <string>

namespace rest_client {

// A byte count as a short text in KB, MB, GB or TB with two decimals.
std::string to_readable_size(std::uint64_t bytes);

}  // namespace rest_client
