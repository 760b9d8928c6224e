#pragma once
// One line on a terminal's standard error, redrawn in place while a file is read: bytes read of
// the file's size, shards sent, MB/s and the time left. Nothing at all when standard error is
// not a terminal.

#include <chrono>
#include <cstdint>

namespace rest_client {

class ProgressLine {
 public:
  explicit ProgressLine(std::uint64_t file_size);
  ~ProgressLine() { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void draw(std::uint64_t bytes_read, std::size_t shards);
  // Removes the line, so that other lines start on a clean one.
  void clear();

 private:
  bool enabled_;
  bool shown_ = false;
  std::uint64_t file_size_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace rest_client
