#include "upload/file_readers.h"

#include "client/limits.h"

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

#include "language/utf8.h"
#include "upload/compact_json.h"
#include "upload/input_file.h"
#include "upload/json_array_scanner.h"
#include "upload/ordered_tasks.h"
#include "upload/vector_files.h"

namespace rest_client {
namespace {

constexpr std::size_t kBlock = 4 << 20;

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
  void hand_off(std::uint64_t records, std::uint64_t end, const InputFile& file) {
    output_.shard_ends_at(end, file);
    if (in_use_) {
      output_.hand_off(&shard_ids_, records);
      shard_ids_.clear();
    } else {
      output_.hand_off(nullptr, records);
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
      ids.hand_off(in_shard, end, file);  // the last shard may be a header alone
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
SentCount start_count(const ReaderInput& input, IdFeed& ids) {
  SentCount sent;
  if (input.resume) {
    sent.total = input.resume->first_record - 1;
    ids.skip(sent.total);
  }
  return sent;
}

std::uint64_t start_offset(const ReaderInput& input) {
  return input.resume ? input.resume->offset : 0;
}

const RunningHash* start_hash(const ReaderInput& input) {
  return input.resume ? input.resume->hash.get() : nullptr;
}

bool reached_threshold(const ShardOutput& output, std::size_t data_size, const IdFeed& ids) {
  return data_size + ids.size() >= output.shard_size();
}

// Calls `record` with each line (without its line break) of the file, read in large blocks, and
// where in the file the line begins.
template <class OnLine>
void for_each_line(InputFile& file, OnLine&& record) {
  std::vector<char> block(kBlock);
  std::string partial;
  std::uint64_t offset = file.position();  // of the line `partial` begins
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
      std::size_t length;
      if (partial.empty()) {
        length = static_cast<std::size_t>(newline - begin);
        record(std::string_view(begin, length), offset);
      } else {
        partial.append(begin, newline);
        length = partial.size();
        record(std::string_view(partial), offset);
        partial.clear();
      }
      offset += length + 1;
      begin = newline + 1;
    }
  }
  if (!partial.empty()) record(std::string_view(partial), offset);
}

// The file's first line (without its line break), which ends before `limit`.
std::string first_line(const std::string& path, std::uint64_t limit) {
  InputFile file(path, "r");
  if (!file) throw std::runtime_error("Failed to open file: " + path);
  std::string line;
  char piece[65536];
  while (line.size() < limit) {
    const std::size_t got = file.read(piece, sizeof piece);
    if (got == 0) break;
    line.append(piece, got);
    const auto end = line.find('\n');
    if (end != std::string::npos) return line.substr(0, end);
  }
  throw std::runtime_error("The header line of '" + path + "' is no longer where it was");
}

void add_line(ShardOutput& transfer, std::string_view line) {
  transfer.add_data(line.data(), line.size());
  transfer.add_data("\n", 1);
}

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// True when a text the service will read as a number is NaN, an infinity or beyond a float.
// Plain decimals of up to 38 characters are finite and are told at a glance.
bool non_finite(std::string_view text) {
  if (text.size() <= 38 && text.find_first_not_of("0123456789.-+ \t\r") == std::string_view::npos) {
    return false;
  }
  thread_local std::string copy;
  copy.assign(text);
  char* end = nullptr;
  const float value = std::strtof(copy.c_str(), &end);
  if (end == copy.c_str()) return false;  // not a number at all: the service says so
  return !std::isfinite(value);
}

// True when the service would not read the text as a number at all (a dry run says so; an
// upload leaves it to the service, which names the record).
bool not_a_number(std::string_view text) {
  std::size_t at = !text.empty() && text.front() == '-' ? 1 : 0;
  bool digits = false, point = false;
  for (; at < text.size(); ++at) {
    if (text[at] >= '0' && text[at] <= '9') {
      digits = true;
    } else if (text[at] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits && at == text.size()) return false;  // a plain decimal, the usual case
  thread_local std::string copy;
  copy.assign(text);
  char* end = nullptr;
  std::strtof(copy.c_str(), &end);
  if (end == copy.c_str()) return true;
  while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
  return *end != '\0';
}

// A piece of the file inside a message: its start, with bytes that are not UTF-8 text, and
// control characters, shown as \xHH.
std::string shown(std::string_view text) {
  text = text.substr(0, 64);
  const bool text_ok = valid_utf8(text);
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && !text_ok)) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// Where a line's problem lies, in words.
struct LinePlace {
  std::uint64_t record, line, offset;
};

// A value that is not a finite number: refused by an upload, noted by a dry run.
void refuse_value(ShardOutput& output, const ReaderInput& input, const LinePlace& place,
                  const std::string& where, std::string_view text) {
  const std::string said = "(line " + std::to_string(place.line) + ", " + where + ") holds \"" +
                           shown(text) + "\", which is not a finite 32-bit number";
  if (output.problem(place.record, place.offset, said)) return;
  throw std::invalid_argument("Record " + std::to_string(place.record) + " of '" + input.file_path +
                              "' " + said + "; its shard was not sent");
}

// A dry run's note of a record's shape or text.
void note_problem(ShardOutput& output, const LinePlace& place, const std::string& text) {
  output.problem(place.record, place.offset, "(line " + std::to_string(place.line) + ") " + text);
}

// The columns of a CSV record that hold no vector values: the id's and the attributes', named
// as the service reads them (a header name, else a 1-based number).
struct CsvColumns {
  std::vector<bool> skip;
  std::optional<std::size_t> id;
};

CsvColumns text_columns(const ReaderInput& input, const std::vector<std::string_view>& header) {
  CsvColumns columns;
  auto mark = [&](const std::string& field) -> std::optional<std::size_t> {
    std::size_t column = std::string::npos;
    for (std::size_t i = 0; i < header.size() && column == std::string::npos; ++i) {
      if (header[i] == field) column = i;
    }
    if (column == std::string::npos && !field.empty() && field.size() < 9 &&
        field.find_first_not_of("0123456789") == std::string::npos && std::stoul(field) >= 1) {
      column = std::stoul(field) - 1;
    }
    if (column == std::string::npos) return std::nullopt;
    if (columns.skip.size() <= column) columns.skip.resize(column + 1, false);
    columns.skip[column] = true;
    return column;
  };
  if (!input.id_field.empty()) columns.id = mark(input.id_field);
  for (const auto& field : input.attribute_fields) mark(field);
  return columns;
}

// A dry run's look at a header: the id and attribute fields it names must be there.
void check_header(ShardOutput& output, const ReaderInput& input,
                  const std::vector<std::string_view>& names) {
  auto named = [&](const std::string& field) {
    if (std::find(names.begin(), names.end(), field) != names.end()) return;
    if (!field.empty() && field.size() < 9 &&
        field.find_first_not_of("0123456789") == std::string::npos &&
        std::stoul(field) <= names.size() && std::stoul(field) >= 1) {
      return;
    }
    output.problem(0, 0, "the header has no column \"" + field + "\"");
  };
  if (!input.id_field.empty()) named(input.id_field);
  for (const auto& field : input.attribute_fields) named(field);
}

std::vector<std::string_view> split_csv(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const auto end = line.find(',', start);
    fields.push_back(line.substr(start, end == std::string_view::npos ? line.npos : end - start));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

void check_csv_values(ShardOutput& output, const ReaderInput& input, std::string_view line,
                      const CsvColumns& columns, const LinePlace& place, bool ids_from_file) {
  const bool checking = output.checking();
  const std::vector<bool>& skip = columns.skip;
  std::size_t column = 0, values = 0;
  const char* const line_end = line.data() + line.size();
  for (const char* start = line.data();; ++column) {
    // One pass over the field finds its end and tells a plain decimal (an optional minus, digits
    // and at most one point), the usual value, which is a finite number when it is short.
    const char* end = start;
    if (end < line_end && *end == '-') ++end;
    bool digits = false, point = false, plain = true;
    for (; end < line_end && *end != ','; ++end) {
      if (*end >= '0' && *end <= '9') {
        digits = true;
      } else if (*end == '.' && !point) {
        point = true;
      } else {
        plain = false;
      }
    }
    const std::string_view field(start, static_cast<std::size_t>(end - start));
    if (column >= skip.size() || !skip[column]) {
      ++values;
      if (plain && digits && field.size() <= 38) {
        // a finite number
      } else if (checking && not_a_number(field)) {
        note_problem(output, place,
                     "column " + std::to_string(column + 1) + " holds \"" + shown(field) +
                         "\", which is not a number");
      } else if (non_finite(field)) {
        refuse_value(output, input, place, "column " + std::to_string(column + 1), field);
      }
    } else if (checking && !valid_utf8(field)) {
      note_problem(output, place, "column " + std::to_string(column + 1) + " is not UTF-8 text");
    } else if (checking && !ids_from_file && columns.id == column) {
      output.record_id(place.record, place.offset, field);
    }
    if (end == line_end) break;
    start = end + 1;
  }
  if (checking) output.record_shape(place.record, place.offset, values);
}

void check_libsvm_values(ShardOutput& output, const ReaderInput& input, std::string_view line,
                         const LinePlace& place) {
  std::size_t entry = 0;
  bool label = true;
  for (std::size_t start = 0; start < line.size();) {
    const auto space = line.find_first_of(" \t", start);
    const std::string_view token =
        line.substr(start, space == std::string_view::npos ? line.npos : space - start);
    start = space == std::string_view::npos ? line.size() : space + 1;
    if (token.empty()) continue;
    const auto colon = token.find(':');
    if (colon == std::string_view::npos) {
      // The label, before the first entry; any other word is no entry.
      if (!label && output.checking()) {
        note_problem(output, place, "\"" + shown(token) + "\" is not index:value");
      }
      label = false;
      continue;
    }
    label = false;
    ++entry;
    const std::string_view index = token.substr(0, colon);
    if (output.checking() &&
        (colon == 0 || index.find_first_not_of("0123456789") != std::string_view::npos ||
         not_a_number(token.substr(colon + 1)))) {
      note_problem(output, place, "\"" + shown(token) + "\" is not index:value");
    } else if (index.size() > 10 || (index.size() == 10 && index > "4294967295")) {
      // The service's indices are below 2^32, as every reader of libsvm files takes them.
      const std::string said = "(line " + std::to_string(place.line) + ", entry " +
                               std::to_string(entry) + ") has the index \"" + shown(index) +
                               "\", which is not below 2^32";
      if (!output.problem(place.record, place.offset, said)) {
        throw std::invalid_argument("Record " + std::to_string(place.record) + " of '" +
                                    input.file_path + "' " + said + "; its shard was not sent");
      }
    } else if (non_finite(token.substr(colon + 1))) {
      refuse_value(output, input, place, "entry " + std::to_string(entry), token);
    }
  }
}

}  // namespace

ReaderInput reader_input(const std::string& file_path, const UploadPlan& plan, const json& body) {
  ReaderInput input;
  input.file_path = file_path;
  input.ids_path = plan.ids_path;
  input.vector_file = plan.vector_layout;
  input.format = body.value("file_format", "");
  if (body.contains("vector_id_field_name") && body.at("vector_id_field_name").is_string()) {
    input.id_field = body.at("vector_id_field_name").get<std::string>();
  }
  if (body.contains("vector_attributes") && body.at("vector_attributes").is_array()) {
    for (const json& field : body.at("vector_attributes")) {
      if (field.is_string()) input.attribute_fields.push_back(field.get<std::string>());
    }
  }
  input.field_names = body.value("has_field_names", false);
  input.data_field = body.value("vector_data_field_name", "");
  input.sparse = body.value("vector_type", "") == "sparse";
  return input;
}

void read_upload_file(ShardOutput& output, const ReaderInput& input, UploadReader reader,
                      long long record_size, bool floats) {
  switch (reader) {
    case UploadReader::kJson:
      return read_json_file(output, input);
    case UploadReader::kBinary:
      return read_binary_file(output, input, record_size, floats);
    case UploadReader::kCsvWithHeader:
      return read_csv_with_header(output, input);
    case UploadReader::kLines:
      break;
  }
  read_line_file(output, input);
}

void read_line_file(ShardOutput& transfer, const ReaderInput& input) {
  InputFile file(input.file_path, "r", start_offset(input), start_hash(input), input.keep_hash);
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  IdFeed ids(input.ids_path, transfer);
  const bool csv = input.format == "csv";
  const CsvColumns columns = csv ? text_columns(input, {}) : CsvColumns{};
  SentCount sent = start_count(input, ids);
  std::uint64_t line_number = input.resume ? input.resume->first_line - 1 : 0;
  for_each_line(file, [&](std::string_view line, std::uint64_t offset) {
    ++line_number;
    if (blank(line)) return;  // no record
    const LinePlace place{sent.next(), line_number, offset};
    if (csv) check_csv_values(transfer, input, line, columns, place, ids.in_use());
    if (!csv) check_libsvm_values(transfer, input, line, place);
    add_line(transfer, line);
    ids.feed(place.record, offset);
    sent.record();
    if (reached_threshold(transfer, transfer.data_size(), ids)) {
      sent.hand_off(ids, offset + line.size() + 1, file);
    }
  });
  file.check_unchanged(sent.total + sent.in_shard);
  sent.require_vectors(input.file_path);
  ids.warn_about_extra_ids();
  if (transfer.data_size() > 0) sent.hand_off(ids, file.position(), file);
}

void read_csv_with_header(ShardOutput& transfer, const ReaderInput& input) {
  InputFile file(input.file_path, "r", start_offset(input), start_hash(input), input.keep_hash);
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  IdFeed ids(input.ids_path, transfer);
  SentCount sent = start_count(input, ids);
  bool have_header = false;
  std::string header;
  CsvColumns columns;
  auto take_header = [&](std::string_view line) {
    header.assign(line);
    have_header = true;
    const auto names = split_csv(header);
    columns = text_columns(input, names);
    if (transfer.checking()) check_header(transfer, input, names);
    add_line(transfer, header);
  };
  // A resumed upload reads the header line, which lies before the part already stored, apart.
  if (input.resume) take_header(first_line(input.file_path, input.resume->offset));
  std::uint64_t line_number = input.resume ? input.resume->first_line - 1 : 0;
  for_each_line(file, [&](std::string_view line, std::uint64_t offset) {
    ++line_number;
    if (!have_header) return take_header(line);
    if (blank(line)) return;  // no record
    const LinePlace place{sent.next(), line_number, offset};
    check_csv_values(transfer, input, line, columns, place, ids.in_use());
    add_line(transfer, line);
    ids.feed(place.record, offset);
    sent.record();
    if (reached_threshold(transfer, transfer.data_size(), ids)) {
      sent.hand_off(ids, offset + line.size() + 1, file);
      add_line(transfer, header);
    }
  });
  file.check_unchanged(sent.total + sent.in_shard);
  sent.require_vectors(input.file_path);
  ids.warn_about_extra_ids();
  sent.hand_off(ids, file.position(), file);
}

void read_binary_file(ShardOutput& transfer, const ReaderInput& input, long long record_size,
                      bool floats) {
  InputFile file(input.file_path, "rb", start_offset(input), start_hash(input), input.keep_hash);
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  IdFeed ids(input.ids_path, transfer);
  // A raw binary file is vectors of `record_size` bytes from its first byte on; the embedding
  // files say their own layout.
  VectorFileLayout layout;
  if (input.vector_file) {
    layout = *input.vector_file;
  } else {
    if (record_size == 0) throw std::invalid_argument("Invalid argument for binary dim");
    if (record_size < 0) throw std::invalid_argument("binary_dim must not be negative");
    layout.stored = floats ? StoredValue::kFloat32 : StoredValue::kUint8;
    layout.dim = static_cast<std::size_t>(record_size) / (floats ? 4 : 1);
  }
  const std::size_t size = layout.file_record(), sent_size = layout.sent_record();
  const std::uint64_t data_bytes =
      file.size_at_open() > layout.data_offset ? file.size_at_open() - layout.data_offset : 0;
  // A vector larger than the file: nothing to read, and no buffer to take for it.
  if (size > data_bytes) {
    throw std::invalid_argument("'" + input.file_path + "' holds no vectors");
  }
  // The count of vectors is known before anything is read: too few ids is known too.
  const std::uint64_t vectors = data_bytes / size;
  if (!input.ids_path.empty()) {
    const std::uint64_t held = ids.count_all();
    if (held < vectors) {
      const std::string said = "The string ids file '" + input.ids_path + "' holds " +
                               std::to_string(held) + " ids for the " + std::to_string(vectors) +
                               " vectors of '" + input.file_path + "'";
      if (!transfer.problem(held + 1, layout.data_offset + held * size, said)) {
        throw std::invalid_argument(said + "; nothing was sent");
      }
    }
  }
  const bool sends_floats = layout.sends_floats();
  if (transfer.checking()) transfer.record_shape(1, layout.data_offset, layout.dim);
  SentCount sent = start_count(input, ids);
  auto hand_off = [&] {
    transfer.note("Number of vectors " + std::to_string(transfer.data_size() / sent_size));
    sent.hand_off(ids, layout.data_offset + (sent.total + sent.in_shard) * size, file);
  };
  // The header before the vectors.
  while (file.position() < layout.data_offset) {
    char header[4096];
    const std::size_t got =
        file.read(header, static_cast<std::size_t>(std::min<std::uint64_t>(
                              sizeof header, layout.data_offset - file.position())));
    if (got == 0) break;
  }
  const std::size_t per_block = std::max<std::size_t>(1, kBlock / size);
  std::vector<char> block(per_block * size);
  // Values stored otherwise than as they are sent are widened here first.
  const bool widened =
      layout.stored == StoredValue::kFloat64 || layout.stored == StoredValue::kFloat16;
  std::vector<float> wide(widened ? layout.dim : 0);
  const std::size_t prefix = layout.dim_prefix ? 4 : 0;
  std::size_t tail = 0;
  for (;;) {
    const std::size_t got = file.read(block.data(), block.size());
    const std::size_t records = got / size;
    for (std::size_t i = 0; i < records; ++i) {
      const char* record = block.data() + i * size;
      const std::uint64_t number = sent.total + sent.in_shard + 1;
      const std::uint64_t offset = layout.data_offset + (number - 1) * size;
      if (prefix != 0) {
        std::int32_t dim;
        std::memcpy(&dim, record, 4);
        if (dim < 0 || static_cast<std::size_t>(dim) != layout.dim) {
          const std::string said = "Vector " + std::to_string(number) + " of '" + input.file_path +
                                   "' has dimension " + std::to_string(dim) +
                                   ", not the first vector's " + std::to_string(layout.dim);
          if (!transfer.problem(number, offset, said)) throw std::invalid_argument(said);
        }
      }
      const char* values = record + prefix;
      if (widened) {
        widen_values(layout, values, wide.data());
        values = reinterpret_cast<const char*>(wide.data());
      }
      if (sends_floats) {
        // Exponent bits all set: an infinity or NaN, which the service cannot store.
        for (std::size_t at = 0; at < sent_size; at += 4) {
          std::uint32_t bits;
          std::memcpy(&bits, values + at, 4);
          if ((bits & 0x7f800000u) == 0x7f800000u) {
            if (transfer.problem(
                    number, offset,
                    "value " + std::to_string(at / 4 + 1) + " is not a finite number")) {
              break;
            }
            throw std::runtime_error("Vector " + std::to_string(number) + " of '" +
                                     input.file_path +
                                     "' holds a value that is not a finite number");
          }
        }
      }
      transfer.add_data(values, sent_size);
      ids.feed(number, offset);
      sent.record();
      if (reached_threshold(transfer, transfer.data_size(), ids)) hand_off();
    }
    if (got < block.size()) {
      tail = got - records * size;
      break;
    }
  }
  file.check_unchanged(sent.total + sent.in_shard);
  sent.require_vectors(input.file_path);
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
    // A dry run finds such numbers element by element, where it knows their places.
    if (!output_.checking() && !std::isfinite(static_cast<float>(number))) {
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
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) override {
    message = error.what();
    offset = position;
    return false;
  }
  std::uint64_t element() const { return element_; }

  // An element nests at most this deep, as the service takes it; the array is one level more.
  static constexpr int kMaxElementDepth = limits::kDeepestDataElement;
  bool is_array = false;
  std::string message;
  std::uint64_t offset = 0;  // where the text went wrong, when it did

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
    if (++depth_ <= kMaxElementDepth + 1) return true;
    message = "Element " + std::to_string(element_) + " is nested deeper than " +
              std::to_string(kMaxElementDepth) + " levels";
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
  std::vector<std::size_t> ends;         // where each element's text ends in `bytes`
  std::vector<std::uint64_t> offsets;    // where each element begins in the file
  std::vector<std::uint64_t> file_ends;  // and where the separator after it is

  void add(std::string_view text, std::uint64_t offset, std::uint64_t file_end) {
    bytes += text;
    ends.push_back(bytes.size());
    offsets.push_back(offset);
    file_ends.push_back(file_end);
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
// `use` in file order. Scanning stops early once `going_on` says so. The scanner's offsets are
// counted from `base` in the file.
template <class Result, class Work, class Use, class GoingOn>
void json_batches(JsonArrayScanner& scanner, ShardOutput& output, Work&& work, Use&& use,
                  GoingOn&& going_on, std::uint64_t base = 0) {
  OrderedTasks<Result> tasks(output.workers(), 2 * output.workers().size());
  JsonBatch batch;
  auto hand_out = [&] {
    if (output.stopping()) throw std::runtime_error("the upload was abandoned");
    tasks.start([&work, batch = std::move(batch)]() mutable { return work(batch); }, use);
    batch = JsonBatch();
  };
  while (going_on()) {
    const auto text = scanner.next();
    if (!text) break;
    const std::size_t blanks = text->find_first_not_of(" \t\r\n");
    const std::uint64_t offset = base + scanner.offset();
    batch.add(*text, offset,
              offset + text->size() - (blanks == std::string_view::npos ? 0 : blanks));
    if (batch.full()) hand_out();
  }
  if (!batch.ends.empty() && going_on()) hand_out();
  tasks.finish(use);
}

// A first pass without the JSON library, which knows most well-formed files: true when the file
// certainly passes the library's check. It stops at the first element it cannot vouch for,
// since the library's own pass decides such a file from the start.
bool quick_json_check(InputFile& file, ShardOutput& output) {
  JsonArrayScanner scanner([&](char* buffer, std::size_t size) { return file.read(buffer, size); },
                           JsonCheck::kMaxElementDepth, kBlock);
  bool passed = true;
  json_batches<bool>(
      scanner, output,
      [](JsonBatch& batch) {
        thread_local CompactJson fast;  // one a worker, kept from batch to batch
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
  std::vector<std::uint64_t> offsets, file_ends;
};

// A dry run's look at one element: the vector where the options say it is, its values finite
// numbers; its length is its shape.
void check_element(ShardOutput& output, const ReaderInput& input, std::string_view compact,
                   std::uint64_t number, std::uint64_t offset, bool ids_from_file) {
  const json element = json::parse(compact);
  auto problem = [&](const std::string& text) { output.problem(number, offset, text); };
  const json* vector = &element;
  if (input.field_names) {
    if (!element.is_object() || !element.contains(input.data_field)) {
      return problem("has no field \"" + input.data_field + "\"");
    }
    vector = &element.at(input.data_field);
    // The id field, named, must be there (the service reads a text as it is, anything else as
    // its JSON text).
    if (!input.id_field.empty()) {
      if (!element.contains(input.id_field)) {
        return problem("has no field \"" + input.id_field + "\"");
      }
      const json& id = element.at(input.id_field);
      if (!ids_from_file) {
        output.record_id(number, offset, id.is_string() ? id.get<std::string>() : id.dump());
      }
    }
  }
  std::size_t values = 0;
  bool finite = true;
  auto look = [&](const json& value) {
    if (!value.is_number()) return false;
    finite = finite && std::isfinite(static_cast<float>(value.get<double>()));
    ++values;
    return true;
  };
  bool shaped = vector->is_array() || (input.sparse && vector->is_object());
  if (shaped) {
    for (const json& item : *vector) {
      const bool pair = input.sparse && item.is_array() && item.size() == 2;
      shaped = shaped && (pair ? look(item.at(1)) : look(item));
    }
  }
  if (!shaped)
    return problem("its vector is not " + std::string(input.sparse ? "sparse" : "a list") +
                   " of numbers");
  if (!finite) return problem("holds a number that is not a finite 32-bit value");
  if (!input.sparse) output.record_shape(number, offset, values);
}

CompactBatch compact_batch(JsonBatch& batch) {
  thread_local CompactJson fast;  // one a worker, kept from batch to batch
  CompactBatch result;
  result.offsets = batch.offsets;
  result.file_ends = batch.file_ends;
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
  // One open for every pass, so that a change between passes is seen by the last one.
  InputFile file(input.file_path, "rb", start_offset(input), start_hash(input), input.keep_hash);
  if (!file) throw std::runtime_error("Failed to open file: " + input.file_path);
  // A resumed upload's file is the one whose checks passed before its first shard was sent: its
  // part already sent hashes the same, and its size and time are unchanged.
  const bool resumed = input.resume.has_value();
  if (!resumed && !quick_json_check(file, transfer)) {
    file.rewind();
    JsonCheck check(transfer);
    if (!json::sax_parse(file.get(), &check)) {
      // Nothing after a syntax error can be read: a dry run stops there too.
      if (transfer.problem(check.element(), check.offset, check.message)) return;
      throw std::runtime_error(check.message);
    }
    if (!check.is_array) {
      IdFeed ids(input.ids_path, transfer);  // a missing id file is told first
      if (transfer.problem(0, 0, "Given json file is not an array")) return;
      throw std::invalid_argument("Given json file is not an array");
    }
  }
  file.rewind();
  IdFeed ids(input.ids_path, transfer);
  // Resumed, the file is read from the comma after the last element stored, which opens the
  // rest of the array as if it were an array of its own.
  bool opened = !resumed;
  JsonArrayScanner scanner(
      [&](char* buffer, std::size_t size) {
        const std::size_t got = file.read(buffer, size);
        if (!opened && got > 0) {
          if (buffer[0] != ',' && buffer[0] != ']') {
            throw std::runtime_error("The array of '" + input.file_path +
                                     "' does not go on where the upload stopped");
          }
          buffer[0] = '[';
          opened = true;
        }
        return got;
      },
      JsonCheck::kMaxElementDepth, kBlock);
  std::size_t estimate = 2;
  bool first_in_shard = true;
  SentCount sent = start_count(input, ids);
  std::uint64_t end = start_offset(input);  // of the last element added
  transfer.add_data("[", 1);
  auto add = [&](const char* compact, std::size_t size, std::uint64_t offset) {
    if (!first_in_shard) transfer.add_data(",", 1);
    transfer.add_data(compact, size);
    first_in_shard = false;
    estimate += size + 1;
    ids.feed(sent.next(), offset);
    sent.record();
    if (reached_threshold(transfer, estimate, ids)) {
      transfer.add_data("]", 1);
      sent.hand_off(ids, end, file);
      transfer.add_data("[", 1);
      estimate = 2;
      first_in_shard = true;
    }
  };
  json_batches<CompactBatch>(
      scanner, transfer, compact_batch,
      [&](const CompactBatch& batch) {
        std::size_t begin = 0;
        for (std::size_t i = 0; i < batch.ends.size(); ++i) {
          if (transfer.checking()) {
            check_element(transfer, input,
                          std::string_view(batch.texts).substr(begin, batch.ends[i] - begin),
                          sent.next(), batch.offsets[i], ids.in_use());
          }
          end = batch.file_ends[i];
          add(batch.texts.data() + begin, batch.ends[i] - begin, batch.offsets[i]);
          begin = batch.ends[i];
        }
      },
      [] { return true; }, start_offset(input));
  file.check_unchanged(sent.total + sent.in_shard, false);  // the array may end before the file
  sent.require_vectors(input.file_path);
  ids.warn_about_extra_ids();
  transfer.add_data("]", 1);
  sent.hand_off(ids, end, file);
}

}  // namespace rest_client
