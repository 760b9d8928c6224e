#include "tests/support/fault_proxy.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace testing_support {
namespace {

constexpr int kWaitMs = 10000;  // for a peer's next bytes, before the connection is given up

// Reads until the head's blank line; what follows it stays in `rest`. False when the peer
// stopped first.
bool read_head(int fd, std::string& head, std::string& rest) {
  char buffer[65536];
  for (;;) {
    if (const auto end = head.find("\r\n\r\n"); end != std::string::npos) {
      rest = head.substr(end + 4);
      head.resize(end + 4);
      return true;
    }
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, kWaitMs) <= 0) return false;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0 || head.size() > (1 << 20)) return false;
    head.append(buffer, static_cast<std::size_t>(n));
  }
}

// Reads until `data` holds `size` bytes.
bool read_to(int fd, std::string& data, std::size_t size) {
  std::vector<char> buffer(1 << 20);
  while (data.size() < size) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, kWaitMs) <= 0) return false;
    const ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), size - data.size()), 0);
    if (n <= 0) return false;
    data.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return true;
}

void write_all(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::size_t content_length(const std::string& head) {
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto at = lower.find("\r\ncontent-length:");
  return at == std::string::npos ? 0 : std::strtoull(lower.c_str() + at + 17, nullptr, 10);
}

// Closes with a reset rather than an orderly end.
void reset(int fd) {
  const linger abort_now{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
  ::close(fd);
}

std::string gateway_answer(int status, const char* reason) {
  const std::string body =
      "<html><body>" + std::to_string(status) + " " + reason + "</body></html>";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

const char* fault_name(Fault fault) {
  constexpr const char* kNames[] = {"reset before forwarding",
                                    "reset halfway through the body",
                                    "closed after the service answered",
                                    "502 after forwarding",
                                    "503 after forwarding",
                                    "504 after forwarding",
                                    "stalled past the client's timeout",
                                    "answer cut short"};
  return kNames[static_cast<int>(fault)];
}

FaultProxy::FaultProxy(int service_port) : service_port_(service_port) {
  listener_ = listen_on_loopback(port_, 64);
  if (listener_ < 0) throw std::runtime_error("the fault proxy cannot listen on loopback");
  thread_ = std::thread([this] { serve(); });
}

FaultProxy::~FaultProxy() {
  stopping_ = true;
  thread_.join();
  while (active_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::close(listener_);
}

void FaultProxy::arm(const std::string& path, int nth, Fault fault) {
  const std::lock_guard<std::mutex> lock(mutex_);
  armed_path_ = path;
  armed_nth_ = nth;
  armed_fault_ = fault;
  struck_ = false;
  seen_.erase(path);
}

bool FaultProxy::struck() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return struck_;
}

int FaultProxy::seen(const std::string& path) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = seen_.find(path);
  return found == seen_.end() ? 0 : found->second;
}

void FaultProxy::serve() {
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    ++active_;
    std::thread([this, client] {
      relay(client);
      --active_;
    }).detach();
  }
}

void FaultProxy::relay(int client) {
  std::string head, body;
  if (!read_head(client, head, body)) {
    ::close(client);
    return;
  }
  const auto path_at = head.find(' ') + 1;
  const std::string path = head.substr(path_at, head.find(' ', path_at) - path_at);
  std::optional<Fault> fault;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (++seen_[path] == armed_nth_ && path == armed_path_) {
      fault = armed_fault_;
      struck_ = true;
    }
  }
  const std::size_t length = content_length(head);
  if (fault == Fault::kResetInBody) {
    read_to(client, body, length / 2);
    reset(client);
    return;
  }
  if (!read_to(client, body, length)) {
    ::close(client);
    return;
  }
  if (fault == Fault::kResetBeforeForwarding) {
    reset(client);
    return;
  }
  const int service = connect_to_loopback(service_port_, false);
  write_all(service, head + body);
  std::string answer_head, answer;
  const bool answered = read_head(service, answer_head, answer) &&
                        read_to(service, answer, content_length(answer_head));
  ::close(service);
  if (!fault) {
    if (answered) write_all(client, answer_head + answer);
  } else if (fault >= Fault::kBadGateway && fault <= Fault::kGatewayTimeout) {
    constexpr std::pair<int, const char*> kGateways[] = {
        {502, "Bad Gateway"}, {503, "Service Unavailable"}, {504, "Gateway Timeout"}};
    const auto [status, reason] =
        kGateways[static_cast<int>(*fault) - static_cast<int>(Fault::kBadGateway)];
    write_all(client, gateway_answer(status, reason));
  } else if (fault == Fault::kStall) {
    // Until the client gives up (or the proxy stops).
    char byte;
    while (!stopping_) {
      pollfd ready{client, POLLIN, 0};
      if (::poll(&ready, 1, 50) > 0 && ::recv(client, &byte, 1, 0) <= 0) break;
    }
  } else if (fault == Fault::kCutAnswer) {
    write_all(client, answer_head + answer.substr(0, answer.size() / 2));
  }
  ::close(client);
}

}  // namespace testing_support
