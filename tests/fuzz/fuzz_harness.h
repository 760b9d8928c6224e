#pragma once
// What both fuzz targets share: the time of the slowest input, reported at exit.

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace fuzzing {

// Times one input; the slowest time is printed when the process exits.
class InputTimer {
 public:
  InputTimer() : start_(std::chrono::steady_clock::now()) {}
  ~InputTimer() {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    if (ms > slowest()) slowest() = ms;
  }
  InputTimer(const InputTimer&) = delete;
  InputTimer& operator=(const InputTimer&) = delete;

  static void report_at_exit() {
    std::atexit([] { std::fprintf(stderr, "slowest input: %.1f ms\n", slowest()); });
  }

 private:
  static double& slowest() {
    static double value = 0;
    return value;
  }
  std::chrono::steady_clock::time_point start_;
};

}  // namespace fuzzing
