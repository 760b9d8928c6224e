#include "server/csv_stream.h"

#include <string.h>

#include <algorithm>

#include "server/codec.h"

namespace orvix_local {

CsvStream::CsvStream(const ShardFormat& format, const std::vector<std::string>* ids,
                     const ServiceLimits& limits, const std::atomic<bool>* stop, Texts& texts,
                     Values& values, Add add)
    : records_(format, limits, stop),
      ids_(ids),
      texts_(texts),
      values_(values),
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

void CsvStream::append(const char* data, std::size_t size) {
  // Once a line is bad the rest is only decompressed, so that a broken stream is still told.
  if (failed_) return;
  std::string* text = blocks_[current_].text.get();
  if (text->size() + size > text->capacity()) {
    next_block();
    text = blocks_[current_].text.get();
  }
  text->append(data, size);
  // Only the new bytes are looked through: a long stretch without a break is crossed once.
  if (const void* found = ::memrchr(data, '\n', size)) {
    lines_end_ = text->size() - size + (static_cast<const char*>(found) - data) + 1;
  }
  if (lines_end_ - handed_ >= batch_bytes_) {
    hand(std::string_view(*text).substr(handed_, lines_end_ - handed_));
    handed_ = lines_end_;
  }
}

void CsvStream::next_block() {
  std::string& full = *blocks_[current_].text;
  if (lines_end_ > handed_) {
    hand(std::string_view(full).substr(handed_, lines_end_ - handed_));
    handed_ = lines_end_;
  }
  const std::string_view rest = std::string_view(full).substr(lines_end_);
  if (rest.size() > batch_bytes_) {
    // A line longer than a batch stays: its block grows (and moves) once what was handed out of
    // it is parsed.
    wait_parsed(batches_handed_);
    return;
  }
  // The unfinished line moves on to the next block, once that block's last batch is parsed.
  const std::size_t next = (current_ + 1) % blocks_.size();
  Block& block = blocks_[next];
  wait_parsed(block.last_batch);
  if (!block.text) block.text = texts_.take();
  block.text->clear();
  block.text->reserve(2 * batch_bytes_);
  block.text->append(rest);
  current_ = next;
  handed_ = 0;
  lines_end_ = 0;
}

void CsvStream::finish() {
  const std::string& text = *blocks_[current_].text;
  // An empty shard is read too: it may lack the header it should have.
  if (!failed_ && (handed_ < text.size() || batches_handed_ == 0)) {
    hand(std::string_view(text).substr(handed_));
    handed_ = text.size();
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
        std::vector<VectorRecord> records = records_.next(lines, block.get());
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
