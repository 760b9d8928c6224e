#pragma once
// The client's bounds on what it reads from outside: each named once, with why it is what it is.

#include <cstddef>
#include <cstdint>

namespace rest_client::limits {

// Nesting of a service answer: the deepest the service sends is a search's matches (five
// levels); a deeper answer would only cost stack to read.
inline constexpr int kDeepestAnswer = 128;

// An upload journal read back: a few hundred bytes a shard, and five levels of nesting.
inline constexpr std::uint64_t kLongestJournal = 64 << 20;
inline constexpr int kDeepestJournal = 8;

// Ids a dry run checks for repeats: 24 bytes each (a 64-bit hash, the record and its offset).
inline constexpr std::size_t kCheckedIds = 5000000;

// The settings and credentials files: a few profiles of a few lines each. A line fits inih's
// buffer of 200 bytes with its line break.
inline constexpr std::uint64_t kLargestSettingsFile = 1 << 20;
inline constexpr std::size_t kLongestSettingsLine = 198;

}  // namespace rest_client::limits
