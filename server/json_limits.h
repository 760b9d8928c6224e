#pragma once
// Nesting checks on JSON text, made before anything recursive (parsing into a tree, copying,
// serialising) touches it.

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
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

namespace orvix_local {

// Where the text of a top-level object's string member lies (the characters between its quotes),
// when the member appears once and its value holds no escapes; nullopt otherwise. Lets a large
// value (an upload's data) be read in place rather than copied into a tree.
std::optional<std::pair<std::size_t, std::size_t>> plain_string_member(std::string_view text,
                                                                       std::string_view member);

}  // namespace orvix_local
