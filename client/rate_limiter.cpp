#include "client/rate_limiter.h"

#include <iostream>
#include <stdexcept>

#include "client/console.h"

namespace rest_client {

OperationLimit record;
std::mutex operation_limit_mutex;

bool rate_limit() {
  std::lock_guard<std::mutex> lock(operation_limit_mutex);
  const auto now = monotonic_now();
  while (!record.timestamps.empty()) {
    const auto elapsed_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - record.timestamps.front())
            .count();
    const double elapsed_ms = static_cast<double>(elapsed_ns / 1000000);
    if (record.window_ms >= elapsed_ms) break;
    record.timestamps.pop_front();
  }
  const auto n = static_cast<long long>(record.timestamps.size());
  if (n > record.max_operations) return true;
  record.timestamps.push_back(now);
  return n + 1 > record.max_operations;
}

void check_rate_limit() {
  if (!rate_limit()) return;
  std::cout << red()
            << "[Orvix] Request limit reached, please try again later. If you are inserting "
               "multiple vectors, please use INSERT_VECTOR_BATCH."
            << reset() << std::endl;
  throw std::runtime_error("Too many operations in a short time period!");
}

}  // namespace rest_client
