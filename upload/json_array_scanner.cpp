#include "upload/json_array_scanner.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rest_client {
namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool blank_only(std::string_view text) {
  for (char c : text) {
    if (!blank(c)) return false;
  }
  return true;
}

// The position of the first byte at or after `pos` that is one of `Stops`, or `end`. Most of an
// upload's JSON is numbers, where these bytes are rare, so sixteen bytes are looked at at once.
template <char... Stops>
std::size_t skip_to(const char* data, std::size_t pos, std::size_t end) {
#ifdef __SSE2__
  for (; pos + 16 <= end; pos += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
    const __m128i hits = (_mm_cmpeq_epi8(block, _mm_set1_epi8(Stops)) | ...);
    if (const int mask = _mm_movemask_epi8(hits); mask != 0) return pos + __builtin_ctz(mask);
  }
#endif
  while (pos < end && ((data[pos] != Stops) && ...)) ++pos;
  return pos;
}

}  // namespace

JsonArrayScanner::JsonArrayScanner(Read read, int max_depth, std::size_t block)
    : read_(std::move(read)), max_depth_(max_depth), block_(block), buffer_(block + kPadding) {}

// Keeps the unfinished element and appends the next block; false at the end of the file.
bool JsonArrayScanner::fill() {
  const std::size_t keep = inside_ ? end_ - start_ : 0;
  base_ += end_ - keep;
  if (keep > 0) std::memmove(buffer_.data(), buffer_.data() + start_, keep);
  pos_ -= end_ - keep;
  start_ = 0;
  end_ = keep;
  if (buffer_.size() - kPadding - end_ < block_ / 2) buffer_.resize(buffer_.size() * 2);
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
      pos_ = skip_to<'"', '\\'>(data, pos_, end_);
      if (pos_ == end_) continue;
      if (data[pos_++] == '\\') {
        escaped_ = true;
      } else {
        in_string_ = false;
      }
      continue;
    }
    // Inside an element, commas separate its own members and need no look.
    pos_ = depth_ == 0 ? skip_to<'"', '[', ']', '{', '}', ','>(data, pos_, end_)
                       : skip_to<'"', '[', ']', '{', '}'>(data, pos_, end_);
    if (pos_ == end_) continue;
    const char c = data[pos_++];
    if (depth_ == 0 && (c == ',' || c == ']')) {
      const std::string_view text(data + start_, pos_ - 1 - start_);
      const std::size_t first = start_;
      start_ = pos_;
      if (c == ']') done_ = true;
      if (!blank_only(text)) {
        seen_element_ = true;
        last_offset_ = base_ + first + text.find_first_not_of(" \t\r\n");
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
      default:  // ']' or '}' closing a nested value
        if (--depth_ < 0) plain_ = false;
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
