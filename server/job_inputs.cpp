#include "server/job_inputs.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "server/codec.h"
#include "server/large_memory.h"
#include "server/limits.h"
#include "server/store.h"

namespace orvix_local {

StagedInput::StagedInput(const std::string& directory) : path_(directory + "/staging-XXXXXX") {
  fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    path_.clear();
    throw std::runtime_error("cannot keep the job's input: " + std::string(std::strerror(errno)));
  }
}

StagedInput::StagedInput(StagedInput&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), size_(other.size_) {
  other.path_.clear();
  other.fd_ = -1;
}

StagedInput::~StagedInput() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

void StagedInput::write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), std::min(data.size(), kWritePiece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (errno == ENOSPC || errno == EDQUOT) {
        throw ApiError(507, "INSUFFICIENT_STORAGE",
                       "the service's disk is full; nothing was stored");
      }
      throw std::runtime_error("cannot keep the job's input: " + std::string(std::strerror(errno)));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    size_ += static_cast<std::size_t>(n);
  }
}

std::string StagedInput::release() {
  if (fd_ >= 0 && ::close(fd_) != 0) {
    fd_ = -1;
    throw std::runtime_error("cannot keep the job's input: " + std::string(std::strerror(errno)));
  }
  fd_ = -1;
  return std::exchange(path_, std::string());
}

StagedInput StagedInput::adopt(std::string path) {
  StagedInput input;
  input.path_ = std::move(path);
  return input;
}

std::uint32_t stated_gzip_size(std::string_view base64) {
  if (base64.size() < 8 || base64.size() % 4 != 0) return 0;
  try {
    const std::string tail = base64_decode(base64.substr(base64.size() - 8));
    if (tail.size() < 4) return 0;
    std::uint32_t size = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      size |= static_cast<std::uint32_t>(static_cast<unsigned char>(tail[tail.size() - 4 + i]))
              << (8 * i);
    }
    return size;
  } catch (const std::exception&) {
    return 0;
  }
}

WindowedInput::WindowedInput(const std::string& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("the job's input is missing");
  }
  size_ = static_cast<std::size_t>(info.st_size);
}

WindowedInput::~WindowedInput() {
  ::close(fd_);
}

void WindowedInput::read(std::size_t begin, std::size_t end, std::size_t window,
                         const std::function<void(std::string_view, bool)>& take) const {
  if (begin > end || end > size_) throw std::runtime_error("the job's input is damaged");
  if (begin == end) return take({}, true);
  // One window's mapping, unmapped once it is handed on (or its reader throws).
  struct Window {
    Window(int fd, std::size_t offset, std::size_t bytes) : length(bytes) {
      at = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd,
                  static_cast<off_t>(offset));
      if (at == MAP_FAILED) throw std::runtime_error("the job's input cannot be read");
    }
    ~Window() { ::munmap(at, length); }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    void* at;
    std::size_t length;
  };
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  for (std::size_t from = begin; from < end; from += window) {
    const std::size_t piece = std::min(window, end - from);
    const std::size_t mapped_from = from / page * page;  // a mapping starts on a page
    const Window mapped(fd_, mapped_from, from - mapped_from + piece);
    take({static_cast<const char*>(mapped.at) + (from - mapped_from), piece}, from + piece == end);
  }
}

void inflate_base64(const WindowedInput& input, std::size_t begin, std::size_t end,
                    std::size_t limit, std::string& out) {
  out.clear();
  inflate_base64(input, begin, end, limit, [&out](const char* data, std::size_t n) {
    if (out.capacity() < out.size() + n) {
      out.reserve(std::max(out.capacity() * 2, out.size() + n));
    }
    out.append(data, n);
  });
}

void inflate_base64(const WindowedInput& input, std::size_t begin, std::size_t end,
                    std::size_t limit, const GzipReader::Sink& sink, const GzipReader::Room& room) {
  GzipReader reader(limit, sink, room);
  constexpr std::size_t kWindow = 4 << 20;  // a multiple of 4: windows decode on their own
  std::vector<char> block;                  // one window's bytes, decoded
  input.read(begin, end, kWindow, [&](std::string_view piece, bool last) {
    if (block.size() < piece.size() / 4 * 3) block.resize(piece.size() / 4 * 3);
    reader.feed({block.data(), base64_decode_into(piece, block.data(), last)});
  });
  reader.finish();
}

MappedInput::MappedInput(const std::string& path, bool populate) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("the job's input is missing");
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    throw std::runtime_error("the job's input is missing");
  }
  size_ = static_cast<std::size_t>(info.st_size);
  if (size_ > 0) {
    // A whole file is mapped in one go: a fault for every 4 KiB page of a large file costs more
    // than reading it.
    void* at =
        ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd, 0);
    if (at == MAP_FAILED) {
      ::close(fd);
      throw std::runtime_error("the job's input cannot be read");
    }
    data_ = static_cast<char*>(at);
    if (populate) ::madvise(at, size_, MADV_SEQUENTIAL);
  }
  ::close(fd);
}

MappedInput::~MappedInput() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

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

std::size_t shard_size(const std::string& header) {
  std::uint64_t size = 0;
  for (int i = 0; i < 8; ++i) {
    size |= static_cast<std::uint64_t>(static_cast<unsigned char>(header[i])) << (8 * i);
  }
  return size;
}

}  // namespace orvix_local
