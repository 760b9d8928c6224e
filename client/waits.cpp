#include "client/waits.h"

#include <poll.h>

#include <algorithm>

#include "client/interrupt.h"

namespace rest_client {

Clock::time_point Waits::now() const {
  return now_ ? now_() : Clock::now();
}

void Waits::wait_for(std::chrono::nanoseconds duration) const {
  throw_if_interrupted("the wait");
  if (sleep_) {
    sleep_(duration);
  } else {
    // Sleeps on the interrupt pipe, so Ctrl-C ends the wait at once; a progress display is
    // redrawn four times a second.
    const long long slice_ms = progress ? 250 : 1000;
    const auto deadline = Clock::now() + duration;
    for (auto now = Clock::now(); now < deadline && !interrupt_requested(); now = Clock::now()) {
      if (progress) progress.draw();
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      pollfd wake{interrupt_wake_fd(), POLLIN, 0};
      poll(&wake, wake.fd >= 0 ? 1 : 0,
           static_cast<int>(std::min<long long>(left.count(), slice_ms)));
    }
    if (progress) progress.clear();
  }
  throw_if_interrupted("the wait");
}

}  // namespace rest_client
