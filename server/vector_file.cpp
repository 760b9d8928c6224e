#include "server/vector_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "server/sqlite_db.h"

namespace orvix_local {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  const int error = errno;
  const int code = error == ENOSPC || error == EDQUOT ? SQLITE_FULL : SQLITE_IOERR;
  throw StorageError(code,
                     "storage error: cannot " + what + " " + path + ": " + std::strerror(error));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string vector_file_path(const std::string& directory, std::int64_t dataset_id) {
  return directory + "/" + std::to_string(dataset_id) + ".f32";
}

void write_vector_rows(const std::string& path, std::int64_t first_row, int dim,
                       const std::vector<const float*>& rows) {
  if (rows.empty()) return;
  const Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (file.get() < 0) fail("open", path);
  const std::size_t row_bytes = static_cast<std::size_t>(dim) * sizeof(float);
  std::vector<iovec> pieces;
  pieces.reserve(std::min<std::size_t>(rows.size(), IOV_MAX));
  auto offset = static_cast<off_t>(first_row) * static_cast<off_t>(row_bytes);
  for (std::size_t done = 0; done < rows.size();) {
    pieces.clear();
    for (std::size_t i = done; i < rows.size() && pieces.size() < IOV_MAX; ++i) {
      pieces.push_back({const_cast<float*>(rows[i]), row_bytes});
    }
    std::size_t left = pieces.size() * row_bytes;
    iovec* next = pieces.data();
    int count = static_cast<int>(pieces.size());
    while (left > 0) {
      const ssize_t n = ::pwritev(file.get(), next, count, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("write", path);
      offset += n;
      left -= static_cast<std::size_t>(n);
      // A short write: step over what went out, part of a piece included.
      for (auto written = static_cast<std::size_t>(n); written > 0;) {
        const std::size_t step = std::min(written, next->iov_len);
        next->iov_base = static_cast<char*>(next->iov_base) + step;
        next->iov_len -= step;
        written -= step;
        if (next->iov_len == 0) ++next, --count;
      }
    }
    done += pieces.size();
  }
  // On disk before the transaction that records these rows commits, so no committed row can
  // point at values a power cut lost.
  if (::fdatasync(file.get()) != 0) fail("sync", path);
}

VectorFileReader::VectorFileReader(std::string path, int dim)
    : path_(std::move(path)),
      row_bytes_(static_cast<std::size_t>(std::max(dim, 0)) * sizeof(float)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0 && errno != ENOENT) fail("open", path_);
  struct stat info {};
  if (fd_ >= 0 && ::fstat(fd_, &info) != 0) fail("read", path_);
  size_ = static_cast<std::size_t>(info.st_size);
}

VectorFileReader::~VectorFileReader() {
  unmap();
  if (fd_ >= 0) ::close(fd_);
}

void VectorFileReader::unmap() {
  if (window_ != nullptr) ::munmap(window_, window_bytes_);
  window_ = nullptr;
}

const float* VectorFileReader::row(std::int64_t row) {
  const auto at = static_cast<std::size_t>(row) * row_bytes_;
  if (fd_ < 0 || row < 0 || row_bytes_ == 0 || at / row_bytes_ != static_cast<std::size_t>(row) ||
      at + row_bytes_ > size_) {
    throw StorageError(SQLITE_CORRUPT, "storage error: " + path_ + " does not hold row " +
                                           std::to_string(row) + "; the file is damaged");
  }
  if (window_ == nullptr || at < window_at_ || at + row_bytes_ > window_at_ + window_bytes_) {
    // A window of the file from the page that holds the row, mapped and read in one go: a
    // fault for every page costs more than reading them.
    constexpr std::size_t kWindowBytes = 64 << 20;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    unmap();
    window_at_ = at / page * page;
    window_bytes_ =
        std::min(size_ - window_at_, std::max(kWindowBytes, at + row_bytes_ - window_at_));
    void* mapped = ::mmap(nullptr, window_bytes_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_,
                          static_cast<off_t>(window_at_));
    if (mapped == MAP_FAILED) fail("map", path_);
    window_ = static_cast<char*>(mapped);
  }
  return reinterpret_cast<const float*>(window_ + (at - window_at_));
}

}  // namespace orvix_local
