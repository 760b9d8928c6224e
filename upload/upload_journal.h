#pragma once
// An upload's journal: what identifies the upload (the file's size and time, the options, the
// shard size, the hash of the part of the file read so far) and each shard's byte range, first
// record, state and job. It is rewritten whole and atomically (a temporary file, fsync, rename)
// before each shard is sent and after each answer, so that whatever ends the client, it tells
// the truth; `--resume` reads it to go on.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace rest_client {

struct JournalShard {
  // kSending: its request may have gone out, and no answer was read; kSent: the service took
  // it, and its job was not seen to end; kFinished: stored; kFailed: refused, or its job failed.
  enum class State { kSending, kSent, kFinished, kFailed };
  std::uint64_t begin = 0, end = 0;  // its records' bytes in the file
  std::uint64_t first_record = 0, records = 0;
  State state = State::kSending;
  std::string job_id;

  // "records 601-700"
  std::string record_range() const;
};

class UploadJournal {
 public:
  // The largest journal read back; a few hundred bytes a shard.
  static constexpr std::uint64_t kLongestJournal = 64 << 20;

  // One journal per (service, user, project, dataset, absolute file path), in `directory`.
  UploadJournal(const std::string& directory, const nlohmann::json& key);

  const std::string& path() const { return path_; }
  // Reads the journal back; false when there is none. A journal that cannot be read, or that is
  // not one this client wrote for the same upload, is refused (std::runtime_error).
  bool load();
  // Writes the journal atomically; the directories are made (0700) and the file is 0600.
  void save();
  void remove();

  nlohmann::json identity;  // the file's size and time, the options, the shard size
  nlohmann::json answers = nlohmann::json::object();  // columns asked for, kept for a resume
  std::uint64_t hashed = 0;                           // bytes of the file covered by `sha256`
  std::string sha256;
  std::vector<JournalShard> shards;
  bool complete = false;  // the reader cut the file's last shard

  std::uint64_t stored_records() const;
  std::size_t stored_shards() const;

 private:
  std::string directory_, path_;
  nlohmann::json key_;
};

}  // namespace rest_client
