#pragma once
// When a job-status request that failed in passing is tried again: up to four retries, each
// after an exponential backoff with jitter, or after the time the service's Retry-After asks.

#include <chrono>
#include <string>

namespace rest_client {

constexpr int kStatusRetries = 4;
// The longest wait a Retry-After header can ask for; longer requests are cut to this.
constexpr std::chrono::seconds kLongestRetryAfter{120};

// Status 0 (no answer), 429, 502, 503 and 504 may pass; other failures are answers.
bool is_passing_failure(long status);

// The wait before retry `retry` (1 to kStatusRetries): the Retry-After value when it is a number
// of seconds or an HTTP date (at most kLongestRetryAfter), otherwise 2^(retry-1) seconds with
// jitter, somewhere in its upper half.
std::chrono::milliseconds retry_delay(int retry, const std::string& retry_after);

}  // namespace rest_client
