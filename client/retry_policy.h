#pragma once
// What became of a request, as far as the client can know it, and when a job-status request
// that failed in passing is tried again: up to four retries, each after an exponential backoff
// with jitter, or after the time the service's Retry-After asks.

#include <chrono>
#include <string>

#include "client/http.h"

namespace rest_client {

// Whether the service took a request that changes data. Only a refusal means it did not: a body
// sent whole that got no answer, or an answer no one can read, may have been acted on.
enum class Delivery {
  kAnswered,  // status 200; whether its text can be read is the caller's to judge
  kRefused,   // a 4xx answer, or a body that never left whole (no connection, cut while sent)
  kUnknown,   // sent whole, and no answer (reset, timeout, stall, too large), a 5xx or another
};

struct Outcome {
  Delivery delivery;
  bool passing;  // no answer, 429, 502, 503 or 504: a request that changes nothing may retry
};

Outcome outcome_of(const HttpResponse& response);

constexpr int kStatusRetries = 4;
// The longest wait a Retry-After header can ask for; longer requests are cut to this.
constexpr std::chrono::seconds kLongestRetryAfter{120};

// The wait before retry `retry` (1 to kStatusRetries): the Retry-After value when it is a number
// of seconds or an HTTP date (at most kLongestRetryAfter), otherwise 2^(retry-1) seconds with
// jitter, somewhere in its upper half.
std::chrono::milliseconds retry_delay(int retry, const std::string& retry_after);

}  // namespace rest_client
