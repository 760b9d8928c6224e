#pragma once
// The elements of a large JSON array, checked for nesting and size before anything recursive
// (parsing, copying) touches them.

#include <cstddef>
#include <string_view>
#include <vector>

namespace orvix_local {

// The texts of the elements of a top-level JSON array, each checked for nesting (at most
// `max_depth` levels inside the array) and size, so that they can be parsed one at a time.
// Throws std::runtime_error naming the element at fault; the elements' own syntax is left to
// the parser.
std::vector<std::string_view> array_elements(std::string_view text, int max_depth,
                                             std::size_t max_element_bytes);

}  // namespace orvix_local
