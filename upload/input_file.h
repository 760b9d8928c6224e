#pragma once
// An upload's data file, open for reading: it notices when the file changes while it is read,
// and keeps the SHA-256 of every byte read so far, so that an upload's journal can name the part
// of the file already sent and a resumed upload can check that part without sending it again.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

struct evp_md_ctx_st;

namespace rest_client {

// SHA-256 over a file's bytes from its start, fed in order.
class RunningHash {
 public:
  RunningHash();
  ~RunningHash();
  RunningHash(RunningHash&& other) noexcept;
  RunningHash& operator=(RunningHash&& other) noexcept;
  RunningHash(const RunningHash&) = delete;
  RunningHash& operator=(const RunningHash&) = delete;

  void update(const char* data, std::size_t size);
  // Bytes fed so far.
  std::uint64_t bytes() const { return bytes_; }
  // The digest of the bytes fed so far, in hex; feeding may go on.
  std::string hex() const;
  RunningHash clone() const;

 private:
  evp_md_ctx_st* context_;
  std::uint64_t bytes_ = 0;
};

// An upload opens its data file once, before its first step; every step (the embedding header,
// the column count, the check of the part already sent, the reader) begins with `start_at`, and
// whatever changed since that open is seen against it.
class InputFile {
 public:
  // Opens the file at its start, hashing nothing until `start_at` says so.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  explicit operator bool() const { return file_ != nullptr; }
  std::size_t read(char* buffer, std::size_t size);
  // Reading begins again at `start`, with `hash` the state of the bytes before it; without
  // `hashing`, the bytes read are not hashed (a dry run keeps no journal).
  void start_at(std::uint64_t start, const RunningHash* hash = nullptr, bool hashing = true);
  // Back to where reading began, for another pass over the same open file.
  void rewind();
  const std::string& path() const { return path_; }
  const struct stat& stat_at_open() const { return at_open_; }
  std::FILE* get() const { return file_; }
  std::uint64_t size_at_open() const { return static_cast<std::uint64_t>(at_open_.st_size); }
  // Where the next read begins.
  std::uint64_t position() const { return position_; }
  const RunningHash& hash() const { return hash_; }
  // At the end of reading: a file that was cut short, grew or was rewritten meanwhile cannot
  // have been sent as it is.
  void check_unchanged(std::uint64_t records_sent, bool read_to_end = true) const;

 private:
  std::string path_;
  std::FILE* file_;
  struct stat at_open_ {};
  std::uint64_t start_ = 0, position_ = 0;
  bool hashing_;
  RunningHash start_hash_, hash_;
};

}  // namespace rest_client
