#pragma once
// What all requests in flight may hold together: a request's body is counted before it is read,
// and what parsing it will take before it is parsed. A request that does not fit waits a while
// for others to finish; one that could never fit is refused.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace orvix_local {

class MemoryBudget {
 public:
  explicit MemoryBudget(std::size_t limit_bytes) : limit_(limit_bytes) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Bytes held until it goes (or is released).
  class Reservation {
   public:
    Reservation() = default;
    Reservation(MemoryBudget* budget, std::size_t bytes) : budget_(budget), bytes_(bytes) {}
    Reservation(Reservation&& other) noexcept
        : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Reservation& operator=(Reservation&& other) noexcept {
      if (this != &other) {
        release();
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
      }
      return *this;
    }
    ~Reservation() { release(); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    // Takes `more` bytes too when they fit now.
    bool grow(std::size_t more);
    void release();
    std::size_t bytes() const { return bytes_; }

   private:
    MemoryBudget* budget_ = nullptr;
    std::size_t bytes_ = 0;
  };

  std::size_t limit() const { return limit_; }
  std::size_t held() const;
  // The bytes, when they fit now.
  std::optional<Reservation> try_take(std::size_t bytes);
  // Waits up to `patience` for the bytes to fit; nullopt when they did not (or never can).
  std::optional<Reservation> take(std::size_t bytes, std::chrono::milliseconds patience);
  // Called (without the lock) whenever bytes are given back: the HTTP front retries the
  // requests that were waiting.
  void on_release(std::function<void()> listener);

 private:
  bool fits(std::size_t bytes) const { return bytes <= limit_ && held_ <= limit_ - bytes; }
  void give_back(std::size_t bytes);

  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::size_t held_ = 0;
  std::function<void()> listener_;
};

}  // namespace orvix_local
