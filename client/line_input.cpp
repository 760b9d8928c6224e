#include "client/line_input.h"

#include <editline/readline.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "client/colours.h"
#include "client/console.h"
#include "client/interrupt.h"
#include "client/large_buffers.h"
#include "client/secrets.h"

namespace rest_client {
namespace {

// libedit's character source: waits for the terminal or for Ctrl-C's wake pipe, and ends the
// line (as end of input) when Ctrl-C was pressed.
int read_key(FILE* stream) {
  const int fd = fileno(stream);
  for (;;) {
    if (interrupt_requested()) return EOF;
    pollfd watched[2] = {{fd, POLLIN, 0}, {interrupt_wake_fd(), POLLIN, 0}};
    const nfds_t count = watched[1].fd >= 0 ? 2 : 1;
    if (poll(watched, count, -1) < 0 && errno != EINTR) return EOF;
    if (interrupt_requested()) return EOF;
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    unsigned char byte = 0;
    const ssize_t got = read(fd, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return EOF;
  }
}

// Turns the terminal's echo off while it lives.
class TerminalEchoOff {
 public:
  TerminalEchoOff() {
    saved_ok_ = tcgetattr(STDIN_FILENO, &saved_) == 0;
    if (!saved_ok_) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  ~TerminalEchoOff() {
    if (saved_ok_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  TerminalEchoOff(const TerminalEchoOff&) = delete;
  TerminalEchoOff& operator=(const TerminalEchoOff&) = delete;

 private:
  termios saved_{};
  bool saved_ok_ = false;
};

// A carriage return before the line break (a script written on Windows) belongs to the line
// end, for statements, answers and keys alike.
std::string without_carriage_return(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The process's own standard input, before anything replaced std::cin's buffer.
std::streambuf* const kStandardInput = std::cin.rdbuf();

// Standard input read in large blocks, for statements and answers alike. A line that ends
// inside the block is copied out of it once; a longer one is read straight into its own string,
// which grows by doubling, so that a batch statement of megabytes costs one pass. It reads
// whatever std::cin reads from, starting afresh when that changes.
class StdinLines {
 public:
  // The next line without its break, with room for three more bytes (the scanner's end marks);
  // nullopt at the end of input. Ctrl-C during the wait ends it with Interrupted; a line longer
  // than kLongestInputLine is read to its end, dropped, and reported with LineTooLong.
  std::optional<std::string> next() {
    if (std::cin.rdbuf() != source_) forget();
    const char* const start = block_.data() + begin_;
    if (const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_))) {
      std::string line;
      line.reserve(static_cast<std::size_t>(newline - start) + 3);
      line.append(start, newline);
      begin_ = static_cast<std::size_t>(newline - block_.data()) + 1;
      return without_carriage_return(std::move(line));
    }
    std::string line(start, end_ - begin_);
    const bool read_any = end_ > begin_;
    begin_ = end_ = 0;
    bool too_long = false;
    for (;;) {
      if (ended_) {
        if (too_long) throw LineTooLong();
        if (!read_any && line.empty()) return std::nullopt;
        return without_carriage_return(std::move(line));
      }
      const std::size_t had = line.size();
      if (line.capacity() < had + kBlock + 3) grow(line, had + kBlock + 3);
      line.resize(had + kBlock);
      const std::size_t got = fill(line.data() + had, kBlock);
      line.resize(had + got);
      const auto* newline = static_cast<const char*>(std::memchr(line.data() + had, '\n', got));
      if (newline != nullptr) {
        // What follows the break waits in the block for the next line.
        const auto at = static_cast<std::size_t>(newline - line.data());
        end_ = line.size() - at - 1;
        std::memcpy(block_.data(), newline + 1, end_);
        line.resize(at);
        if (too_long || at > kLongestInputLine) throw LineTooLong();
        return without_carriage_return(std::move(line));
      }
      if (line.size() > kLongestInputLine) {
        too_long = true;
        line.clear();  // the rest is read and dropped, a block at a time
      }
    }
  }

  void forget() {
    source_ = std::cin.rdbuf();
    begin_ = end_ = 0;
    ended_ = false;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 20;

  // Up to `size` bytes into `to`: read(2) returns what a pipe holds now, so a conversation
  // through pipes goes on; a buffer put in std::cin's place gives what it holds. 0 at the end.
  std::size_t fill(char* to, std::size_t size) {
    for (;;) {
      const ssize_t got =
          source_ == kStandardInput
              ? ::read(STDIN_FILENO, to, size)
              : static_cast<ssize_t>(source_->sgetn(to, static_cast<std::streamsize>(size)));
      if (got > 0) return static_cast<std::size_t>(got);
      if (got < 0 && errno == EINTR) {
        if (interrupt_requested()) {
          std::cout << std::endl;  // Ctrl-C ended the read; standard input itself is still open
          throw_if_interrupted("the question; nothing was done");
        }
        continue;
      }
      ended_ = true;
      return 0;
    }
  }

  // Room for at least `size` bytes. A line longer than a block is likely long: it gets 64 MiB
  // at once, of which only what is written takes memory, so that it is not copied from buffer
  // to buffer as it grows.
  static void grow(std::string& line, std::size_t size) {
    const std::size_t wanted = std::max({2 * line.capacity(), size, std::size_t{64} << 20});
    try {
      reserve_large(line, std::min(wanted, kLongestInputLine + kBlock + 3));
    } catch (const std::bad_alloc&) {
      line.reserve(std::max(2 * line.capacity(), size));  // where address space is scarce
    }
  }

  std::streambuf* source_ = nullptr;
  std::vector<char> block_ = std::vector<char>(kBlock);
  std::size_t begin_ = 0, end_ = 0;
  bool ended_ = false;
};

StdinLines& standard_input() {
  static StdinLines lines;
  return lines;
}

}  // namespace

bool stdin_is_terminal() {
  return isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> read_prompted_line(const std::string& prompt, bool prompt_when_piped) {
  if (stdin_is_terminal()) {
    rl_getc_function = read_key;
    std::unique_ptr<char, decltype(&std::free)> line(readline(prompt.c_str()), &std::free);
    if (interrupt_requested()) {
      std::cout << std::endl;
      throw Interrupted{"the line being typed"};
    }
    if (!line) return std::nullopt;
    return std::string(line.get());
  }
  if (prompt_when_piped) std::cout << prompt << std::flush;
  return read_answer_line();
}

std::optional<std::string> read_secret_line(const std::string& prompt) {
  if (!stdin_is_terminal()) return read_prompted_line(prompt, true);
  std::cout << prompt << std::flush;
  const TerminalEchoOff echo_off;
  std::string line;
  for (;;) {
    const int key = read_key(stdin);
    if (interrupt_requested()) {
      std::cout << std::endl;
      throw Interrupted{"the key prompt"};
    }
    if (key == EOF && line.empty()) return std::nullopt;
    if (key == EOF || key == '\n') break;
    line += static_cast<char>(key);
  }
  return line;  // the terminal echoed the newline (ECHONL)
}

void add_history_line(const std::string& line) {
  if (stdin_is_terminal() && !holds_secret(line)) add_history(line.c_str());
}

bool confirmed(const std::string& question, const char* cancelled_text) {
  std::cout << yellow() << question << reset() << std::flush;
  const auto answer = read_answer_line();
  if (answer && (*answer == "y" || *answer == "Y")) return true;
  std::cout << red() << cancelled_text << reset() << std::endl;
  ErrorLineRecord::note(cancelled_text);
  return false;
}

void forget_read_ahead() {
  standard_input().forget();
}

std::optional<std::string> read_answer_line() {
  throw_if_interrupted("the question; nothing was done");
  return standard_input().next();
}

}  // namespace rest_client
