#pragma once
// A small RAII wrapper over libcurl: one easy handle per request. Every transfer watches for
// Ctrl-C and ends with Interrupted when it comes.

#include <curl/curl.h>

#include <functional>
#include <string>
#include <vector>

#include "client/limits.h"
#include "client/waits.h"

namespace rest_client {

struct HttpResponse {
  long status = 0;  // 0 when no answer arrived (connection refused, dropped, TLS failure)
  std::string text;
  std::string retry_after;  // the Retry-After header's value, when the answer had one
  std::string failure;      // with status 0: why no answer arrived, for the user
  // The request's body left the client whole (it may then have been acted on, answer or not);
  // false when it never connected or the transfer ended while the body was being sent.
  bool sent_whole = true;
};

// How long a transfer may wait: to connect, and with no byte moving either way. A large
// upload goes on as long as bytes move.
struct TransferLimits {
  long connect_ms = 10000;
  long stall_seconds = 60;
  std::size_t max_answer_bytes = limits::kDefaultMaxAnswerMb << 20;  // read no further
};

// The answer bound named by ORVIX_MAX_ANSWER_MB (whole MiB); a text that is not one gives a
// warning and the default.
std::size_t max_answer_bytes_from_environment();

// Stands in for the network when set: every request is answered by it (method "POST" or "GET",
// URL, body). For fuzzing the handlers' reading of answers.
using Transport = std::function<HttpResponse(const std::string& method, const std::string& url,
                                             const std::string& body)>;

// The TLS files of one's own: the authorities to trust instead of the system's store, and a
// client certificate with its key for services that ask for one. Empty: not given.
struct TlsFiles {
  std::string ca_file;
  std::string client_cert;
  std::string client_key;
};

// How requests travel: libcurl with these limits, or a replacement transport.
struct Network {
  TransferLimits limits;
  TlsFiles tls;
  Transport transport;
  ProgressDisplay progress;  // shown while a transfer lasts, when set
};

// Owns one easy handle, its header list and its error buffer.
class CurlHandle {
 public:
  CurlHandle();
  ~CurlHandle();
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;

  void add_header(const std::string& line);
  // The body's length, for telling whether it left whole.
  void set_body_size(curl_off_t size) { body_size_ = size; }
  // Runs the transfer; throws Interrupted when Ctrl-C cancels it.
  HttpResponse perform(const std::string& url, const TransferLimits& limits, const TlsFiles& tls,
                       const ProgressDisplay& progress = {});
  CURL* get() const { return handle_; }

 private:
  // After a failed transfer: whether it connected and the whole body left.
  bool body_left_whole(CURLcode result) const;

  CURL* handle_ = nullptr;
  curl_slist* headers_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
  curl_off_t body_size_ = 0;
};

// POST with "Content-Type: application/json"; the body is sent as given, without a copy.
HttpResponse http_post_json(const Network& network, const std::string& url,
                            const std::string& body);
// GET with the given header lines ("Name: value").
HttpResponse http_get(const Network& network, const std::string& url,
                      const std::vector<std::string>& headers);

}  // namespace rest_client
