#include "upload/json_array_scanner.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace rest_client {
namespace {

constexpr std::size_t kBlock = 4 << 20;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool blank_only(std::string_view text) {
  for (char c : text) {
    if (!blank(c)) return false;
  }
  return true;
}

// The bytes that end a run of ordinary ones, inside strings and outside them.
constexpr std::array<bool, 256> table(std::string_view stops) {
  std::array<bool, 256> result{};
  for (char c : stops) result[static_cast<unsigned char>(c)] = true;
  return result;
}
constexpr auto kStringStops = table("\"\\");
constexpr auto kStructureStops = table("\"[]{},");

std::size_t skip(const char* data, std::size_t pos, std::size_t end,
                 const std::array<bool, 256>& stops) {
  while (pos < end && !stops[static_cast<unsigned char>(data[pos])]) ++pos;
  return pos;
}

}  // namespace

JsonArrayScanner::JsonArrayScanner(Read read, int max_depth)
    : read_(std::move(read)), max_depth_(max_depth), buffer_(kBlock + kPadding) {}

// Keeps the unfinished element and appends the next block; false at the end of the file.
bool JsonArrayScanner::fill() {
  const std::size_t keep = inside_ ? end_ - start_ : 0;
  if (keep > 0) std::memmove(buffer_.data(), buffer_.data() + start_, keep);
  pos_ -= end_ - keep;
  start_ = 0;
  end_ = keep;
  if (buffer_.size() - kPadding - end_ < kBlock / 2) buffer_.resize(buffer_.size() * 2);
  const std::size_t got = read_(buffer_.data() + end_, buffer_.size() - kPadding - end_);
  end_ += got;
  return got > 0;
}

std::optional<std::string_view> JsonArrayScanner::next() {
  if (done_) return std::nullopt;
  const char* data = buffer_.data();
  for (;;) {
    if (pos_ == end_) {
      if (!fill()) {
        plain_ = false;  // the array was never closed
        done_ = true;
        return std::nullopt;
      }
      data = buffer_.data();
    }
    if (!inside_) {
      const char c = data[pos_++];
      if (c == '[') {
        inside_ = true;
        start_ = pos_;
      } else if (!blank(c)) {
        plain_ = false;
      }
      continue;
    }
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
        ++pos_;
        continue;
      }
      pos_ = skip(data, pos_, end_, kStringStops);
      if (pos_ == end_) continue;
      if (data[pos_++] == '\\') {
        escaped_ = true;
      } else {
        in_string_ = false;
      }
      continue;
    }
    pos_ = skip(data, pos_, end_, kStructureStops);
    if (pos_ == end_) continue;
    const char c = data[pos_++];
    if (depth_ == 0 && (c == ',' || c == ']')) {
      const std::string_view text(data + start_, pos_ - 1 - start_);
      start_ = pos_;
      if (c == ']') done_ = true;
      if (!blank_only(text)) {
        seen_element_ = true;
        return text;
      }
      // "[]" is the only place an element may be missing.
      if (c == ',' || seen_element_) plain_ = false;
      if (done_) return std::nullopt;
      continue;
    }
    switch (c) {
      case '"':
        in_string_ = true;
        break;
      case '[':
      case '{':
        if (++depth_ > max_depth_) plain_ = false;
        break;
      default:  // ']' or '}' closing a nested value, ',' between its members
        if (c != ',' && --depth_ < 0) plain_ = false;
        break;
    }
  }
}

void JsonArrayScanner::read_to_end() {
  for (;;) {
    for (; pos_ < end_; ++pos_) {
      if (!blank(buffer_[pos_])) {
        plain_ = false;
        return;
      }
    }
    inside_ = false;
    if (!fill()) return;
  }
}

}  // namespace rest_client
