// orvix-local: a local emulator of the Orvix service for development and tests.
//   orvix-local [--host ADDR] [--port N] [--data-dir DIR | --in-memory] [--api-key KEY]...
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "server/local_service.h"

namespace {

void usage() {
  std::cerr << "usage: orvix-local [--host ADDR] [--port N] [--data-dir DIR | --in-memory] "
               "[--api-key KEY]...\n"
               "Serves the Orvix API under /api and key validation at /bk/validate-api-key.\n"
               "Defaults: --host 127.0.0.1 --port "
            << ORVIX_LOCAL_DEFAULT_PORT
            << " --data-dir ~/.local/share/orvix-local --api-key orvix-local-key\n";
}

std::string default_data_dir() {
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.local/share/orvix-local";
}

bool make_dirs(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      const std::string part = path.substr(0, at);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = ORVIX_LOCAL_DEFAULT_PORT;
  std::string data_dir = default_data_dir();
  bool in_memory = false;
  std::set<std::string> keys;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "orvix-local: " << arg << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--host") {
      host = value();
    } else if (arg == "--port") {
      port = std::atoi(value().c_str());
    } else if (arg == "--data-dir") {
      data_dir = value();
    } else if (arg == "--in-memory") {
      in_memory = true;
    } else if (arg == "--api-key") {
      keys.insert(value());
    } else if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else {
      std::cerr << "orvix-local: unknown argument " << arg << "\n";
      usage();
      return 2;
    }
  }
  if (keys.empty()) keys.insert("orvix-local-key");
  if (port <= 0 || port > 65535) {
    std::cerr << "orvix-local: bad port\n";
    return 2;
  }
  if (!in_memory && !make_dirs(data_dir)) {
    std::cerr << "orvix-local: cannot create the data directory " << data_dir << "\n";
    return 1;
  }

  // SIGINT and SIGTERM are taken by one thread that stops the server.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    orvix_local::LocalService service(in_memory ? "" : data_dir + "/orvix.db", keys);
    httplib::Server server;
    server.set_payload_max_length(1ULL << 31);  // larger bodies get 413
    server.set_read_timeout(300);
    server.set_write_timeout(300);
    service.mount(server);
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
      std::fprintf(stderr, "%s %s %d %zu\n", request.method.c_str(), request.path.c_str(),
                   response.status, response.body.size());
    });
    if (!server.bind_to_port(host, port)) {
      std::cerr << "orvix-local: cannot listen on " << host << ":" << port << "\n";
      return 1;
    }
    std::thread stopper([&server, stop_signals] {
      int signal = 0;
      sigwait(&stop_signals, &signal);
      server.stop();
    });
    std::cerr << "orvix-local listening on http://" << host << ":" << port << " ("
              << (in_memory ? std::string("in memory") : data_dir) << ")" << std::endl;
    server.listen_after_bind();
    if (stopper.joinable()) {
      pthread_kill(stopper.native_handle(), SIGTERM);
      stopper.join();
    }
    std::cerr << "orvix-local stopped" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "orvix-local: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
