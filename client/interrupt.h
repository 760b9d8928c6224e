#pragma once
// Ctrl-C. The signal handler only raises a flag and wakes a pipe; transfers, waits and questions
// notice it and throw `Interrupted`, which unwinds the running statement (every resource on the
// way has an owner) back to the shell.

#include <functional>
#include <string>

namespace rest_client {

// Not a std::exception, so the handlers' catch lines let it pass to the shell.
struct Interrupted {
  std::string what;  // what was interrupted, for the warning line
};

// Installs the SIGINT handler. With `second_exits`, a second Ctrl-C before the first was dealt
// with ends the process at once with status 130 (scripts and one-shot statements).
void install_interrupt_handler(bool second_exits);

// True once Ctrl-C was pressed and until `clear_interrupt`.
bool interrupt_requested();
// What the signal handler does; also lets tests press Ctrl-C.
void request_interrupt();
void clear_interrupt();
// A descriptor that is readable while an interrupt is pending (-1 before installation).
int interrupt_wake_fd();

// Throws Interrupted when Ctrl-C was pressed. `doing` names the interrupted step ("the request
// to /upload"); the innermost InterruptScope, if any, names it instead.
void throw_if_interrupted(const std::string& doing);

// Names, while it lives, what the running statement is doing, so an interrupt can say so (for
// a server job: its id, and that the service may still finish it).
class InterruptScope {
 public:
  explicit InterruptScope(std::function<std::string()> describe);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

}  // namespace rest_client
