#pragma once
// What the fuzz targets share: the time of the slowest input, reported at exit.

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace fuzzing {

// Times one input in CPU time of the whole process (all its threads), so a busy machine does not
// make an input look slow; the slowest time is printed when the process exits.
class InputTimer {
 public:
  InputTimer() : start_(cpu_ms()) {}
  ~InputTimer() {
    const double ms = cpu_ms() - start_;
    if (ms > slowest()) slowest() = ms;
  }
  InputTimer(const InputTimer&) = delete;
  InputTimer& operator=(const InputTimer&) = delete;

  static void report_at_exit() {
    std::atexit([] { std::fprintf(stderr, "slowest input: %.1f ms of CPU time\n", slowest()); });
  }

 private:
  static double cpu_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
  }
  static double& slowest() {
    static double value = 0;
    return value;
  }
  double start_;
};

}  // namespace fuzzing
