#pragma once
// A small RAII wrapper over libcurl: one easy handle per request.

#include <curl/curl.h>

#include <string>
#include <vector>

namespace rest_client {

struct HttpResponse {
  long status = 0;  // 0 when no answer arrived (connection refused, dropped, TLS failure)
  std::string text;
};

// Owns one easy handle, its header list and its error buffer.
class CurlHandle {
 public:
  CurlHandle();
  ~CurlHandle();
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;

  void add_header(const std::string& line);
  HttpResponse perform(const std::string& url);
  CURL* get() const { return handle_; }

 private:
  CURL* handle_ = nullptr;
  curl_slist* headers_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
};

// POST with "Content-Type: application/json"; the body is sent as given, without a copy.
HttpResponse http_post_json(const std::string& url, const std::string& body);
// GET with the given header lines ("Name: value").
HttpResponse http_get(const std::string& url, const std::vector<std::string>& headers);

}  // namespace rest_client
