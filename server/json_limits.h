#pragma once
// Nesting checks on JSON text, made before anything recursive (parsing into a tree, copying,
// serialising) touches it.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace orvix_local {

// The 1-based number of the first element of a top-level array (or 1 for any other document)
// whose nesting goes deeper than `limit` levels, counting the document itself; nullopt when
// none does. Brackets inside strings do not count.
std::optional<std::size_t> too_deep(std::string_view text, int limit);

}  // namespace orvix_local

namespace orvix_local {

// The texts of the elements of a top-level JSON array, each checked for nesting (at most
// `max_depth` levels inside the array) and size, so that they can be parsed one at a time.
// Throws std::runtime_error naming the element at fault; the elements' own syntax is left to
// the parser.
std::vector<std::string_view> array_elements(std::string_view text, int max_depth,
                                             std::size_t max_element_bytes);

}  // namespace orvix_local
