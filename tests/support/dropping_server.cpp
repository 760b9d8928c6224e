#include "tests/support/dropping_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "tests/support/loopback.h"

namespace testing_support {

DroppingServer::DroppingServer(DropPoint point) : point_(point) {
  listener_ = listen_on_loopback(port_, 16);
  if (listener_ < 0) throw std::runtime_error("cannot listen on loopback");
  thread_ = std::thread([this] { serve(); });
}

DroppingServer::~DroppingServer() {
  stopping_ = true;
  thread_.join();
  close(listener_);
}

void DroppingServer::serve() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    std::string head;
    if (point_ == DropPoint::kDuringRequest) {
      read_request(fd, head, 8);
    } else {
      read_request(fd, head, std::string::npos);
      const std::string partial =
          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 4096\r\n\r\n"
          "{\"success\":true,\"status\":\"fini";
      const ssize_t written = write(fd, partial.data(), partial.size());
      (void)written;
    }
    close(fd);
  }
}

}  // namespace testing_support
