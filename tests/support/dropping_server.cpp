#include "tests/support/dropping_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace testing_support {
namespace {

// Reads until the headers are complete and `body_bytes` more have arrived (or the peer stops).
void read_request(int fd, std::size_t body_bytes, bool whole_body) {
  std::string seen;
  char buffer[65536];
  std::size_t wanted = std::string::npos;
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) return;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return;
    seen.append(buffer, static_cast<std::size_t>(got));
    const auto end = seen.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    if (wanted == std::string::npos) {
      std::size_t length = 0;
      const auto at = seen.find("Content-Length: ");
      if (at != std::string::npos && at < end) length = std::stoul(seen.substr(at + 16));
      wanted = end + 4 + (whole_body ? length : std::min(length, body_bytes));
    }
    if (seen.size() >= wanted) return;
  }
}

}  // namespace

DroppingServer::DroppingServer(DropPoint point) : point_(point) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  socklen_t size = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
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
    if (point_ == DropPoint::kDuringRequest) {
      read_request(fd, 8, false);
    } else {
      read_request(fd, 0, true);
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
