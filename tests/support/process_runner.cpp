#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environment_of(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (const char* name :
       {"PATH", "HOME", "XDG_STATE_HOME", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  for (const auto& [key, value] : options.env) env.push_back(key + "=" + value);
  // The user's own profiles never reach a test that does not name its own.
  if (options.env.count("XDG_CONFIG_HOME") == 0) env.push_back("XDG_CONFIG_HOME=/nonexistent");
  return env;
}

// The program's arguments and environment, made before fork: the child of a process with
// threads (the fake service's) may only call async-signal-safe functions, and an allocation
// there can wait forever for a lock another thread held at the fork.
class ExecImage {
 public:
  ExecImage(const std::string& program, const ProcessOptions& options)
      : args_{program}, env_(environment_of(options)) {
    args_.insert(args_.end(), options.arguments.begin(), options.arguments.end());
    for (auto& a : args_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
    for (auto& e : env_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
  }
  [[noreturn]] void exec() const {
    execve(argv_[0], argv_.data(), envp_.data());
    _exit(127);
  }

 private:
  std::vector<std::string> args_, env_;
  std::vector<char*> argv_, envp_;
};

int wait_status(pid_t pid, Clock::time_point deadline, bool& timed_out) {
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (Clock::now() > deadline) {
      timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ProcessResult run_process(const std::string& program, const ProcessOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const ExecImage image(program, options);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
      close(fd);
    }
    image.exec();
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);

  ProcessResult result;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  bool out_open = true, err_open = true;
  char buffer[65536];
  while ((out_open || err_open) && Clock::now() < deadline) {
    pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                     {err_open ? err_pipe[0] : -1, POLLIN, 0},
                     {in_fd, POLLOUT, 0}};
    poll(fds, 3, 50);
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n =
          write(in_fd, options.input.data() + written, options.input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) written = options.input.size();
      if (written == options.input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.exit_status = wait_status(pid, deadline, result.timed_out);
  return result;
}

ProcessResult run_on_terminal(const std::string& program, const ProcessOptions& options,
                              const std::vector<TerminalStep>& steps) {
  int master = -1;
  winsize size{24, 200, 0, 0};
  const ExecImage image(program, options);
  const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) image.exec();

  ProcessResult result;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
  std::size_t step = 0;
  std::size_t search_from = 0;
  char buffer[4096];
  for (;;) {
    if (step < steps.size()) {
      const auto found = result.out.find(steps[step].expect, search_from);
      if (found != std::string::npos) {
        search_from = found + steps[step].expect.size();
        // Give the line editor time to put the terminal into its own mode, as a typist would.
        usleep(150000);
        const std::string& send = steps[step].send;
        if (write(master, send.data(), send.size()) < 0) break;
        ++step;
        continue;
      }
    }
    if (Clock::now() > deadline) break;
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 50) <= 0) continue;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // the child closed the terminal
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  if (step < steps.size()) result.waiting_for = steps[step].expect;
  close(master);
  result.exit_status = wait_status(pid, deadline, result.timed_out);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& arguments,
                                     const std::string& log_path,
                                     const std::map<std::string, std::string>& env) {
  ProcessOptions options;
  options.arguments = arguments;
  options.env = env;
  const ExecImage image(program, options);
  pid_ = fork();
  if (pid_ == 0) {
    const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(log, 1);
    dup2(log, 2);
    image.exec();
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) stop(SIGTERM);
}

bool BackgroundProcess::wait_for_port(int port, int timeout_ms) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    bool open = false;
    close(connect_to_loopback(port, false, &open));
    if (open) return true;
    usleep(10000);
  }
  return false;
}

int BackgroundProcess::stop(int signal_number) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal_number);
  bool timed_out = false;
  const int status = wait_status(pid_, Clock::now() + std::chrono::seconds(10), timed_out);
  pid_ = -1;
  return status;
}

}  // namespace testing_support
