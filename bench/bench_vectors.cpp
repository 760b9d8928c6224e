// Times the client's own work on large vector statements and payloads (no network):
//   batch   an INSERT_VECTOR_BATCH line of N dense vectors is scanned, parsed, converted and
//           serialised with its checksum (the request goes to a closed port and fails at once)
//   base64  base64 of M MiB of random bytes
//   sha256  SHA-256 of the same bytes
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>

#include "client/payload.h"
#include "shell/dispatcher.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "batch" && argc > 3) {
    std::ifstream file(argv[2], std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string line = text.str();
    rest_client::Session session;
    session.endpoints.api = "http://127.0.0.1:1/api";  // nothing listens there
    std::streambuf* out = std::cout.rdbuf(nullptr);
    std::streambuf* err = std::cerr.rdbuf(nullptr);
    const auto start = std::chrono::steady_clock::now();
    rest_client::run_statement_line(session, std::move(line));
    const double elapsed = seconds_since(start);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    std::printf("%.3f\n", elapsed);
    return 0;
  }
  if ((mode == "base64" || mode == "sha256") && argc > 2) {
    const std::size_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    std::string bytes(size, '\0');
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      const auto word = random();
      std::memcpy(bytes.data() + i, &word, 8);
    }
    // First run into fresh memory, then again into the same buffer, as the upload reuses its
    // buffers from shard to shard.
    std::string result;
    double elapsed[2];
    for (double& e : elapsed) {
      result.clear();
      const auto start = std::chrono::steady_clock::now();
      if (mode == "base64") {
        rest_client::base64_append(reinterpret_cast<const unsigned char*>(bytes.data()), size,
                                   result);
      } else {
        result = rest_client::calculate_sha256(bytes);
      }
      e = seconds_since(start);
    }
    std::printf("%.3f %.2f %.3f %.2f\n", elapsed[0], static_cast<double>(size) / elapsed[0] / 1e9,
                elapsed[1], static_cast<double>(size) / elapsed[1] / 1e9);
    return result.empty() ? 1 : 0;
  }
  std::fprintf(stderr, "usage: bench_vectors batch FILE N | base64 MIB | sha256 MIB\n");
  return 2;
}
