#pragma once
// The client's bounds on what it reads from outside: each named once, with why it is what it is.

#include <cstddef>
#include <cstdint>

namespace rest_client::limits {

// A line of standard input (a statement, an answer, a key): a statement with a large vector
// fits; UPLOAD sends data files of any size.
inline constexpr std::size_t kLongestInputLine = std::size_t{256} << 20;

// Text from the service shown in one line: enough for any message, never a whole answer.
inline constexpr std::size_t kLongestPrintedText = 8192;

// An answer read from the service, in MiB, unless ORVIX_MAX_ANSWER_MB says otherwise: the
// largest search answer is a few MiB.
inline constexpr std::size_t kDefaultMaxAnswerMb = 64;

// A data file's first line (a CSV header, or the line the column questions show).
inline constexpr std::size_t kLongestFirstLine = 16 << 20;

// A .npy header (a few hundred bytes in practice) and the values of one embedding.
inline constexpr std::size_t kLongestNpyHeader = 1 << 20;
inline constexpr std::uint64_t kLargestDim = 1 << 24;

// Nesting of one element of a JSON data file, as Orvix Local takes it (the array is one more).
inline constexpr int kDeepestDataElement = 32;

// Problems a dry run lists one by one; the rest are counted.
inline constexpr std::size_t kProblemsShown = 20;

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
