#include "tests/support/fake_service.h"

#include <chrono>
#include <stdexcept>

namespace testing_support {

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return {};
}

FakeService::FakeService(int port) : FakeService(port, std::make_unique<httplib::Server>()) {}

FakeService::FakeService(const TlsSetup& tls)
    : FakeService(0, std::make_unique<httplib::SSLServer>(
                         tls.cert.c_str(), tls.key.c_str(),
                         tls.client_ca.empty() ? nullptr : tls.client_ca.c_str())) {
  tls_ = true;
}

FakeService::FakeService(int port, std::unique_ptr<httplib::Server> server)
    : owned_(std::move(server)), server_(*owned_) {
  if (!server_.is_valid()) throw std::runtime_error("fake service: the TLS files were refused");
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    answer(request, response);
  };
  server_.Get(".*", handler);
  server_.Post(".*", handler);
  server_.set_payload_max_length(1ULL << 34);
  // Fixed test ports must be reusable right after the previous test's connections closed.
  server_.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  if (port == 0) {
    port_ = server_.bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_.bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) throw std::runtime_error("fake service could not bind a loopback port");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeService::~FakeService() {
  server_.stop();
  thread_.join();
}

void FakeService::on(const std::string& path, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_[path].push_back(std::move(reply));
}

void FakeService::accept_login(const std::string& key, const std::string& name) {
  on("/bk/validate-api-key", 200, R"({"user_id":"u-1","username":")" + name + "\"}");
  on("/api/check_cli_version", 200, R"({"success":true,"message":""})");
  std::lock_guard<std::mutex> lock(mutex_);
  login_key_ = key;
}

void FakeService::answer(const httplib::Request& request, httplib::Response& response) {
  Reply reply{404, "unscripted request", 0, ""};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({request.method,
                         request.path,
                         {request.headers.begin(), request.headers.end()},
                         request.body});
    auto found = script_.find(request.path);
    if (!login_key_.empty() && request.path == "/bk/validate-api-key" &&
        request.get_header_value("X-API-Key") != login_key_) {
      reply = {401, R"({"detail":"Invalid API key"})", 0, ""};
    } else if (found != script_.end() && !found->second.empty()) {
      reply = found->second.front();
      if (found->second.size() > 1) found->second.pop_front();
    }
  }
  if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
  response.status = reply.status;
  if (!reply.retry_after.empty()) response.set_header("Retry-After", reply.retry_after);
  response.set_content(reply.body, "application/json");
}

std::vector<RecordedRequest> FakeService::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> FakeService::requests_to(const std::string& path) const {
  std::vector<RecordedRequest> matching;
  for (const auto& request : requests()) {
    if (request.path == path) matching.push_back(request);
  }
  return matching;
}

void FakeService::clear_requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

void FakeService::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  login_key_.clear();
  script_.clear();
  requests_.clear();
}

}  // namespace testing_support
