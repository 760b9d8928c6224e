#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace testing_support {

int listen_on_loopback(int& port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return fd;
}

int connect_to_loopback(int port, bool nonblocking, bool* connected) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool made = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (connected != nullptr) *connected = made;
  return fd;
}

std::size_t read_request(int fd, std::string& head, std::size_t body_limit, std::string* body) {
  std::vector<char> buffer(1 << 20);
  auto receive = [&](std::size_t most) -> std::size_t {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) return 0;
    const ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), most), 0);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  };
  std::size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    const std::size_t n = receive(65536);
    if (n == 0 || head.size() > (1 << 20)) return std::string::npos;
    head.append(buffer.data(), n);
  }
  std::string lower = head.substr(0, end);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto length_at = lower.find("\r\ncontent-length:");
  const std::size_t length = length_at == std::string::npos
                                 ? 0
                                 : std::strtoull(lower.c_str() + length_at + 17, nullptr, 10);
  const std::size_t wanted = std::min(length, body_limit);
  std::size_t read = head.size() - end - 4;
  if (body != nullptr) {
    body->assign(head, end + 4);
    head.resize(end + 4);
  }
  while (read < wanted) {
    const std::size_t n = receive(wanted - read);
    if (n == 0) return std::string::npos;
    if (body != nullptr) body->append(buffer.data(), n);
    read += n;
  }
  return read;
}

}  // namespace testing_support
