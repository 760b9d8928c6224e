#pragma once
// Work done on a spooled request body while it is still arriving: one thread of the server reads
// each followed body's file just behind the connection that writes it, and hands the bytes, in
// order and once, to that body's reader. What the reader learns is ready, or nearly, when the
// last byte is in, rather than costing another pass over the body before the answer.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace orvix_local {

// What is done with a followed body's bytes; called on the follower's thread only.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  virtual void take(std::string_view bytes) = 0;
};

class BodyFollower;

// One body being followed: told by the connection how far the file is written, and waited on
// by the request's handler. Dropping every reference to it stops the work on it.
class FollowedBody : public std::enable_shared_from_this<FollowedBody> {
 public:
  FollowedBody(const FollowedBody&) = delete;
  FollowedBody& operator=(const FollowedBody&) = delete;
  ~FollowedBody();

  // The file holds `total` bytes of the body now.
  void arrived(std::size_t total);
  // The body is whole.
  void complete();
  // Waits until the reader has taken the whole body; the reader then, or nullptr when the body
  // could not be followed to its end (a read failed, the server is stopping).
  const BodyReader* wait();

 private:
  friend class BodyFollower;
  struct Queue;
  FollowedBody(std::shared_ptr<Queue> queue, int fd, std::unique_ptr<BodyReader> reader);
  // On the follower's thread: reads and hands over the next piece of what arrived.
  void catch_up(char* buffer, std::size_t size);
  void give_up();
  void enqueue(std::unique_lock<std::mutex>& lock);

  std::shared_ptr<Queue> queue_;
  int fd_;
  std::unique_ptr<BodyReader> reader_;
  std::mutex mutex_;
  std::condition_variable settled_;
  std::size_t arrived_ = 0;
  std::size_t taken_ = 0;  // the follower's own
  bool complete_ = false;
  bool queued_ = false;
  bool done_ = false;
  bool failed_ = false;
};

class BodyFollower {
 public:
  BodyFollower();
  ~BodyFollower();
  BodyFollower(const BodyFollower&) = delete;
  BodyFollower& operator=(const BodyFollower&) = delete;

  // Follows the file behind `fd` (which stays the caller's) with `reader`; nullptr when it cannot
  // be followed (no descriptor or thread to be had), and the handler does the work itself.
  std::shared_ptr<FollowedBody> follow(int fd, std::unique_ptr<BodyReader> reader);

 private:
  void run();

  std::shared_ptr<FollowedBody::Queue> queue_;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace orvix_local
