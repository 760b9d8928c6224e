#pragma once
// An upload's journal: what identifies the upload (the file's size and time, the options, the
// shard size, the hash of the part of the file read so far) and each shard's byte range, first
// record, state and job. This class alone changes it, and writes each change at once, whole and
// atomically (a new temporary file, fsync, rename, fsync of the directory), so that whatever
// ends the client, it tells the truth; `--resume` reads it to go on. A lock beside it keeps a
// second upload of the same file to the same dataset from running at the same time.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace rest_client {

struct JournalShard {
  // kSending: its request may have gone out and no answer was read, or the answer said nothing
  // one could rely on (sent, answer unknown); kSent: the service took it, and its job was not
  // seen to end; kFinished: stored; kFailed: refused, or its job failed.
  enum class State { kSending, kSent, kFinished, kFailed };
  std::uint64_t begin = 0, end = 0;  // its records' bytes in the file
  std::uint64_t first_record = 0, records = 0;
  State state = State::kSending;
  std::string job_id;

  // "records 601-700"
  std::string record_range() const;
};

// Owns a file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor();
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so that a failed close is seen.
  bool close();

 private:
  int fd_;
};

class UploadJournal {
 public:
  // One journal per (service, user, project, dataset, absolute file path), in `directory`, which
  // is made (0700) when missing. Throws std::runtime_error when the directory cannot be made,
  // is not the user's own, or others may write to it.
  UploadJournal(const std::string& directory, const nlohmann::json& key);

  const std::string& path() const { return path_; }
  // Takes the upload's lock, held until this object is gone (the kernel lets it go when the
  // process dies). Throws std::runtime_error naming the process that holds it.
  void lock(const std::string& upload);
  // Reads the journal back; false when there is none. A journal that cannot be read, that is
  // not a regular file of the user's, or that is not one this client wrote for the same upload,
  // is refused (std::runtime_error).
  bool load();

  // The changes, each written at once. A journal that cannot be written is given up (removed,
  // with one warning): the upload goes on and cannot be resumed.
  // `vectors_before`: the dataset's vector count before the first shard, when it could be read.
  void start_over(nlohmann::json identity, nlohmann::json answers,
                  std::optional<std::uint64_t> vectors_before);
  void sending(std::size_t index, const JournalShard& shard, std::uint64_t hashed,
               const std::string& sha256);
  void sent(std::size_t index, const std::string& job_id);
  void stored(std::size_t index);
  void not_stored(std::size_t index);
  void read_to_end();
  // The upload is done: the journal and its lock file go.
  void finished();

  // Still written: not given up.
  bool kept() const { return kept_; }
  const nlohmann::json& identity() const { return identity_; }
  const nlohmann::json& answers() const { return answers_; }
  std::uint64_t hashed() const { return hashed_; }
  const std::string& sha256() const { return sha256_; }
  const std::vector<JournalShard>& shards() const { return shards_; }
  bool complete() const { return complete_; }  // the reader cut the file's last shard
  std::optional<std::uint64_t> vectors_before() const { return vectors_before_; }

  std::uint64_t stored_records() const;
  std::size_t stored_shards() const;
  // Shards that are, or may be, stored: something to go on from.
  bool holds_something() const;

 private:
  void state(std::size_t index, JournalShard::State state, const std::string& job_id);
  // Writes the journal, or gives it up.
  void write();
  void save();
  void remove(const std::string& name);

  std::string directory_, name_, path_;
  Descriptor directory_fd_, lock_;
  nlohmann::json key_;
  bool kept_ = true;

  nlohmann::json identity_;  // the file's size and time, the options, the shard size
  nlohmann::json answers_ = nlohmann::json::object();  // columns asked for, kept for a resume
  std::uint64_t hashed_ = 0;                           // bytes of the file covered by `sha256`
  std::string sha256_;
  std::vector<JournalShard> shards_;
  bool complete_ = false;
  std::optional<std::uint64_t> vectors_before_;
};

}  // namespace rest_client
