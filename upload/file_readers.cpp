#include "upload/file_readers.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "upload/compact_json.h"
#include "upload/json_array_scanner.h"
#include "upload/ordered_tasks.h"

namespace rest_client {
namespace {

constexpr std::size_t kBlock = 4 << 20;

// Owns a FILE* opened for reading, and notices when the file changes while it is read.
class InputFile {
 public:
  InputFile(const std::string& path, const char* mode)
      : path_(path), file_(std::fopen(path.c_str(), mode)) {
    if (file_ != nullptr) ::fstat(::fileno(file_), &at_open_);
  }
  ~InputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  explicit operator bool() const { return file_ != nullptr; }
  std::size_t read(char* buffer, std::size_t size) {
    const std::size_t got = std::fread(buffer, 1, size, file_);
    bytes_read_ += got;
    return got;
  }
  std::uint64_t size_at_open() const { return static_cast<std::uint64_t>(at_open_.st_size); }
  // At the end of reading: a file that was cut short, grew or was rewritten meanwhile cannot
  // have been sent as it is.
  void check_unchanged(std::uint64_t records_sent, bool read_to_end = true) const {
    struct stat now {};
    ::fstat(::fileno(file_), &now);
    if ((read_to_end && bytes_read_ != static_cast<std::uint64_t>(at_open_.st_size)) ||
        now.st_size != at_open_.st_size || now.st_mtim.tv_sec != at_open_.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != at_open_.st_mtim.tv_nsec) {
      throw std::runtime_error("The file '" + path_ + "' changed while it was read; " +
                               std::to_string(records_sent) +
                               " records were sent before the change was seen");
    }
  }

 private:
  std::string path_;
  std::FILE* file_;
  struct stat at_open_ {};
  std::uint64_t bytes_read_ = 0;
};

// The string-id file: ids several to a line or one per line, paired with records in order.
class IdFeed {
 public:
  IdFeed(const std::string& path, ShardOutput& output) : output_(output), in_use_(!path.empty()) {
    if (!in_use_) return;
    file_.open(path);
    if (!file_) throw std::runtime_error("Failed to open " + path);
  }

  // Pairs the record just added with the next id.
  void feed() {
    if (!in_use_) return;
    while (queue_.empty()) {
      std::string line;
      if (!std::getline(file_, line)) {
        // Shown with the shard it concerns, by the thread that writes the console.
        output_.warning(
            "libsvm and string ids file have different number of lines, using default "
            "string_ids");
        in_use_ = false;
        return;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream pieces(line);
      for (std::string id; pieces >> id;) queue_.push_back(std::move(id));
      if (queue_.empty()) output_.warning("Warning: empty string id line found.");
    }
    shard_ids_ += queue_.front();
    shard_ids_ += '\n';
    queue_.pop_front();
    ++used_;
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

  void hand_off() {
    if (in_use_) {
      output_.hand_off(&shard_ids_);
      shard_ids_.clear();
    } else {
      output_.hand_off(nullptr);
    }
  }

 private:
  ShardOutput& output_;
  bool in_use_;
  std::ifstream file_;
  std::deque<std::string> queue_;
  std::string shard_ids_;
  std::size_t used_ = 0;
};

// Counts the records of the shards handed off so far.
struct SentCount {
  std::uint64_t total = 0, in_shard = 0;
  void record() { ++in_shard; }
  void handed_off() {
    total += in_shard;
    in_shard = 0;
  }
};

bool reached_threshold(const ShardOutput& output, std::size_t data_size, const IdFeed& ids) {
  return data_size + ids.size() >= output.shard_size();
}

// Calls `record` with each line (without its line break) of the file, read in large blocks.
template <class OnLine>
void for_each_line(InputFile& file, OnLine&& record) {
  std::vector<char> block(kBlock);
  std::string partial;
  for (;;) {
    const std::size_t got = file.read(block.data(), block.size());
    if (got == 0) break;
    const char* begin = block.data();
    const char* end = begin + got;
    while (begin < end) {
      const char* newline = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
      if (newline == nullptr) {
        partial.append(begin, end);
        break;
      }
      if (partial.empty()) {
        record(begin, static_cast<std::size_t>(newline - begin));
      } else {
        partial.append(begin, newline);
        record(partial.data(), partial.size());
        partial.clear();
      }
      begin = newline + 1;
    }
  }
  if (!partial.empty()) record(partial.data(), partial.size());
}

void add_line(ShardOutput& transfer, const char* line, std::size_t size) {
  transfer.add_data(line, size);
  transfer.add_data("\n", 1);
}

}  // namespace

void read_line_file(ShardOutput& transfer, const ReaderInput& input) {
  InputFile file(input.file_path, "r");
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  IdFeed ids(input.ids_path, transfer);
  SentCount sent;
  for_each_line(file, [&](const char* line, std::size_t size) {
    add_line(transfer, line, size);
    ids.feed();
    sent.record();
    if (reached_threshold(transfer, transfer.data_size(), ids)) {
      ids.hand_off();
      sent.handed_off();
    }
  });
  file.check_unchanged(sent.total);
  ids.warn_about_extra_ids();
  if (transfer.data_size() > 0) ids.hand_off();
}

void read_csv_with_header(ShardOutput& transfer, const ReaderInput& input) {
  InputFile file(input.file_path, "r");
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  IdFeed ids(input.ids_path, transfer);
  SentCount sent;
  bool have_header = false;
  std::string header;
  for_each_line(file, [&](const char* line, std::size_t size) {
    if (!have_header) {
      header.assign(line, size);
      have_header = true;
      add_line(transfer, header.data(), header.size());
      return;
    }
    add_line(transfer, line, size);
    ids.feed();
    sent.record();
    if (reached_threshold(transfer, transfer.data_size(), ids)) {
      ids.hand_off();
      sent.handed_off();
      add_line(transfer, header.data(), header.size());
    }
  });
  file.check_unchanged(sent.total);
  ids.warn_about_extra_ids();
  if (!have_header) add_line(transfer, "", 0);
  ids.hand_off();
}

void read_binary_file(ShardOutput& transfer, const ReaderInput& input, long long record_size,
                      bool floats) {
  InputFile file(input.file_path, "rb");
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  IdFeed ids(input.ids_path, transfer);
  if (record_size == 0) throw std::invalid_argument("Invalid argument for binary dim");
  if (record_size < 0) throw std::invalid_argument("binary_dim must not be negative");
  const auto size = static_cast<std::size_t>(record_size);
  // A vector larger than the file: nothing to read, and no buffer to take for it.
  if (size > file.size_at_open()) {
    throw std::runtime_error("The data file holds no records: " + input.file_path);
  }
  SentCount sent;
  auto hand_off = [&] {
    transfer.note("Number of vectors " + std::to_string(transfer.data_size() / size));
    ids.hand_off();
    sent.handed_off();
  };
  const std::size_t per_block = std::max<std::size_t>(1, kBlock / size);
  std::vector<char> block(per_block * size);
  std::size_t tail = 0;
  for (;;) {
    const std::size_t got = file.read(block.data(), block.size());
    const std::size_t records = got / size;
    for (std::size_t i = 0; i < records; ++i) {
      const char* record = block.data() + i * size;
      if (floats) {
        // Exponent bits all set: an infinity or NaN, which the service cannot store.
        for (std::size_t at = 0; at < size; at += 4) {
          std::uint32_t bits;
          std::memcpy(&bits, record + at, 4);
          if ((bits & 0x7f800000u) == 0x7f800000u) {
            throw std::runtime_error("Vector " + std::to_string(sent.total + sent.in_shard + 1) +
                                     " of '" + input.file_path +
                                     "' holds a value that is not a finite number");
          }
        }
      }
      transfer.add_data(record, size);
      ids.feed();
      sent.record();
      if (reached_threshold(transfer, transfer.data_size(), ids)) hand_off();
    }
    if (got < block.size()) {
      tail = got - records * size;
      break;
    }
  }
  file.check_unchanged(sent.total);
  if (tail > 0) {
    transfer.warning(" The last " + std::to_string(tail) + " byte(s) of '" + input.file_path +
                     "' do not make a whole vector of " + std::to_string(size) +
                     " bytes and were not sent");
  }
  ids.warn_about_extra_ids();
  if (transfer.data_size() > 0) hand_off();
}

}  // namespace rest_client

namespace rest_client {
namespace {

// First pass over a JSON file: the same syntax errors a whole parse gives, and whether the
// document is an array, without building it.
class JsonCheck : public nlohmann::json_sax<json> {
 public:
  explicit JsonCheck(const ShardOutput& output) : output_(output) {}
  bool null() override { return value(false); }
  bool boolean(bool) override { return value(false); }
  bool number_integer(number_integer_t) override { return value(false); }
  bool number_unsigned(number_unsigned_t) override { return value(false); }
  bool number_float(number_float_t number, const string_t&) override {
    if (!std::isfinite(static_cast<float>(number))) {
      message = "Element " + std::to_string(element_) +
                " holds a number that is not a finite 32-bit value";
      return false;
    }
    return value(false);
  }
  bool string(string_t&) override { return value(false); }
  bool binary(binary_t&) override { return value(false); }
  bool start_object(std::size_t) override { return value(false) && deeper(); }
  bool key(string_t&) override { return going_on(); }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return value(true) && deeper(); }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) override {
    message = error.what();
    return false;
  }

  static constexpr int kMaxJsonDepth = 512;
  bool is_array = false;
  std::string message;

 private:
  bool value(bool array) {
    if (first_) is_array = array;
    first_ = false;
    if (depth_ == 1) ++element_;
    return going_on();
  }
  // Everything after this pass (parsing an element into a tree, writing it out) recurses once
  // per level, so the nesting is bounded here.
  bool deeper() {
    if (++depth_ <= kMaxJsonDepth) return true;
    message = "The JSON file is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return false;
  }
  // Checks now and then whether the upload was abandoned, which ends the pass.
  bool going_on() {
    if (++events_ % 4096 != 0 || !output_.stopping()) return true;
    message = "the upload was abandoned";
    return false;
  }
  const ShardOutput& output_;
  std::uint64_t events_ = 0;
  bool first_ = true;
  int depth_ = 0;
  std::uint64_t element_ = 0;
};

// Elements of the top-level array, copied out of the scanner's buffer for a worker thread.
struct JsonBatch {
  static constexpr std::size_t kSize = 2 << 20;
  std::string bytes;
  std::vector<std::size_t> ends;  // where each element's text ends in `bytes`

  void add(std::string_view text) {
    bytes += text;
    ends.push_back(bytes.size());
  }
  bool full() const { return bytes.size() >= kSize; }
  template <class Each>
  void each(Each&& each) {
    bytes.append(JsonArrayScanner::kPadding, ' ');  // the last element's padding
    std::size_t begin = 0;
    for (std::size_t end : ends) {
      each(std::string_view(bytes.data() + begin, end - begin));
      begin = end;
    }
  }
};

// The elements in batches, each batch handed to `work` on a thread of its own and its result to
// `use` in file order. Scanning stops early once `going_on` says so.
template <class Result, class Work, class Use, class GoingOn>
void json_batches(JsonArrayScanner& scanner, const ShardOutput& output, Work&& work, Use&& use,
                  GoingOn&& going_on) {
  OrderedTasks<Result> tasks(2 * std::max(1u, std::thread::hardware_concurrency()));
  JsonBatch batch;
  auto hand_out = [&] {
    if (output.stopping()) throw std::runtime_error("the upload was abandoned");
    tasks.start([&work, batch = std::move(batch)]() mutable { return work(batch); }, use);
    batch = JsonBatch();
  };
  while (going_on()) {
    const auto text = scanner.next();
    if (!text) break;
    batch.add(*text);
    if (batch.full()) hand_out();
  }
  if (!batch.ends.empty() && going_on()) hand_out();
  tasks.finish(use);
}

// A first pass without the JSON library, which knows most well-formed files: true when the file
// certainly passes the library's check. It stops at the first element it cannot vouch for,
// since the library's own pass decides such a file from the start.
bool quick_json_check(const ReaderInput& input, const ShardOutput& output) {
  InputFile file(input.file_path, "rb");
  if (!file) return false;
  JsonArrayScanner scanner([&](char* buffer, std::size_t size) { return file.read(buffer, size); },
                           JsonCheck::kMaxJsonDepth - 1, kBlock);
  bool passed = true;
  json_batches<bool>(
      scanner, output,
      [](JsonBatch& batch) {
        CompactJson fast;
        bool passed = true;
        batch.each([&](std::string_view text) { passed = passed && fast.check(text); });
        return passed;
      },
      [&](bool batch_passed) { passed = passed && batch_passed; },
      [&] { return passed && scanner.plain(); });
  if (!passed || !scanner.plain()) return false;
  scanner.read_to_end();
  return scanner.plain();
}

// The elements' compact texts, one after another, and where each ends.
struct CompactBatch {
  std::string texts;
  std::vector<std::size_t> ends;
};

CompactBatch compact_batch(JsonBatch& batch) {
  CompactJson fast;
  CompactBatch result;
  result.texts.reserve(batch.bytes.size());
  batch.each([&](std::string_view text) {
    const std::size_t mark = result.texts.size();
    if (!fast.append(text, result.texts)) {
      result.texts.resize(mark);
      result.texts += json::parse(text).dump();
    }
    result.ends.push_back(result.texts.size());
  });
  return result;
}

}  // namespace

void read_json_file(ShardOutput& transfer, const ReaderInput& input) {
  if (!quick_json_check(input, transfer)) {
    JsonCheck check(transfer);
    std::ifstream document(input.file_path, std::ios::binary);
    if (!document) throw std::runtime_error("Failed to open file: " + input.file_path);
    if (!json::sax_parse(document, &check)) throw std::runtime_error(check.message);
    if (!check.is_array) {
      IdFeed ids(input.ids_path, transfer);  // a missing id file is told first
      throw std::invalid_argument("Given json file is not an array");
    }
  }
  IdFeed ids(input.ids_path, transfer);

  InputFile file(input.file_path, "rb");
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  JsonArrayScanner scanner([&](char* buffer, std::size_t size) { return file.read(buffer, size); },
                           JsonCheck::kMaxJsonDepth - 1, kBlock);
  std::size_t estimate = 2;
  bool first_in_shard = true;
  SentCount sent;
  transfer.add_data("[", 1);
  auto add = [&](const char* compact, std::size_t size) {
    if (!first_in_shard) transfer.add_data(",", 1);
    transfer.add_data(compact, size);
    first_in_shard = false;
    estimate += size + 1;
    ids.feed();
    sent.record();
    if (reached_threshold(transfer, estimate, ids)) {
      transfer.add_data("]", 1);
      ids.hand_off();
      sent.handed_off();
      transfer.add_data("[", 1);
      estimate = 2;
      first_in_shard = true;
    }
  };
  json_batches<CompactBatch>(
      scanner, transfer, compact_batch,
      [&](const CompactBatch& batch) {
        std::size_t begin = 0;
        for (std::size_t end : batch.ends) {
          add(batch.texts.data() + begin, end - begin);
          begin = end;
        }
      },
      [] { return true; });
  file.check_unchanged(sent.total, false);  // the array may end before the file does
  ids.warn_about_extra_ids();
  transfer.add_data("]", 1);
  ids.hand_off();
}

}  // namespace rest_client
