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

#include "server/limits.h"
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
    std::size_t left = 0;
    // Rows that lie one after another in memory (a shard's, in its text) go as one piece; a
    // write takes at most kWritePiece, and always one row.
    for (; done < rows.size() && (left == 0 || left + row_bytes <= kWritePiece); ++done) {
      const auto* row = reinterpret_cast<const char*>(rows[done]);
      if (!pieces.empty() &&
          static_cast<const char*>(pieces.back().iov_base) + pieces.back().iov_len == row) {
        pieces.back().iov_len += row_bytes;
      } else if (pieces.size() < IOV_MAX) {
        pieces.push_back({const_cast<char*>(row), row_bytes});
      } else {
        break;
      }
      left += row_bytes;
    }
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
  }
  // On disk before the transaction that records these rows commits, so no committed row can
  // point at values a power cut lost.
  if (::fdatasync(file.get()) != 0) fail("sync", path);
}

void release_vector_rows(const std::string& path, int dim, const std::vector<std::int64_t>& rows) {
  const Descriptor file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (file.get() < 0) return;
  const auto row_bytes = static_cast<off_t>(dim) * static_cast<off_t>(sizeof(float));
  std::vector<std::int64_t> sorted(rows);
  std::sort(sorted.begin(), sorted.end());
  // One hole for each run of consecutive rows.
  for (std::size_t first = 0, end = 0; first < sorted.size(); first = end) {
    for (end = first + 1; end < sorted.size() && sorted[end] <= sorted[end - 1] + 1;) ++end;
    const auto count = static_cast<off_t>(sorted[end - 1] - sorted[first] + 1);
    // Best effort: where holes cannot be made, the space stays taken and nothing else changes.
    if (::fallocate(file.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                    static_cast<off_t>(sorted[first]) * row_bytes, count * row_bytes) != 0) {
      return;
    }
  }
}

std::size_t vector_file_size(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return 0;
    fail("read", path);
  }
  return static_cast<std::size_t>(info.st_size);
}

ValueWindow::ValueWindow(const std::string& path, std::size_t offset, std::size_t length) {
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) fail("open", path);
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t start = offset / page * page;
  mapped_ = length + (offset - start);
  mapping_ = ::mmap(nullptr, mapped_, PROT_READ, MAP_SHARED, file.get(), static_cast<off_t>(start));
  if (mapping_ == MAP_FAILED) {
    mapping_ = nullptr;
    fail("map", path);
  }
  data_ = static_cast<const char*>(mapping_) + (offset - start);
}

ValueWindow::~ValueWindow() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
}

}  // namespace orvix_local
