#include "server/csv_stream.h"

#include <algorithm>
#include <cstring>

#include "server/codec.h"
#include "server/large_memory.h"

namespace orvix_local {

void TextBlock::reserve(std::size_t bytes) {
  if (bytes <= capacity) return;
  std::unique_ptr<char[]> larger(new char[bytes]);  // not cleared: it is written before it is read
  prepare_to_fill(larger.get(), bytes);
  if (size > 0) std::memcpy(larger.get(), data.get(), size);
  data = std::move(larger);
  capacity = bytes;
}

CsvStream::CsvStream(const ShardFormat& format, const std::vector<std::string>* ids,
                     const ServiceLimits& limits, const std::atomic<bool>* stop, Texts& texts,
                     Values& values, Add add, Batches* batches)
    : records_(format, limits, stop),
      ids_(ids),
      texts_(texts),
      values_(values),
      record_batches_(batches),
      batch_bytes_(std::max<std::size_t>(limits.feed_batch_bytes, 1)),
      add_(std::move(add)),
      thread_([this] { run(); }) {
  blocks_[0].text = texts_.take();
  blocks_[0].text->reserve(2 * batch_bytes_);
}

CsvStream::~CsvStream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    batches_.clear();
  }
  changed_.notify_all();
  thread_.join();
}

std::span<char> CsvStream::room() {
  // At least a batch's room, or a 64 KiB step. A next block has a batch's room once the line
  // it carries (a batch at most) is in, and a block that keeps a longer line doubles.
  const std::size_t least = std::min<std::size_t>(batch_bytes_, 64 << 10);
  if (blocks_[current_].text->capacity - blocks_[current_].text->size < least) next_block();
  TextBlock& text = *blocks_[current_].text;
  return {text.data.get() + text.size, text.capacity - text.size};
}

void CsvStream::append(const char* data, std::size_t size) {
  // Once a line is bad the rest is only decompressed, so that a broken stream is still told;
  // what was written into the room is written over.
  if (failed_) return;
  TextBlock* text = blocks_[current_].text.get();
  if (data != text->data.get() + text->size) {
    if (text->size + size > text->capacity) {
      next_block();
      text = blocks_[current_].text.get();
      if (text->size + size > text->capacity) grow(text->size + size);
    }
    std::memcpy(text->data.get() + text->size, data, size);
  }
  text->size += size;
  // Only the new bytes are looked through: a long stretch without a break is crossed once.
  const char* added = text->data.get() + text->size - size;
  if (const void* found = ::memrchr(added, '\n', size)) {
    lines_end_ =
        text->size - size + static_cast<std::size_t>(static_cast<const char*>(found) - added) + 1;
  }
  if (lines_end_ - handed_ >= batch_bytes_) {
    hand(text->view().substr(handed_, lines_end_ - handed_));
    handed_ = lines_end_;
  }
}

void CsvStream::grow(std::size_t bytes) {
  // The block moves: what was handed out of it is parsed first.
  wait_parsed(batches_handed_);
  blocks_[current_].text->reserve(std::max(bytes, 2 * blocks_[current_].text->capacity));
}

void CsvStream::next_block() {
  const TextBlock& full = *blocks_[current_].text;
  if (lines_end_ > handed_) {
    hand(full.view().substr(handed_, lines_end_ - handed_));
    handed_ = lines_end_;
  }
  const std::string_view rest = full.view().substr(lines_end_);
  // A line longer than a batch stays, and its block grows.
  if (rest.size() > batch_bytes_) return grow(2 * full.capacity);
  // The unfinished line moves on to the next block, once that block's last batch is parsed.
  const std::size_t next = (current_ + 1) % blocks_.size();
  Block& block = blocks_[next];
  wait_parsed(block.last_batch);
  if (!block.text) block.text = texts_.take();
  block.text->clear();
  block.text->reserve(2 * batch_bytes_);
  if (!rest.empty()) std::memcpy(block.text->data.get(), rest.data(), rest.size());
  block.text->size = rest.size();
  current_ = next;
  handed_ = 0;
  lines_end_ = 0;
}

void CsvStream::finish() {
  const TextBlock& text = *blocks_[current_].text;
  // An empty shard is read too: it may lack the header it should have.
  if (!failed_ && (handed_ < text.size || batches_handed_ == 0)) {
    hand(text.view().substr(handed_));
    handed_ = text.size;
  }
  wait_parsed(batches_handed_);
  if (failure_) std::rethrow_exception(failure_);
  if (ids_ != nullptr && ids_->size() != paired_) {
    throw ApiError(400, "BAD_RECORD",
                   "the shard has " + std::to_string(paired_) + " records but " +
                       std::to_string(ids_->size()) + " string ids");
  }
}

void CsvStream::hand(std::string_view lines) {
  blocks_[current_].last_batch = ++batches_handed_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batches_.push_back(lines);
  }
  changed_.notify_all();
}

void CsvStream::wait_parsed(std::uint64_t batch) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return batches_parsed_ >= batch; });
}

void CsvStream::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || !batches_.empty(); });
    if (batches_.empty()) return;
    const std::string_view lines = batches_.front();
    batches_.pop_front();
    lock.unlock();
    std::exception_ptr failure;
    if (!failed_) {
      try {
        std::shared_ptr<std::vector<float>> block = values_.take();
        std::vector<VectorRecord> records = records_.next(
            lines, block.get(),
            record_batches_ != nullptr ? record_batches_->take() : std::vector<VectorRecord>());
        for (std::size_t i = 0; ids_ != nullptr && i < records.size(); ++i) {
          if (paired_ + i < ids_->size()) records[i].id = (*ids_)[paired_ + i];
        }
        paired_ += records.size();
        add_(std::move(records), std::move(block));
      } catch (...) {
        failure = std::current_exception();
      }
    }
    lock.lock();
    if (failure) {
      failure_ = failure;
      failed_ = true;
    }
    ++batches_parsed_;
    changed_.notify_all();
  }
}

}  // namespace orvix_local
