// orvix-local: a local emulator of the Orvix service for development and tests.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "server/http_front.h"
#include "server/local_service.h"

namespace {

void usage() {
  std::cerr << "usage: orvix-local [--host ADDR] [--port N] [--data-dir DIR | --in-memory]\n"
               "                   [--api-key KEY]... [--api-key-file FILE] [--max-body-mb N]\n"
               "                   [--max-request-mb N] [--max-shard-mb N] [--max-records N]\n"
               "                   [--max-results N] [--max-inflight-mb N] [--workers N]\n"
               "                   [--max-connections N]\n"
               "Serves the Orvix API under /api and key validation at /bk/validate-api-key.\n"
               "Keys also come from ORVIX_LOCAL_API_KEYS (separated by blanks or commas).\n"
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
  // Made earlier by someone else with a wider mode: the data is the owner's alone.
  return chmod(path.c_str(), 0700) == 0;
}

// Adds the keys of a list; false when it holds none.
bool add_keys(std::set<std::string>& keys, const std::string& text, const std::string& separators) {
  bool any = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto end = text.find_first_of(separators, at);
    const std::string key = text.substr(at, end == std::string::npos ? end : end - at);
    if (!key.empty()) {
      keys.insert(key);
      any = true;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return any;
}

[[noreturn]] void refuse_keys(const std::string& what) {
  std::cerr << "orvix-local: " << what << "; refusing to start without a key\n";
  std::exit(2);
}

std::size_t positive(const std::string& option, const std::string& text) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos || std::stoull(text) == 0) {
    std::cerr << "orvix-local: " << option << " needs a positive whole number\n";
    std::exit(2);
  }
  return std::stoull(text);
}

}  // namespace

int main(int argc, char** argv) {
  umask(077);  // the database, its journal files and job inputs are the owner's alone
  // Large blocks (dataset blocks, graphs, shards) are mapped and unmapped on their own, so that
  // memory goes back to the system when a dataset or a request lets go of it.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  std::string host = "127.0.0.1";
  int port = ORVIX_LOCAL_DEFAULT_PORT;
  std::string data_dir = default_data_dir();
  bool in_memory = false;
  std::set<std::string> keys;
  orvix_local::ServiceLimits limits;
  orvix_local::HttpLimits http;
  bool key_given = false;
  bool connections_given = false;
  if (const char* from_env = std::getenv("ORVIX_LOCAL_API_KEYS")) {
    key_given = true;
    if (!add_keys(keys, from_env, " \t\n,")) refuse_keys("ORVIX_LOCAL_API_KEYS holds no key");
  }
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
      port = static_cast<int>(std::min<std::size_t>(positive(arg, value()), 65536));
    } else if (arg == "--data-dir") {
      data_dir = value();
    } else if (arg == "--in-memory") {
      in_memory = true;
    } else if (arg == "--api-key") {
      const std::string key = value();
      key_given = true;
      if (key.empty()) refuse_keys("--api-key was given an empty key");
      keys.insert(key);
    } else if (arg == "--api-key-file") {
      const std::string path = value();
      std::ifstream file(path);
      if (!file) {
        std::cerr << "orvix-local: cannot read the key file " << path << "\n";
        return 2;
      }
      const std::string text((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
      key_given = true;
      if (!add_keys(keys, text, "\r\n")) refuse_keys("the key file " + path + " holds no key");
    } else if (arg == "--max-body-mb") {
      limits.max_upload_body = positive(arg, value()) << 20;
    } else if (arg == "--max-request-mb") {
      limits.max_request_body = positive(arg, value()) << 20;
    } else if (arg == "--max-shard-mb") {
      limits.max_shard_bytes = positive(arg, value()) << 20;
    } else if (arg == "--max-records") {
      limits.max_records = positive(arg, value());
    } else if (arg == "--max-results") {
      limits.max_results = positive(arg, value());
    } else if (arg == "--max-inflight-mb") {
      limits.max_inflight = positive(arg, value()) << 20;
    } else if (arg == "--workers") {
      http.workers = positive(arg, value());
    } else if (arg == "--max-connections") {
      http.max_connections = positive(arg, value());
      connections_given = true;
    } else if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else {
      std::cerr << "orvix-local: unknown argument " << arg << "\n";
      usage();
      return 2;
    }
  }
  // Connections leave descriptors for the database, the jobs' files and the spare one the front
  // keeps: the soft limit is raised to the hard one, and connections stay 128 below it.
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0) {
    if (descriptors.rlim_cur < descriptors.rlim_max) {
      descriptors.rlim_cur = std::min<rlim_t>(descriptors.rlim_max, 1 << 20);
      setrlimit(RLIMIT_NOFILE, &descriptors);
      getrlimit(RLIMIT_NOFILE, &descriptors);
    }
    const std::size_t room = descriptors.rlim_cur > 256 ? descriptors.rlim_cur - 128 : 128;
    if (http.max_connections > room) {
      if (connections_given) {
        std::cerr << "orvix-local: --max-connections " << http.max_connections
                  << " is more than the descriptor limit (" << descriptors.rlim_cur
                  << ") leaves room for; serving " << room << "\n";
      }
      http.max_connections = room;
    }
  }
  if (!key_given) {
    keys.insert("orvix-local-key");
    std::cerr << "orvix-local: no key was given (--api-key, --api-key-file or "
                 "ORVIX_LOCAL_API_KEYS); serving the default key orvix-local-key, which anyone "
                 "may know\n";
  }
  if (port <= 0 || port > 65535) {
    std::cerr << "orvix-local: bad port\n";
    return 2;
  }
  if (!in_memory && !make_dirs(data_dir)) {
    std::cerr << "orvix-local: cannot create the data directory " << data_dir << "\n";
    return 1;
  }
  if (!in_memory) {
    for (const char* suffix : {"/orvix.db", "/orvix.db-wal", "/orvix.db-shm"}) {
      chmod((data_dir + suffix).c_str(), 0600);  // files of earlier versions were 0644
    }
  }

  // SIGINT and SIGTERM are taken by one thread that stops the server.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    orvix_local::LocalService service(in_memory ? "" : data_dir, keys, limits);
    const auto server = orvix_local::http_front(service, http);
    if (!server->bind(host, port)) {
      std::cerr << "orvix-local: cannot listen on " << host << ":" << port << "\n";
      return 1;
    }
    std::mutex mutex;
    std::condition_variable ended;
    bool listening = true;
    std::thread stopper([&] {
      int signal = 0;
      sigwait(&stop_signals, &signal);
      service.stop_jobs();  // the running job rolls back and runs again at the next start
      server->stop();
      std::unique_lock<std::mutex> lock(mutex);
      if (!ended.wait_for(lock, std::chrono::milliseconds(1500), [&] { return !listening; })) {
        // A client is still holding a connection open; its request has stored nothing that
        // a transaction did not commit, so the process may end without waiting for it.
        const std::string scratch = service.scratch_path();
        if (!scratch.empty()) {
          std::error_code ignored;
          std::filesystem::remove_all(scratch, ignored);
        }
        std::fprintf(stderr, "orvix-local stopped (connections left open)\n");
        std::_Exit(0);
      }
    });
    std::cerr << "orvix-local listening on http://" << host << ":" << port << " ("
              << (in_memory ? std::string("in memory") : data_dir) << ")" << std::endl;
    server->run();
    {
      std::lock_guard<std::mutex> lock(mutex);
      listening = false;
    }
    ended.notify_all();
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    std::cerr << "orvix-local stopped" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "orvix-local: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
