#pragma once
// What all requests in flight may hold together: each request has one reservation, which grows
// as its body arrives, then by what parsing it takes, and holds its answer until it is written.
// A body that does not fit waits for others to finish, and no client address may hold more than
// half of it while others wait; a request that is whole and waits to be parsed goes before
// bodies still arriving, so that whatever holds memory can finish.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace orvix_local {

class MemoryBudget {
 public:
  explicit MemoryBudget(std::size_t limit_bytes) : limit_(limit_bytes) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Bytes held for one owner (a client address) until it goes (or is released).
  class Reservation {
   public:
    Reservation() = default;
    Reservation(Reservation&& other) noexcept
        : budget_(std::exchange(other.budget_, nullptr)),
          bytes_(std::exchange(other.bytes_, 0)),
          owner_(std::move(other.owner_)) {}
    Reservation& operator=(Reservation&& other) noexcept {
      if (this != &other) {
        release();
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        owner_ = std::move(other.owner_);
      }
      return *this;
    }
    ~Reservation() { release(); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    void release();
    std::size_t bytes() const { return bytes_; }
    const std::string& owner() const { return owner_; }
    MemoryBudget* budget() const { return budget_; }

   private:
    friend class MemoryBudget;
    MemoryBudget* budget_ = nullptr;
    std::size_t bytes_ = 0;
    std::string owner_;
  };

  std::size_t limit() const { return limit_; }
  std::size_t held() const;
  // A reservation of nothing yet.
  Reservation open(std::string owner);
  // Body bytes as they arrive: `more` bytes when they fit now, no whole request waits for
  // memory, and the owner keeps within half the budget while another owner waits.
  bool try_grow(Reservation& reservation, std::size_t more);
  // What parsing a whole request takes: waits up to `patience`, ahead of bodies still arriving.
  // False when the bytes did not come in time (or never can).
  bool grow_waiting(Reservation& reservation, std::size_t more, std::chrono::milliseconds patience);
  // Memory that exists already (an answer): counted even past the limit, so that new bodies wait.
  void add(Reservation& reservation, std::size_t more);
  // The front's bodies that wait for room, by owner (+1 when one begins to wait, -1 when it ends).
  void waiting(const std::string& owner, int change);
  // Called (without the lock) whenever bytes are given back: the HTTP front retries the
  // requests that were waiting.
  void on_release(std::function<void()> listener);

 private:
  bool fits(std::size_t bytes) const { return bytes <= limit_ && held_ <= limit_ - bytes; }
  void give_back(Reservation& reservation);

  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::size_t held_ = 0;
  std::map<std::string, std::size_t> held_by_owner_;
  std::map<std::string, int> waiting_by_owner_;
  int waiting_ = 0;        // bodies waiting, all owners
  int whole_waiting_ = 0;  // whole requests waiting to be parsed
  std::function<void()> listener_;
};

}  // namespace orvix_local
