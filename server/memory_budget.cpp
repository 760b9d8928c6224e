#include "server/memory_budget.h"

#include <utility>

namespace orvix_local {

bool MemoryBudget::Reservation::grow(std::size_t more) {
  if (budget_ == nullptr) return false;
  std::lock_guard<std::mutex> lock(budget_->mutex_);
  if (!budget_->fits(more)) return false;
  budget_->held_ += more;
  bytes_ += more;
  return true;
}

void MemoryBudget::Reservation::release() {
  if (budget_ != nullptr && bytes_ > 0) budget_->give_back(bytes_);
  bytes_ = 0;
}

std::size_t MemoryBudget::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

std::optional<MemoryBudget::Reservation> MemoryBudget::try_take(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fits(bytes)) return std::nullopt;
  held_ += bytes;
  return Reservation(this, bytes);
}

std::optional<MemoryBudget::Reservation> MemoryBudget::take(std::size_t bytes,
                                                            std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (bytes > limit_) return std::nullopt;
  if (!released_.wait_for(lock, patience, [&] { return fits(bytes); })) return std::nullopt;
  held_ += bytes;
  return Reservation(this, bytes);
}

void MemoryBudget::on_release(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void MemoryBudget::give_back(std::size_t bytes) {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ -= bytes;
    listener = listener_;
  }
  released_.notify_all();
  if (listener) listener();
}

}  // namespace orvix_local
