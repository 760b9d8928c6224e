#pragma once
// A loopback server that breaks HTTP on purpose: it closes the connection in the middle of the
// request, or after the first bytes of an answer that promised more.

#include <atomic>
#include <thread>

namespace testing_support {

enum class DropPoint {
  kDuringRequest,  // after the request's headers and a few bytes of its body
  kDuringAnswer,   // after reading the request, part way through a 200 answer
};

class DroppingServer {
 public:
  explicit DroppingServer(DropPoint point);
  ~DroppingServer();
  DroppingServer(const DroppingServer&) = delete;
  DroppingServer& operator=(const DroppingServer&) = delete;

  int port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  void serve();

  DropPoint point_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace testing_support
