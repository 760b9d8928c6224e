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

// Just past the closing quote of the string whose opening quote is at `at`; npos when the text
// ends first.
std::size_t string_end(std::string_view text, std::size_t at);

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

// Where the value of a top-level object's member lies (its first byte to just past its last),
// when the text is an object naming the member once; nullopt otherwise. Nothing is built: the
// scan follows only strings and brackets, so the key of a request or the data of a batch can be
// read before (or instead of) parsing the whole text.
std::optional<std::pair<std::size_t, std::size_t>> member_span(std::string_view text,
                                                               std::string_view member);

// The characters between the quotes of a top-level string member that holds no escapes; nullopt
// otherwise. Lets a large value (an upload's data) be read in place.
std::optional<std::pair<std::size_t, std::size_t>> plain_string_member(std::string_view text,
                                                                       std::string_view member);

// About the bytes the JSON library takes to hold `text` as a tree, counted from its values,
// containers, members and strings: what a request must be able to hold before it is parsed.
std::size_t tree_cost(std::string_view text);

}  // namespace orvix_local
