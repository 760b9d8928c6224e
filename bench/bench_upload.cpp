// Helpers of bench/upload:
//   sink PORT [SIZES]   a loopback service that reads and discards upload bodies and answers at
//                       once (login, version check, "/upload" and "/add_data_batch", job status
//                       "finished"); given
//                       SIZES, it also appends to that file, for each shard, the size of its
//                       gzip data and of the same bytes compressed by zlib at its default level
//   csv PATH MIB        a CSV file of 128 float columns, about MIB mebibytes
//   json PATH MIB       a JSON array of {"id", "tag", "v": [128 floats]} objects
//   binary PATH MIB     a float32 file of MIB mebibytes
//   exact DATA QUERIES DIM   exact L2 top-10 row numbers of each query
//   gaussian PATH N DIM CLUSTERS SEED   N float32 vectors around CLUSTERS centres (0: isotropic)
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/payload.h"
#include "tests/support/decode.h"
#include "tests/support/loopback.h"

namespace {

// For one "/upload" body: "SENT ZLIB" (bytes of the shard's gzip member, and of the shard's data
// compressed by zlib's default level), or "failed" when the member does not inflate whole.
std::string compare_sizes(const std::string& body) {
  const std::string key = "\"file_data\":\"";
  const std::size_t begin = body.find(key) + key.size(), end = body.find('"', begin);
  if (begin < key.size() || end == std::string::npos || (end - begin) % 4 != 0) return "failed";
  const std::string member = testing_support::unbase64(body.substr(begin, end - begin));
  const auto data = testing_support::inflate_member(member);
  if (!data) return "failed";
  const auto zlib = rest_client::gzipCompress({data->begin(), data->end()}, Z_DEFAULT_COMPRESSION);
  return std::to_string(member.size()) + " " + std::to_string(zlib.size());
}

// One request on a connection of its own: its body is read in 1 MiB pieces and dropped (or kept
// to compare its size, given `sizes`), and the answer for its path is written.
void serve_one(int fd, const char* sizes) {
  std::string head, request;
  const std::size_t received =
      testing_support::read_request(fd, head, std::string::npos, sizes ? &request : nullptr);
  if (received == std::string::npos) return void(::close(fd));
  const std::size_t path_at = head.find(' ') + 1;  // "POST /api/upload HTTP/1.1"
  const std::string path = head.substr(path_at, head.find(' ', path_at) - path_at);
  std::string body = R"({"success":true,"message":""})";
  if (path == "/bk/validate-api-key") body = R"({"user_id":"u","username":"bench"})";
  if (path == "/api/get_upload_data_status") {
    body = R"({"success":true,"status":"finished","error_message":"ok"})";
  }
  if (path == "/api/upload" && sizes != nullptr) {
    static std::mutex file_mutex;
    const std::lock_guard lock(file_mutex);
    if (std::FILE* file = std::fopen(sizes, "a")) {
      std::fprintf(file, "%s\n", compare_sizes(request).c_str());
      std::fclose(file);
    }
  }
  if (path == "/api/upload" || path == "/api/add_data_batch") {
    body = R"({"checksum_server":"not-compared","job_id":"j)" + std::to_string(received) + "\"}";
  }
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  for (std::size_t sent = 0; sent < answer.size();) {
    const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// A loopback service as thin as can be: a thread per connection, one request each. (An HTTP
// library's server reads bodies in 4 KiB pieces, and a shard's transfer then waits on the sink.)
int sink(int port, const char* sizes) {
  const int listener = testing_support::listen_on_loopback(port, 64);
  if (listener < 0) return 1;
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) std::thread(serve_one, fd, sizes).detach();
  }
}

int write_csv(const char* path, std::size_t bytes) {
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return 1;
  std::mt19937 random(3);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::size_t written = 0;
  char line[4096];
  while (written < bytes) {
    int n = 0;
    for (int c = 0; c < 128; ++c)
      n += std::snprintf(line + n, sizeof line - n, c ? ",%.6f" : "%.6f", value(random));
    line[n++] = '\n';
    written += std::fwrite(line, 1, n, file);
  }
  return std::fclose(file);
}

int write_json(const char* path, std::size_t bytes) {
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return 1;
  std::mt19937 random(5);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::size_t written = std::fwrite("[", 1, 1, file);
  char element[4096];
  for (long id = 0; written < bytes; ++id) {
    int n =
        std::snprintf(element, sizeof element, "%s{\"id\": \"v%ld\", \"tag\": \"t%ld\", \"v\": [",
                      id ? ",\n" : "", id, id % 100);
    for (int c = 0; c < 128; ++c)
      n += std::snprintf(element + n, sizeof element - n, c ? ", %.6f" : "%.6f", value(random));
    n += std::snprintf(element + n, sizeof element - n, "]}");
    written += std::fwrite(element, 1, n, file);
  }
  std::fwrite("]\n", 1, 2, file);
  return std::fclose(file);
}

// Exact top-10 (L2) of each query against a float32 file of `dim` columns; prints one line of
// ids (row numbers) per query.
int exact_top10(const char* data_path, const char* query_path, int dim, bool cosine) {
  auto load = [dim](const char* path) {
    std::vector<float> values;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return values;
    float v;
    while (std::fread(&v, sizeof v, 1, file) == 1) values.push_back(v);
    std::fclose(file);
    return values;
  };
  const auto data = load(data_path), queries = load(query_path);
  const std::size_t n = data.size() / dim, q = queries.size() / dim;
  for (std::size_t i = 0; i < q; ++i) {
    std::vector<std::pair<float, std::size_t>> scored(n);
    for (std::size_t r = 0; r < n; ++r) {
      float sum = 0, dot = 0, norm = 0;
      for (int d = 0; d < dim; ++d) {
        const float a = data[r * dim + d], b = queries[i * dim + d];
        sum += (a - b) * (a - b);
        dot += a * b;
        norm += a * a;
      }
      // Cosine: the query's own norm ranks nothing.
      scored[r] = {cosine ? -dot / std::sqrt(norm) : sum, r};
    }
    std::partial_sort(scored.begin(), scored.begin() + 10, scored.end());
    for (int k = 0; k < 10; ++k) std::printf("%zu%c", scored[k].second, k == 9 ? '\n' : ' ');
  }
  return 0;
}

// float32 vectors drawn around `clusters` Gaussian centres (none: one isotropic Gaussian); the
// same seed and cluster count give the same centres, so queries can be drawn apart from data.
int write_gaussian(const char* path, std::size_t n, int dim, int clusters, unsigned seed) {
  std::mt19937 centre_random(12345), random(seed);
  std::normal_distribution<float> normal;
  std::vector<float> centres(static_cast<std::size_t>(std::max(clusters, 1)) * dim, 0.0f);
  if (clusters > 0) {
    for (auto& c : centres) c = normal(centre_random);
  }
  const float spread = clusters > 0 ? 0.3f : 1.0f;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 1;
  std::vector<float> row(dim);
  std::uniform_int_distribution<int> pick(0, std::max(clusters, 1) - 1);
  for (std::size_t i = 0; i < n; ++i) {
    const float* centre = &centres[static_cast<std::size_t>(pick(random)) * dim];
    for (int d = 0; d < dim; ++d) row[d] = centre[d] + spread * normal(random);
    std::fwrite(row.data(), sizeof(float), row.size(), file);
  }
  return std::fclose(file) == 0 ? 0 : 1;
}

int write_binary(const char* path, std::size_t bytes) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 1;
  std::mt19937 random(4);
  std::normal_distribution<float> value(0.0f, 1.0f);
  std::vector<float> block(1 << 20);
  for (std::size_t written = 0; written < bytes; written += block.size() * sizeof(float)) {
    for (auto& v : block) v = value(random);
    std::fwrite(block.data(), sizeof(float), block.size(), file);
  }
  return std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "sink" && argc > 2) return sink(std::atoi(argv[2]), argc > 3 ? argv[3] : nullptr);
  if (mode == "csv" && argc > 3)
    return write_csv(argv[2], std::strtoull(argv[3], nullptr, 10) << 20);
  if (mode == "json" && argc > 3)
    return write_json(argv[2], std::strtoull(argv[3], nullptr, 10) << 20);
  if (mode == "exact" && argc > 4) {
    return exact_top10(argv[2], argv[3], std::atoi(argv[4]),
                       argc > 5 && std::string(argv[5]) == "cosine");
  }
  if (mode == "gaussian" && argc > 6) {
    return write_gaussian(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]),
                          std::atoi(argv[5]), static_cast<unsigned>(std::atoi(argv[6])));
  }
  if (mode == "binary" && argc > 3)
    return write_binary(argv[2], std::strtoull(argv[3], nullptr, 10) << 20);
  std::fprintf(stderr, "usage: bench_upload sink PORT | csv PATH MIB | binary PATH MIB\n");
  return 2;
}
