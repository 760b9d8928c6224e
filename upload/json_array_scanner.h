#pragma once
// Finding the elements of a JSON file's top-level array without parsing them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace rest_client {

// Hands out the elements of the top-level array in file order: the text between the commas
// that separate them at the array's own level, blanks included. Everything before the first
// '[' is skipped and the array's closing ']' ends the elements, so that any document the JSON
// library accepts is cut where that library's parse would put the element boundaries.
//
// Whether the document may be well-formed is tracked on the way (`plain`): blanks only around
// the array, no empty element, nesting within `max_depth`, no closing bracket without its
// opening one. A document that is not plain is not necessarily wrong; its reader asks the
// JSON library.
class JsonArrayScanner {
 public:
  // Bytes readable after each element's text, for parsers that read ahead.
  static constexpr std::size_t kPadding = 64;
  using Read = std::function<std::size_t(char* buffer, std::size_t size)>;

  // Reads `block` bytes at a time, or more while one element is longer.
  JsonArrayScanner(Read read, int max_depth, std::size_t block);

  // The next element's text, valid until the next call; nothing at the end of the array (or of
  // the file, when the array is never closed).
  std::optional<std::string_view> next();
  // After `next` gave nothing: reads the rest of the file to see that only blanks follow.
  void read_to_end();
  bool plain() const { return plain_; }
  // Where in the file the text `next` gave last begins.
  std::uint64_t offset() const { return last_offset_; }

 private:
  bool fill();

  Read read_;
  int max_depth_;
  std::size_t block_;
  std::vector<char> buffer_;
  std::size_t start_ = 0, pos_ = 0, end_ = 0;  // element start, scan position, data end
  std::uint64_t base_ = 0;                     // the file offset of the buffer's first byte
  std::uint64_t last_offset_ = 0;
  int depth_ = 0;
  bool inside_ = false, in_string_ = false, escaped_ = false, done_ = false;
  bool plain_ = true, seen_element_ = false;
};

}  // namespace rest_client
