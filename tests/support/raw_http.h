#pragma once
// Requests to Orvix Local over a plain socket, so that headers can be as wrong as a client
// likes, and the bodies and numbers the hostile-client tests build.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/payload.h"
#include "tests/support/loopback.h"

namespace testing_support {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

class Socket {
 public:
  explicit Socket(int port) { fd_ = connect_to_loopback(port, false, &connected_); }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool send(const std::string& bytes) {
    std::size_t done = 0;
    while (connected_ && done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return connected_;
  }
  // Everything the server writes until it closes, or until the time is up.
  std::string receive(int timeout_ms) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (Clock::now() < deadline) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

struct Answer {
  int status = 0;
  json body;
};

inline Answer http_exchange(int port, const std::string& request, int timeout_ms = 20000) {
  Socket socket(port);
  socket.send(request);  // a refused request may be cut off; its answer is still read
  const std::string text = socket.receive(timeout_ms);
  Answer answer;
  if (text.rfind("HTTP/1.1 ", 0) == 0) answer.status = std::stoi(text.substr(9, 3));
  const auto body = text.find("\r\n\r\n");
  if (body != std::string::npos) answer.body = json::parse(text.substr(body + 4), nullptr, false);
  return answer;
}

inline std::string post(const std::string& path, const std::string& body,
                        const std::string& length = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: local\r\nConnection: close\r\n" +
         "Content-Type: application/json\r\nContent-Length: " +
         (length.empty() ? std::to_string(body.size()) : length) + "\r\n\r\n" + body;
}

inline std::string nested(const std::string& open, const std::string& inner,
                          const std::string& close, int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

inline std::string gzip(const std::string& data) {
  const auto packed = rest_client::gzipCompress({data.begin(), data.end()}, 9);
  return {packed.begin(), packed.end()};
}

inline json upload_body(const std::string& key, const std::string& dataset, json format,
                        const std::string& data) {
  format["user_api_key"] = key;
  format["project_name"] = "p";
  format["dataset_name"] = dataset;
  format["file_data"] = rest_client::base64_encode(gzip(data));
  format["checksum"] = rest_client::calculate_sha256(format["file_data"]);
  return format;
}

inline std::string floats(const std::vector<float>& values) {
  return {reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)};
}

inline std::size_t memory_kb(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1));
  }
  return 0;
}

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;  // the sanitizer keeps freed memory in quarantine
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace testing_support
