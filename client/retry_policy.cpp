#include "client/retry_policy.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <random>

namespace rest_client {
namespace {

constexpr long long kLongestMs = std::chrono::milliseconds(kLongestRetryAfter).count();

// Retry-After in milliseconds, or -1 when the header is absent or unreadable.
long long requested_ms(const std::string& retry_after) {
  if (retry_after.empty()) return -1;
  if (std::all_of(retry_after.begin(), retry_after.end(),
                  [](unsigned char c) { return std::isdigit(c) != 0; })) {
    // A long run of digits is simply "a long time".
    if (retry_after.size() > 6) return kLongestMs;
    return std::min(std::stoll(retry_after) * 1000, kLongestMs);
  }
  const time_t when = curl_getdate(retry_after.c_str(), nullptr);
  if (when < 0) return -1;
  const long long seconds =
      static_cast<long long>(when) - static_cast<long long>(std::time(nullptr));
  return std::clamp(seconds * 1000, 0LL, kLongestMs);
}

}  // namespace

Outcome outcome_of(const HttpResponse& response) {
  const long status = response.status;
  const bool passing =
      status == 0 || status == 429 || status == 502 || status == 503 || status == 504;
  if (status == 200) return {Delivery::kAnswered, false};
  if ((status >= 400 && status < 500) || (status == 0 && !response.sent_whole)) {
    return {Delivery::kRefused, passing};
  }
  return {Delivery::kUnknown, passing};
}

std::chrono::milliseconds retry_delay(int retry, const std::string& retry_after) {
  const long long requested = requested_ms(retry_after);
  if (requested >= 0) return std::chrono::milliseconds(requested);
  const long long full = 1000LL << std::clamp(retry - 1, 0, 10);
  thread_local std::minstd_rand jitter{std::random_device{}()};
  std::uniform_int_distribution<long long> upper_half(full / 2, full);
  return std::chrono::milliseconds(upper_half(jitter));
}

}  // namespace rest_client
