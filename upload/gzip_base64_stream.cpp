#include "upload/gzip_base64_stream.h"

#include <cstring>
#include <stdexcept>

#include "client/payload.h"

namespace rest_client {
namespace {

constexpr std::size_t kInputChunk = 1 << 20;
constexpr std::size_t kOutputChunk = 1 << 20;

}  // namespace

GzipBase64Stream::GzipBase64Stream()
    : level_buffer_(ISAL_DEF_LVL1_DEFAULT), input_(kInputChunk), output_(kOutputChunk) {}

void GzipBase64Stream::begin(std::string* target) {
  isal_deflate_init(&stream_);
  stream_.level = 1;
  stream_.level_buf = level_buffer_.data();
  stream_.level_buf_size = static_cast<uint32_t>(level_buffer_.size());
  stream_.gzip_flag = IGZIP_GZIP;
  stream_.flush = NO_FLUSH;
  target_ = target;
  input_used_ = 0;
  carry_size_ = 0;
  raw_size_ = 0;
}

void GzipBase64Stream::write(const char* data, std::size_t size) {
  raw_size_ += size;
  while (size > 0) {
    const std::size_t n = std::min(size, input_.size() - input_used_);
    std::memcpy(input_.data() + input_used_, data, n);
    input_used_ += n;
    data += n;
    size -= n;
    if (input_used_ == input_.size()) compress(false);
  }
}

void GzipBase64Stream::finish() {
  compress(true);
  if (carry_size_ > 0) base64_append(carry_, carry_size_, *target_);
  carry_size_ = 0;
}

void GzipBase64Stream::compress(bool last) {
  stream_.next_in = input_.data();
  stream_.avail_in = static_cast<uint32_t>(input_used_);
  stream_.end_of_stream = last ? 1 : 0;
  do {
    stream_.next_out = output_.data();
    stream_.avail_out = static_cast<uint32_t>(output_.size());
    if (isal_deflate(&stream_) != COMP_OK) throw std::runtime_error("gzip compression failed");
    encode(output_.data(), output_.size() - stream_.avail_out);
  } while (stream_.avail_in > 0 || (last && stream_.internal_state.state != ZSTATE_END));
  input_used_ = 0;
}

void GzipBase64Stream::encode(const unsigned char* data, std::size_t size) {
  while (carry_size_ > 0 && carry_size_ < 3 && size > 0) {
    carry_[carry_size_++] = *data++;
    --size;
  }
  if (carry_size_ == 3) {
    base64_append(carry_, 3, *target_);
    carry_size_ = 0;
  }
  const std::size_t whole = size - size % 3;
  base64_append(data, whole, *target_);
  for (std::size_t i = whole; i < size; ++i) carry_[carry_size_++] = data[i];
}

}  // namespace rest_client
