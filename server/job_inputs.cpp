#include "server/job_inputs.h"

#include <stdexcept>

namespace orvix_local {

JobInput::JobInput(const std::string& path) : file_(std::fopen(path.c_str(), "rb"), &std::fclose) {
  if (!file_) throw std::runtime_error("the job's input is missing");
}

std::string JobInput::read(std::size_t count) {
  std::string data(count, '\0');
  if (std::fread(data.data(), 1, count, file_.get()) != count) {
    throw std::runtime_error("the job's input is damaged");
  }
  return data;
}

std::string JobInput::rest() {
  std::string data;
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_.get())) > 0) data.append(buffer, n);
  return data;
}

void JobInput::seek(long at) {
  std::fseek(file_.get(), at, SEEK_SET);
}

std::string read_job_input(const std::string& path) {
  return JobInput(path).rest();
}

std::string shard_header(std::size_t size) {
  std::string header(8, '\0');
  for (int i = 0; i < 8; ++i) header[i] = static_cast<char>((size >> (8 * i)) & 0xff);
  return header;
}

std::size_t shard_size(const std::string& header) {
  std::uint64_t size = 0;
  for (int i = 0; i < 8; ++i) {
    size |= static_cast<std::uint64_t>(static_cast<unsigned char>(header[i])) << (8 * i);
  }
  return size;
}

}  // namespace orvix_local
