#include "client/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace rest_client {
namespace {

std::atomic<bool> pending{false};
std::atomic<bool> exit_on_second{false};
int wake_pipe[2] = {-1, -1};

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void wake() {
  if (wake_pipe[1] < 0) return;
  const char byte = 1;
  const ssize_t written = write(wake_pipe[1], &byte, 1);  // a full pipe is awake already
  (void)written;
}

extern "C" void on_interrupt(int) {
  const int saved = errno;
  if (pending.exchange(true) && exit_on_second.load()) _exit(130);
  wake();
  errno = saved;
}

std::vector<std::function<std::string()>>& scopes() {
  static std::vector<std::function<std::string()>> stack;
  return stack;
}

}  // namespace

void install_interrupt_handler(bool second_exits) {
  exit_on_second = second_exits;
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_pipe[0] = wake_pipe[1] = -1;
  }
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking read returns so the flag is seen
  sigaction(SIGINT, &action, nullptr);
}

bool interrupt_requested() {
  return pending.load();
}

void request_interrupt() {
  pending = true;
  wake();
}

void clear_interrupt() {
  pending = false;
  if (wake_pipe[0] < 0) return;
  char drain[64];
  while (read(wake_pipe[0], drain, sizeof drain) > 0) {
  }
}

int interrupt_wake_fd() {
  return wake_pipe[0];
}

void throw_if_interrupted(const std::string& doing) {
  if (!interrupt_requested()) return;
  if (!scopes().empty()) throw Interrupted{scopes().back()()};
  throw Interrupted{doing};
}

InterruptScope::InterruptScope(std::function<std::string()> describe) {
  scopes().push_back(std::move(describe));
}

InterruptScope::~InterruptScope() {
  scopes().pop_back();
}

}  // namespace rest_client
