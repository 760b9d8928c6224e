#pragma once
// Client-side limit of at most ten service operations in any three-second window.

#include <chrono>
#include <deque>
#include <mutex>

#include "client/waits.h"

namespace rest_client {

struct OperationLimit {
  std::deque<Clock::time_point> timestamps;
  double window_ms = 3000.0;
  int max_operations = 10;
};

extern OperationLimit record;
extern std::mutex operation_limit_mutex;

// Records the operation when there is room; true means it must be refused.
bool rate_limit();
// Prints the limiter line and throws std::runtime_error when the operation is refused.
void check_rate_limit();

}  // namespace rest_client
