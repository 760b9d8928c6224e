#include "server/body_follower.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "server/limits.h"

namespace orvix_local {

struct FollowedBody::Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::weak_ptr<FollowedBody>> bodies;
  bool stopping = false;
};

FollowedBody::FollowedBody(std::shared_ptr<Queue> queue, int fd, std::unique_ptr<BodyReader> reader)
    : queue_(std::move(queue)), fd_(fd), reader_(std::move(reader)) {}

FollowedBody::~FollowedBody() {
  ::close(fd_);
}

void FollowedBody::enqueue(std::unique_lock<std::mutex>& lock) {
  if (queued_ || done_) return;
  {
    std::lock_guard<std::mutex> guard(queue_->mutex);
    if (!queue_->stopping) {
      queue_->bodies.push_back(weak_from_this());
      queued_ = true;
    }
  }
  if (queued_) {
    queue_->ready.notify_one();
  } else {
    done_ = failed_ = true;  // no follower any more: the handler does the work
    lock.unlock();
    settled_.notify_all();
  }
}

void FollowedBody::arrived(std::size_t total) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_ = total;
  enqueue(lock);
}

void FollowedBody::complete() {
  std::unique_lock<std::mutex> lock(mutex_);
  complete_ = true;
  enqueue(lock);
}

const BodyReader* FollowedBody::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  settled_.wait(lock, [this] { return done_; });
  return failed_ ? nullptr : reader_.get();
}

void FollowedBody::give_up() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = failed_ = true;
    queued_ = false;
  }
  settled_.notify_all();
}

void FollowedBody::catch_up(char* buffer, std::size_t size) {
  std::size_t until;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    until = arrived_;
  }
  // One piece a turn: other bodies get theirs in between.
  if (taken_ < until) {
    ssize_t n;
    do {
      n = ::pread(fd_, buffer, std::min(size, until - taken_), static_cast<off_t>(taken_));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return give_up();
    reader_->take(std::string_view(buffer, static_cast<std::size_t>(n)));
    taken_ += static_cast<std::size_t>(n);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  queued_ = false;
  if (taken_ < arrived_) return enqueue(lock);
  if (complete_) {
    done_ = true;
    lock.unlock();
    settled_.notify_all();
  }
}

BodyFollower::BodyFollower() : queue_(std::make_shared<FollowedBody::Queue>()) {}

BodyFollower::~BodyFollower() {
  std::deque<std::weak_ptr<FollowedBody>> left;
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->stopping = true;
  }
  queue_->ready.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    left.swap(queue_->bodies);
  }
  for (auto& waiting : left) {
    if (auto body = waiting.lock()) body->give_up();
  }
}

std::shared_ptr<FollowedBody> BodyFollower::follow(int fd, std::unique_ptr<BodyReader> reader) {
  if (!started_) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return nullptr;
    }
    started_ = true;
  }
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  return std::shared_ptr<FollowedBody>(new FollowedBody(queue_, own, std::move(reader)));
}

void BodyFollower::run() {
  std::vector<char> buffer(kFollowPiece);
  for (;;) {
    std::shared_ptr<FollowedBody> body;
    {
      std::unique_lock<std::mutex> lock(queue_->mutex);
      queue_->ready.wait(lock, [this] { return queue_->stopping || !queue_->bodies.empty(); });
      if (queue_->stopping) return;
      body = queue_->bodies.front().lock();
      queue_->bodies.pop_front();
    }
    if (body) body->catch_up(buffer.data(), buffer.size());
  }
}

}  // namespace orvix_local
