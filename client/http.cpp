#include "client/http.h"

#include <mutex>
#include <new>

namespace rest_client {
namespace {

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t append_body(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

}  // namespace

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

HttpResponse CurlHandle::perform(const std::string& url) {
  HttpResponse response;
  curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &response.text);
  if (curl_easy_perform(handle_) != CURLE_OK) return HttpResponse{};
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

HttpResponse http_post_json(const std::string& url, const std::string& body) {
  CurlHandle curl;
  curl.add_header("Content-Type: application/json");
  curl.add_header("Expect:");  // no 100-continue round trip before large bodies
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  return curl.perform(url);
}

HttpResponse http_get(const std::string& url, const std::vector<std::string>& headers) {
  CurlHandle curl;
  for (const auto& line : headers) curl.add_header(line);
  curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L);
  return curl.perform(url);
}

}  // namespace rest_client
