#include "upload/progress_line.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace rest_client {

ProgressLine::ProgressLine(std::uint64_t file_size)
    : enabled_(isatty(STDERR_FILENO) == 1),
      file_size_(file_size),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::draw(std::uint64_t bytes_read, std::size_t shards) {
  if (!enabled_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::uint64_t done = std::min(bytes_read, file_size_);
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds / 1e6 : 0;
  char text[160];
  if (rate > 0 && done < file_size_) {
    const double left = static_cast<double>(file_size_ - done) / 1e6 / rate;
    std::snprintf(
        text, sizeof text, "Read %.1f of %.1f MB, %zu shards sent, %.1f MB/s, %.0f s left",
        static_cast<double>(done) / 1e6, static_cast<double>(file_size_) / 1e6, shards, rate, left);
  } else {
    std::snprintf(text, sizeof text, "Read %.1f of %.1f MB, %zu shards sent, %.1f MB/s",
                  static_cast<double>(done) / 1e6, static_cast<double>(file_size_) / 1e6, shards,
                  rate);
  }
  std::cerr << "\r\033[K" << text << std::flush;
  shown_ = true;
}

void ProgressLine::clear() {
  if (!shown_) return;
  std::cerr << "\r\033[K" << std::flush;
  shown_ = false;
}

}  // namespace rest_client
