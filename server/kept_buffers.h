#pragma once
// Large buffers (decompressed shard texts, blocks of parsed values), kept from one shard to the
// next. Memory already faulted in costs nothing to fill again, while fresh memory does: on a
// virtual machine, about as much as decompressing into it. Records may point into a buffer, so
// a buffer comes back only when its last holder lets it go.

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace orvix_local {

template <class Buffer>
class KeptBuffers {
 public:
  // Keeps at most `keep` buffers given back.
  explicit KeptBuffers(std::size_t keep) : keep_(keep) {}

  // An empty buffer, in the memory of one given back when there is one. The pool outlives it.
  std::shared_ptr<Buffer> take() {
    std::unique_ptr<Buffer> buffer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!kept_.empty()) {
        buffer = std::move(kept_.back());
        kept_.pop_back();
      }
    }
    if (!buffer) buffer = std::make_unique<Buffer>();
    buffer->clear();
    return {buffer.release(), [this](Buffer* given) { give_back(given); }};
  }

  // Frees the buffers kept, not those in use.
  void release() {
    std::vector<std::unique_ptr<Buffer>> kept;
    std::lock_guard<std::mutex> lock(mutex_);
    kept.swap(kept_);
  }

 private:
  void give_back(Buffer* buffer) {
    std::unique_ptr<Buffer> owned(buffer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() < keep_) kept_.push_back(std::move(owned));
  }

  const std::size_t keep_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Buffer>> kept_;
};

// Vectors handed around by value (batches of records), whose memory is kept once their elements
// have gone elsewhere.
template <class Element>
class KeptVectors {
 public:
  // Keeps at most `keep` vectors given back.
  explicit KeptVectors(std::size_t keep) : keep_(keep) {}

  // An empty vector, with the room of one given back when there is one.
  std::vector<Element> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.empty()) return {};
    std::vector<Element> taken = std::move(kept_.back());
    kept_.pop_back();
    return taken;
  }

  void give_back(std::vector<Element>&& given) {
    given.clear();
    if (given.capacity() == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() < keep_) kept_.push_back(std::move(given));
  }

  // Frees the vectors kept.
  void release() {
    std::vector<std::vector<Element>> kept;
    std::lock_guard<std::mutex> lock(mutex_);
    kept.swap(kept_);
  }

 private:
  const std::size_t keep_;
  std::mutex mutex_;
  std::vector<std::vector<Element>> kept_;
};

}  // namespace orvix_local
