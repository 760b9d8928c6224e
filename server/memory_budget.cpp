#include "server/memory_budget.h"

namespace orvix_local {

void MemoryBudget::Reservation::release() {
  if (budget_ != nullptr && bytes_ > 0) budget_->give_back(*this);
  bytes_ = 0;
}

std::size_t MemoryBudget::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

MemoryBudget::Reservation MemoryBudget::open(std::string owner) {
  Reservation reservation;
  reservation.budget_ = this;
  reservation.owner_ = std::move(owner);
  return reservation;
}

bool MemoryBudget::try_grow(Reservation& reservation, std::size_t more) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (whole_waiting_ > 0 || !fits(more)) return false;
  const auto own_waiting = waiting_by_owner_.find(reservation.owner_);
  const int others_waiting =
      waiting_ - (own_waiting == waiting_by_owner_.end() ? 0 : own_waiting->second);
  if (others_waiting > 0 && held_by_owner_[reservation.owner_] + more > limit_ / 2) return false;
  held_ += more;
  held_by_owner_[reservation.owner_] += more;
  reservation.bytes_ += more;
  return true;
}

bool MemoryBudget::grow_waiting(Reservation& reservation, std::size_t more,
                                std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (more > limit_) return false;
  ++whole_waiting_;
  const bool room = released_.wait_for(lock, patience, [&] { return fits(more); });
  --whole_waiting_;
  if (!room) return false;
  held_ += more;
  held_by_owner_[reservation.owner_] += more;
  reservation.bytes_ += more;
  return true;
}

void MemoryBudget::add(Reservation& reservation, std::size_t more) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ += more;
  held_by_owner_[reservation.owner_] += more;
  reservation.bytes_ += more;
}

void MemoryBudget::waiting(const std::string& owner, int change) {
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_ += change;
  if ((waiting_by_owner_[owner] += change) <= 0) waiting_by_owner_.erase(owner);
}

void MemoryBudget::on_release(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void MemoryBudget::give_back(Reservation& reservation) {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ -= reservation.bytes_;
    const auto owner = held_by_owner_.find(reservation.owner_);
    if (owner != held_by_owner_.end() && (owner->second -= reservation.bytes_) == 0) {
      held_by_owner_.erase(owner);
    }
    listener = listener_;
  }
  released_.notify_all();
  if (listener) listener();
}

}  // namespace orvix_local
