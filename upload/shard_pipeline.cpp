#include "upload/shard_pipeline.h"

#include <chrono>

#include "client/interrupt.h"

namespace rest_client {

ShardPipeline::ShardPipeline(json upload_body, std::size_t shard_size, Reader reader,
                             std::uint64_t first_offset)
    : builder_(std::move(upload_body), shard_size, workers_),
      spare_(ShardBody{}),
      next_begin_(first_offset) {
  builder_.start(current_.text);
  thread_ = std::thread([this, reader = std::move(reader)] { run(reader); });
}

ShardPipeline::~ShardPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ShardPipeline::run(const Reader& reader) {
  try {
    reader(*this);
  } catch (const Stopped&) {
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  trailing_ = std::move(current_.messages);
  reader_done_ = true;
  changed_.notify_all();
}

void ShardPipeline::add_data(const char* data, std::size_t size) {
  if (stopping_.load(std::memory_order_relaxed)) throw Stopped{};
  builder_.add_data(data, size);
  bytes_read_.fetch_add(size, std::memory_order_relaxed);
}

std::size_t ShardPipeline::data_size() const {
  return builder_.data_size();
}

void ShardPipeline::warning(std::string text) {
  current_.messages.push_back({true, std::move(text)});
}

void ShardPipeline::note(std::string text) {
  current_.messages.push_back({false, std::move(text)});
}

void ShardPipeline::discard() {
  builder_.start(current_.text);
}

void ShardPipeline::ids_ran_out(std::uint64_t ids) {
  short_ids_ = ShortIds{ids, 0};
}

void ShardPipeline::shard_ends_at(std::uint64_t offset, const InputFile& file) {
  current_.file_end = offset;
  current_.hashed = file.hash().bytes();
  current_.file_sha256 = file.hash().hex();
}

void ShardPipeline::hand_off(const std::string* shard_ids, std::uint64_t first_record,
                             std::uint64_t records) {
  current_.file_begin = next_begin_;
  next_begin_ = current_.file_end;
  current_.first_record = first_record;
  current_.records = records;
  if (short_ids_ && shard_ids == nullptr) short_ids_->records_without += records;
  current_.checksum = builder_.finish(current_.text, shard_ids);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stop_ || (!ready_ && spare_); });
  if (stop_) throw Stopped{};
  ready_ = std::move(current_);
  current_ = std::move(*spare_);
  spare_.reset();
  changed_.notify_all();
  lock.unlock();
  current_.messages.clear();
  builder_.start(current_.text);
}

std::optional<ShardBody> ShardPipeline::next(const std::function<void()>& on_wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ready_ && !reader_done_) {
    if (interrupt_requested()) {
      lock.unlock();
      throw_if_interrupted("the upload while its next shard was prepared");
    }
    if (on_wait) {
      lock.unlock();
      on_wait();
      lock.lock();
    }
    changed_.wait_for(lock, std::chrono::milliseconds(100));
  }
  if (ready_) {
    std::optional<ShardBody> shard = std::move(ready_);
    ready_.reset();
    changed_.notify_all();
    return shard;
  }
  return std::nullopt;
}

void ShardPipeline::rethrow_failure() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
}

void ShardPipeline::recycle(ShardBody&& shard) {
  std::lock_guard<std::mutex> lock(mutex_);
  spare_ = std::move(shard);
  changed_.notify_all();
}

std::optional<ShardPipeline::ShortIds> ShardPipeline::short_ids() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reader_done_ ? short_ids_ : std::nullopt;
}

std::vector<ReaderMessage> ShardPipeline::take_trailing_messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(trailing_);
}

}  // namespace rest_client
