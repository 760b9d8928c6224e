#include "client/http.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <chrono>

#include <mutex>
#include <new>
#include <utility>

#include "client/console.h"
#include "client/interrupt.h"

namespace rest_client {
namespace {

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// "host:port" of a URL, for messages.
std::string endpoint_of(const std::string& url) {
  const auto scheme = url.find("://");
  const auto start = scheme == std::string::npos ? 0 : scheme + 3;
  const auto end = url.find('/', start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Why a transfer got no answer, in the user's terms.
std::string failure_of(CURL* handle, CURLcode result, const char* error_buffer,
                       const std::string& url, const TransferLimits& limits, const TlsFiles& tls) {
  const std::string where = endpoint_of(url);
  long os_error = 0;
  curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &os_error);
  const std::string detail = *error_buffer ? error_buffer : curl_easy_strerror(result);
  switch (result) {
    case CURLE_COULDNT_CONNECT:
      return "Could not connect to " + where + ": " +
             (os_error != 0 ? std::strerror(static_cast<int>(os_error)) : detail);
    case CURLE_COULDNT_RESOLVE_HOST:
      return "Could not resolve the host of " + where;
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connected = 0;
      curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connected);
      if (connected == 0) {
        return "Could not connect to " + where + " within " +
               std::to_string(limits.connect_ms / 1000) + " s";
      }
      return "The request to " + where + " timed out after " +
             std::to_string(limits.stall_seconds) + " s with no data";
    }
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_INVALIDCERTSTATUS:
      // A certificate problem names what was trusted, so that a private authority's user
      // knows which file to give.
      return "The TLS connection to " + where + " failed: " + detail + " (trusting " +
             (tls.ca_file.empty() ? std::string("the system's certificate store; --ca-file names "
                                                "another authority")
                                  : "the authorities in " + tls.ca_file) +
             (tls.client_cert.empty() ? ")" : "; presenting " + tls.client_cert + ")");
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
      // A service that wants a client certificate ends the connection once TLS is set up.
      if (url.rfind("https://", 0) == 0 && tls.client_cert.empty()) {
        return "The request to " + where + " failed: " + detail +
               " (if the service asks for a client certificate, give --client-cert and "
               "--client-key)";
      }
      return "The request to " + where + " failed: " + detail;
    default:
      return "The request to " + where + " failed: " + detail;
  }
}

// Where an answer's body goes, up to its bound.
struct BodySink {
  std::string* text;
  std::size_t limit;
  bool over = false;
};

size_t append_body(char* data, size_t size, size_t count, void* target) {
  auto& sink = *static_cast<BodySink*>(target);
  if (sink.text->size() + size * count > sink.limit) {
    sink.over = true;
    return 0;  // ends the transfer
  }
  sink.text->append(data, size * count);
  return size * count;
}

// Keeps the Retry-After header of the final answer.
size_t read_header(char* data, size_t size, size_t count, void* target) {
  const std::string_view line(data, size * count);
  constexpr std::string_view name = "retry-after:";
  auto& response = *static_cast<HttpResponse*>(target);
  if (line.starts_with("HTTP/")) response.retry_after.clear();
  if (line.size() > name.size()) {
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = (line[i] | 0x20) == name[i];
    }
    if (same) {
      std::string_view value = line.substr(name.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                                value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      response.retry_after = std::string(value);
    }
  }
  return size * count;
}

// libcurl's transfer callback: a non-zero answer aborts the transfer.
int check_interrupt(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return interrupt_requested() ? 1 : 0;
}

// Owns a multi handle driving one easy handle, so the wait for the socket can also wait for
// Ctrl-C's wake pipe.
class CurlMulti {
 public:
  explicit CurlMulti(CURL* easy) : easy_(easy) {
    multi_ = curl_multi_init();
    if (multi_ == nullptr) throw std::bad_alloc();
    curl_multi_add_handle(multi_, easy_);
  }
  ~CurlMulti() {
    curl_multi_remove_handle(multi_, easy_);
    curl_multi_cleanup(multi_);
  }
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  // Runs the transfer to its end; CURLE_ABORTED_BY_CALLBACK when Ctrl-C stopped it. A progress
  // display is redrawn about four times a second and cleared at the end.
  CURLcode run(const ProgressDisplay& progress) {
    struct Cleared {
      const ProgressDisplay& progress;
      ~Cleared() {
        if (progress) progress.clear();
      }
    } cleared{progress};
    const int slice_ms = progress ? 250 : 1000;
    auto next_draw = std::chrono::steady_clock::now();
    int running = 1;
    for (;;) {
      if (curl_multi_perform(multi_, &running) != CURLM_OK) return CURLE_FAILED_INIT;
      if (running == 0) break;
      if (interrupt_requested()) return CURLE_ABORTED_BY_CALLBACK;
      if (progress && std::chrono::steady_clock::now() >= next_draw) {
        progress.draw();
        next_draw = std::chrono::steady_clock::now() + std::chrono::milliseconds(slice_ms);
      }
      curl_waitfd wake{interrupt_wake_fd(), CURL_WAIT_POLLIN, 0};
      const unsigned extra = wake.fd >= 0 ? 1 : 0;
      if (curl_multi_poll(multi_, extra ? &wake : nullptr, extra, slice_ms, nullptr) != CURLM_OK) {
        return CURLE_FAILED_INIT;
      }
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) return message->data.result;
    }
    return CURLE_FAILED_INIT;
  }

 private:
  CURLM* multi_ = nullptr;
  CURL* easy_;
};

std::string path_of(const std::string& url) {
  const auto scheme = url.find("://");
  const auto slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return slash == std::string::npos ? url : url.substr(slash);
}

}  // namespace

bool CurlHandle::body_left_whole(CURLcode result) const {
  curl_off_t sent = 0;
  curl_easy_getinfo(handle_, CURLINFO_SIZE_UPLOAD_T, &sent);
  const bool never_connected = result == CURLE_COULDNT_CONNECT ||
                               result == CURLE_COULDNT_RESOLVE_HOST ||
                               result == CURLE_COULDNT_RESOLVE_PROXY;
  return !never_connected && sent >= body_size_;
}

CurlHandle::CurlHandle() {
  global_init_once();
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw std::bad_alloc();
  curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
}

CurlHandle::~CurlHandle() {
  curl_easy_cleanup(handle_);
  curl_slist_free_all(headers_);
}

void CurlHandle::add_header(const std::string& line) {
  curl_slist* extended = curl_slist_append(headers_, line.c_str());
  if (extended == nullptr) throw std::bad_alloc();
  headers_ = extended;
}

HttpResponse CurlHandle::perform(const std::string& url, const TransferLimits& limits,
                                 const TlsFiles& tls, const ProgressDisplay& progress) {
  const std::string doing = "the request to " + path_of(url);
  throw_if_interrupted(doing);
  HttpResponse response;
  curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
  BodySink sink{&response.text, limits.max_answer_bytes};
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, read_header);
  curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &response);
  curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, check_interrupt);
  curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
  // Ends a transfer that cannot connect, or whose bytes stop moving; never a slow but moving one.
  curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_ms);
  curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, limits.stall_seconds);
  if (!tls.ca_file.empty()) {
    // These authorities instead of the system's, file and directory alike.
    curl_easy_setopt(handle_, CURLOPT_CAINFO, tls.ca_file.c_str());
    curl_easy_setopt(handle_, CURLOPT_CAPATH, nullptr);
  }
  if (!tls.client_cert.empty()) curl_easy_setopt(handle_, CURLOPT_SSLCERT, tls.client_cert.c_str());
  if (!tls.client_key.empty()) curl_easy_setopt(handle_, CURLOPT_SSLKEY, tls.client_key.c_str());
  error_[0] = '\0';
  const CURLcode result = CurlMulti(handle_).run(progress);
  if (result == CURLE_ABORTED_BY_CALLBACK) throw_if_interrupted(doing);
  if (result != CURLE_OK) {
    HttpResponse failed;
    failed.failure = sink.over ? "The answer from " + endpoint_of(url) + " is larger than " +
                                     std::to_string(limits.max_answer_bytes >> 20) +
                                     " MiB and was not read (ORVIX_MAX_ANSWER_MB sets the bound)"
                               : failure_of(handle_, result, error_, url, limits, tls);
    failed.sent_whole = body_left_whole(result);
    return failed;
  }
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

std::size_t max_answer_bytes_from_environment() {
  constexpr std::size_t kDefault = limits::kDefaultMaxAnswerMb << 20;
  const char* text = std::getenv("ORVIX_MAX_ANSWER_MB");
  if (text == nullptr) return kDefault;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > (1LL << 20)) {
    print_warning(" ORVIX_MAX_ANSWER_MB=\"" + std::string(text) +
                  "\" is not a size in MiB; using the default " +
                  std::to_string(limits::kDefaultMaxAnswerMb));
    return kDefault;
  }
  return static_cast<std::size_t>(value) << 20;
}

HttpResponse http_post_json(const Network& network, const std::string& url,
                            const std::string& body) {
  if (network.transport) {
    throw_if_interrupted("the request to " + path_of(url));
    return network.transport("POST", url, body);
  }
  CurlHandle curl;
  curl.add_header("Content-Type: application/json");
  curl.add_header("Expect:");  // no 100-continue round trip before large bodies
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl.set_body_size(static_cast<curl_off_t>(body.size()));
  return curl.perform(url, network.limits, network.tls, network.progress);
}

HttpResponse http_get(const Network& network, const std::string& url,
                      const std::vector<std::string>& headers) {
  if (network.transport) {
    throw_if_interrupted("the request to " + path_of(url));
    return network.transport("GET", url, "");
  }
  CurlHandle curl;
  for (const auto& line : headers) curl.add_header(line);
  curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L);
  return curl.perform(url, network.limits, network.tls);
}

}  // namespace rest_client
