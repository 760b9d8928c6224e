#pragma once
// What the scanner notices on a line besides its tokens.

#include <cstddef>
#include <utility>
#include <vector>

struct ScanNotes {
  bool invalid_text = false;        // a word or string is not UTF-8
  bool unterminated_quote = false;  // a double quote opens a string the line never closes
  std::size_t column = 0;           // bytes scanned so far
  // Bytes that are no part of any token, and their 1-based columns: they are dropped, and said.
  std::vector<std::pair<unsigned char, std::size_t>> dropped;
};
