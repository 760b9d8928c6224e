#pragma once
// An in-process HTTP service on a loopback port that answers from a per-test script and
// records every request it receives.

#include <httplib.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct Reply {
  int status = 200;
  std::string body;
  int delay_ms = 0;
  std::string retry_after;  // a Retry-After header, when not empty
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;
  std::string body;

  std::string header(const std::string& name) const;
};

// A service over TLS: its certificate and key, and the authority whose client certificates it
// asks for (none asked for when empty).
struct TlsSetup {
  std::string cert, key, client_ca;
};

class FakeService {
 public:
  // Port 0 binds an ephemeral port.
  explicit FakeService(int port = 0);
  explicit FakeService(const TlsSetup& tls);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  int port() const { return port_; }
  std::string base_url() const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
  }

  // Queues a reply for a path; once a path's queue is down to one reply, that reply repeats.
  void on(const std::string& path, Reply reply);
  void on(const std::string& path, int status, const std::string& body) {
    on(path, Reply{status, body, 0, ""});
  }
  // Answers login and the version check the way a healthy service does.
  // Answers key validations: the key with the user `name`, any other key 401.
  void accept_login(const std::string& key, const std::string& name = "tester");

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests_to(const std::string& path) const;
  void clear();
  // Forgets the requests received so far; the scripted replies stay.
  void clear_requests();

 private:
  FakeService(int port, std::unique_ptr<httplib::Server> server);
  void answer(const httplib::Request& request, httplib::Response& response);

  std::unique_ptr<httplib::Server> owned_;
  httplib::Server& server_;
  bool tls_ = false;
  std::thread thread_;
  std::string login_key_;  // when set, the only key validations accept
  int port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, std::deque<Reply>> script_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace testing_support
