#pragma once
// What every reader shares: the string ids paired with records, the count of records handed
// off, where a resumed upload starts, and when a shard is full.

#include <cstdint>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>

#include "upload/file_readers.h"

namespace rest_client {

// Files are read in blocks of this size.
inline constexpr std::size_t kReadBlock = 4 << 20;

// The string-id file: ids several to a line or one per line, paired with records in order.
class IdFeed {
 public:
  IdFeed(const std::string& path, ShardOutput& output)
      : output_(output), path_(path), in_use_(!path.empty()) {
    if (!in_use_) return;
    file_.open(path);
    if (!file_) throw std::runtime_error("Failed to open " + path);
  }

  // Every id of the file, counted the way they are paired (a pass of its own, then back).
  std::uint64_t count_all() {
    std::uint64_t count = 0;
    for (std::string line; std::getline(file_, line);) {
      std::istringstream pieces(line);
      for (std::string id; pieces >> id;) ++count;
    }
    file_.clear();
    file_.seekg(0);
    return count;
  }

  // Pairs the record just added (record `record`, at `offset` in the data file) with the next id.
  void feed(std::uint64_t record, std::uint64_t offset) {
    if (!in_use_) return;
    if (!next_id()) return;
    if (output_.checking()) output_.record_id(record, offset, queue_.front());
    shard_ids_ += queue_.front();
    shard_ids_ += '\n';
    queue_.pop_front();
    ++used_;
  }
  bool in_use() const { return in_use_; }

  // A resumed upload: the ids of the records already stored are passed over.
  void skip(std::uint64_t records) {
    for (std::uint64_t i = 0; i < records && in_use_ && next_id(); ++i) {
      queue_.pop_front();
      ++used_;
    }
  }

  // Makes the next id the queue's front; false once they ran out.
  bool next_id() {
    while (queue_.empty()) {
      std::string line;
      if (!std::getline(file_, line)) {
        // Shown with the shard it concerns, by the thread that writes the console.
        output_.warning(
            "libsvm and string ids file have different number of lines, using default "
            "string_ids");
        output_.ids_ran_out(used_);
        in_use_ = false;
        return false;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream pieces(line);
      for (std::string id; pieces >> id;) queue_.push_back(std::move(id));
      if (queue_.empty()) output_.warning("Warning: empty string id line found.");
    }
    return true;
  }

  // At the end of the data: ids left over were given for records that do not exist.
  void warn_about_extra_ids() {
    if (!in_use_) return;
    std::size_t extra = queue_.size();
    for (std::string line; std::getline(file_, line);) {
      std::istringstream pieces(line);
      for (std::string id; pieces >> id;) ++extra;
    }
    if (extra > 0) {
      output_.warning(" The string ids file holds " + std::to_string(extra) +
                      " more id(s) than the data file has records; they were not used");
    }
  }

  // Ids gathered after they ran out stay here and keep counting toward the threshold.
  std::size_t size() const { return shard_ids_.size(); }

  // Ends the shard of `records` records, the next of which begins at `end` in the file.
  void hand_off(std::uint64_t first_record, std::uint64_t records, std::uint64_t end,
                const InputFile& file) {
    output_.shard_ends_at(end, file);
    if (in_use_) {
      output_.hand_off(&shard_ids_, first_record, records);
      shard_ids_.clear();
    } else {
      output_.hand_off(nullptr, first_record, records);
    }
  }

  void discard() {
    output_.discard();
    shard_ids_.clear();
  }

  const std::string& path() const { return path_; }

 private:
  ShardOutput& output_;
  std::string path_;
  bool in_use_;
  std::ifstream file_;
  std::deque<std::string> queue_;
  std::string shard_ids_;
  std::uint64_t used_ = 0;
};

// Counts the records of the shards handed off so far. Blank lines are no records: they are
// neither counted nor sent, so a shard holds records only.
struct SentCount {
  std::uint64_t total = 0, in_shard = 0;
  void record() { ++in_shard; }
  std::uint64_t next() const { return total + in_shard + 1; }
  void hand_off(IdFeed& ids, std::uint64_t end, const InputFile& file) {
    if (total + in_shard > 0) {
      ids.hand_off(total + 1, in_shard, end, file);  // the last shard may be a header alone
    } else {
      ids.discard();  // a header, or an array's brackets, before any record
    }
    total += in_shard;
    in_shard = 0;
  }
  void require_vectors(const std::string& path) const {
    if (total + in_shard == 0) throw std::invalid_argument("'" + path + "' holds no vectors");
  }
};

// A resumed upload's count starts after the records already stored, whose ids are passed over.
inline SentCount start_count(const ReaderInput& input, IdFeed& ids) {
  SentCount sent;
  if (input.resume) {
    sent.total = input.resume->first_record - 1;
    ids.skip(sent.total);
  }
  return sent;
}

inline std::uint64_t start_offset(const ReaderInput& input) {
  return input.resume ? input.resume->offset : 0;
}

inline const RunningHash* start_hash(const ReaderInput& input) {
  return input.resume ? input.resume->hash.get() : nullptr;
}

// The upload's data file, read from where this reader begins.
inline InputFile& begin_reading(const ReaderInput& input) {
  input.file->start_at(start_offset(input), start_hash(input), input.keep_hash);
  return *input.file;
}

inline bool reached_threshold(const ShardOutput& output, std::size_t data_size, const IdFeed& ids) {
  return data_size + ids.size() >= output.shard_size();
}

}  // namespace rest_client
