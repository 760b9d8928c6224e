#include "server/shard_records.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <thread>
#include <utility>

#include "server/codec.h"
#include "server/json_limits.h"
#include "server/large_memory.h"

namespace orvix_local {
namespace {

ApiError bad_record(const std::string& text) {
  return ApiError(400, "BAD_RECORD", text);
}

bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80           ? 1
                         : (c >> 5) == 0x6  ? 2
                         : (c >> 4) == 0xe  ? 3
                         : (c >> 3) == 0x1e ? 4
                                            : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t point = length == 1 ? c : c & (0xff >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      point = (point << 6) | (next & 0x3f);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Calls `each` with every line of the text (without its line break and a carriage return before
// it) and its 1-based number; a last line without a break counts. A line longer than
// kMaxLineBytes is refused, and `stop` is looked at every few thousand lines.
template <class Each>
void for_each_line(std::string_view data, const std::atomic<bool>* stop, Each&& each) {
  std::size_t number = 0;
  for (std::size_t at = 0; at < data.size();) {
    const auto end = data.find('\n', at);
    std::string_view line =
        data.substr(at, end == std::string_view::npos ? data.size() - at : end - at);
    at = end == std::string_view::npos ? data.size() : end + 1;
    ++number;
    if (line.size() > kMaxLineBytes) {
      throw bad_record("line " + std::to_string(number) + " is longer than " +
                       std::to_string(kMaxLineBytes) + " bytes");
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (stop && (number & 4095) == 0 && stop->load()) throw Stopping();
    each(line, number);
  }
}

// The fields of a CSV line, refused past kMaxFields before any is kept.
std::vector<std::string_view> fields_of(std::string_view line, const std::string& where) {
  const auto commas = static_cast<std::size_t>(std::count(line.begin(), line.end(), ','));
  if (commas + 1 > kMaxFields) {
    throw bad_record(where + " has " + std::to_string(commas + 1) + " fields, more than the " +
                     std::to_string(kMaxFields) + " a line may have");
  }
  std::vector<std::string_view> fields;
  fields.reserve(commas + 1);
  for (std::size_t start = 0;;) {
    const auto end = line.find(',', start);
    fields.push_back(
        line.substr(start, end == std::string_view::npos ? line.size() - start : end - start));
    if (end == std::string_view::npos) return fields;
    start = end + 1;
  }
}

// Lines are counted before the text is cut into them: a shard of nothing but line breaks must
// not become millions of records.
// Line breaks in text, found a memchr at a time (a byte loop costs more than reading the lines).
std::size_t breaks_in(std::string_view data) {
  std::size_t breaks = 0;
  if (data.empty()) return 0;
  for (const char* at = data.data();
       const void* found = std::memchr(at, '\n', data.data() + data.size() - at);) {
    ++breaks;
    at = static_cast<const char*>(found) + 1;
  }
  return breaks;
}

// Lines of text that holds `breaks` line breaks: the last may have none.
std::size_t lines_of(std::string_view data, std::size_t breaks) {
  return breaks + (!data.empty() && data.back() != '\n' ? 1 : 0);
}

std::size_t line_count(std::string_view data) {
  return lines_of(data, breaks_in(data));
}

// A short plain decimal ([-]digits[.digits], no exponent) at `at`, read exactly: its digits as an
// integer below 2^24 and a power of ten up to 10^10 are both exact in a float, so one float
// division rounds once, correctly (Clinger's fast path). Returns just past it, or nullptr for
// anything else, which the general readers take.
const char* short_decimal(const char* at, const char* end, float& value) {
  static constexpr float kTens[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                    1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const bool negative = at < end && *at == '-';
  at += negative;
  std::uint32_t mantissa = 0;
  int digits = 0, fraction = -1;
  for (; at < end; ++at) {
    const unsigned digit = static_cast<unsigned char>(*at) - '0';
    if (digit < 10) {
      mantissa = mantissa * 10 + digit;
      if (mantissa >= (1u << 24)) return nullptr;
      ++digits;
      if (fraction >= 0) ++fraction;
    } else if (*at == '.' && fraction < 0) {
      fraction = 0;
    } else {
      break;
    }
  }
  if (digits == 0 || fraction == 0 || fraction > 10 || (at < end && (*at == 'e' || *at == 'E'))) {
    return nullptr;
  }
  const float magnitude = static_cast<float>(mantissa) / kTens[std::max(fraction, 0)];
  value = negative ? -magnitude : magnitude;
  return at;
}

// A field as a finite 32-bit number. Plain decimals take the fast path; anything else (blanks
// around it, a sign, hexadecimal, a value that rounds to zero or a subnormal) is read by strtof,
// which decides as before. `where` is only built for the error.
template <class Where>
float number(std::string_view field, const Where& where) {
  float value = 0;
  const auto [end, code] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (code == std::errc() && end == field.data() + field.size() && std::isfinite(value)) {
    return value;
  }
  thread_local std::string text;
  text.assign(field);
  const char* begin = text.c_str();
  char* stop = nullptr;
  errno = 0;
  value = std::strtof(begin, &stop);
  while (stop && (*stop == ' ' || *stop == '\t')) ++stop;
  if (stop == begin || *stop != '\0') {
    throw bad_record(where() + ": \"" + text + "\" is not a number");
  }
  // Values that round to zero or a subnormal are numbers; infinities and NaN are not.
  if (!std::isfinite(value)) {
    throw bad_record(where() + ": \"" + text + "\" is not a finite 32-bit number");
  }
  return value;
}

float finite(const json& value, const std::string& where) {
  const double wide = value.get<double>();
  const auto narrow = static_cast<float>(wide);
  if (!std::isfinite(narrow)) throw bad_record(where + ": a value is not a finite 32-bit number");
  return narrow;
}

std::uint32_t sparse_index(const json& value, const std::string& where) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xffffffffULL) {
    throw bad_record(where + ": a sparse index is not a whole number below 2^32");
  }
  return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

void check_count(std::size_t records, const ServiceLimits& limits) {
  if (records > limits.max_records) {
    throw ApiError(
        413, "LIMIT_EXCEEDED",
        over_limit("the number of records", records, limits.max_records, "--max-records"));
  }
}

bool all_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The 0-based column a field name or 1-based number refers to.
std::size_t column_of(const std::string& field, const std::vector<std::string_view>& header) {
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header[i] == field) return i;
  }
  if (all_digits(field)) {
    if (field.size() > 9 || std::stoul(field) > kMaxFields) {
      throw bad_record("column " + field + " is beyond the " + std::to_string(kMaxFields) +
                       " columns a line may have");
    }
    if (std::stoul(field) >= 1) return std::stoul(field) - 1;
  }
  throw bad_record("no column named \"" + field + "\"");
}

// The records of `line_total` whole lines of a CSV shard, the first of them line `first_line`.
// With `values`, the records point into it rather than holding their own: one block rather than
// an allocation a record. The records are made in the memory of `room`.
std::vector<VectorRecord> csv_lines(std::string_view lines, std::size_t line_total,
                                    std::size_t first_line, const CsvColumns& columns,
                                    const std::atomic<bool>* stop,
                                    std::vector<float>* values = nullptr,
                                    std::vector<VectorRecord> room = {}) {
  std::vector<VectorRecord> records = std::move(room);
  records.clear();
  reserve_advised(records, line_total);
  std::vector<float> own;
  std::vector<float>& row = values != nullptr ? *values : own;
  std::vector<std::size_t> starts;  // where each record's values begin in the block
  constexpr std::size_t kFaultedAhead = 1 << 20;
  std::size_t faulted = 0;  // values of the block faulted in
  for_each_line(lines, stop, [&](std::string_view line, std::size_t n) {
    n += first_line - 1;
    // A line of blanks alone is no record, as the client takes it.
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;
    auto where = [n] { return "line " + std::to_string(n); };
    VectorRecord record;
    if (values == nullptr) row.clear();
    const std::size_t start_of_row = row.size();
    std::size_t c = 0;
    for (std::size_t start = 0;; ++c) {
      if (c >= kMaxFields) {
        throw bad_record(
            where() + " has " + std::to_string(std::count(line.begin(), line.end(), ',') + 1) +
            " fields, more than the " + std::to_string(kMaxFields) + " a line may have");
      }
      const auto kind = columns.kind(c);
      auto column = [&] { return where() + ", column " + std::to_string(c + 1); };
      if (kind == CsvColumns::kValue) {
        // A plain decimal is read and passed in one go; anything else is cut at its comma.
        float value = 0;
        const char* const end = line.data() + line.size();
        const char* stop = short_decimal(line.data() + start, end, value);
        if (stop == nullptr) {
          const auto read = std::from_chars(line.data() + start, end, value);
          stop = read.ec == std::errc() && std::isfinite(value) ? read.ptr : nullptr;
        }
        if (stop != nullptr && (stop == end || *stop == ',')) {
          row.push_back(value);
          if (stop == end) break;
          start = static_cast<std::size_t>(stop - line.data()) + 1;
          continue;
        }
      }
      const auto comma = line.find(',', start);
      const std::string_view field =
          line.substr(start, comma == std::string_view::npos ? line.size() - start : comma - start);
      if (kind == CsvColumns::kValue) {
        row.push_back(number(field, column));
      } else if (!valid_utf8(field)) {
        throw bad_record(column() + " is not UTF-8 text");
      } else if (kind == CsvColumns::kId) {
        record.id = std::string(field);
      } else {
        if (!record.attributes.is_object()) record.attributes = json::object();
        record.attributes[columns.attribute_names[c]] = std::string(field);
      }
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (columns.has_id && columns.id_column > c) {
      throw bad_record(where() + " has no column " + std::to_string(columns.id_column + 1));
    }
    if (values == nullptr) {
      record.dense.assign(row.begin(), row.end());
    } else {
      // Room for every line the width of the first (a value takes two bytes of text at least),
      // so the block grows once if at all.
      if (starts.empty()) {
        reserve_advised(row, std::min(row.size() * line_total, lines.size() / 2 + 1));
      }
      // Faulted in a few MiB at a time ahead of the values, as the room may be more than they
      // take.
      if (row.size() >= faulted) {
        faulted = std::min(row.capacity(), row.size() + kFaultedAhead);
        populate(row.data() + row.size(), (faulted - row.size()) * sizeof(float));
      }
      starts.push_back(start_of_row);
    }
    records.push_back(std::move(record));
  });
  // The block holds every record's values now, and no longer moves.
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : row.size();
    records[i].arrived = std::span<const float>(row.data() + starts[i], end - starts[i]);
  }
  return records;
}

// Cuts text into about `parts` pieces of whole lines.
std::vector<std::string_view> line_pieces(std::string_view text, std::size_t parts) {
  std::vector<std::string_view> pieces;
  for (std::size_t left = parts; !text.empty(); --left) {
    std::size_t cut = left <= 1 ? text.size() : text.size() / left;
    cut = text.find('\n', cut);
    cut = cut == std::string_view::npos ? text.size() : cut + 1;
    pieces.push_back(text.substr(0, cut));
    text.remove_prefix(cut);
  }
  return pieces;
}

}  // namespace

// What each column holds, from the format and the header line, which is taken off `data`.
CsvColumns::CsvColumns(const ShardFormat& format, std::string_view& data) {
  std::vector<std::string_view> header;
  if (format.has_field_names) {
    if (data.empty()) throw bad_record("the CSV shard has no header line");
    const auto end = data.find('\n');
    std::string_view line = data.substr(0, end);
    if (line.size() > kMaxLineBytes) throw bad_record("line 1 is longer than the limit");
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    header = fields_of(line, "line 1");
    data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
    first_line = 2;
  }
  auto mark = [&](std::size_t column, Kind kind) {
    if (kinds.size() <= column) kinds.resize(column + 1, kValue);
    if (attribute_names.size() <= column) attribute_names.resize(column + 1);
    kinds[column] = kind;
  };
  for (const auto& name : format.attributes) {
    const std::size_t column = column_of(name, header);
    mark(column, kAttribute);
    attribute_names[column] = name;
  }
  if (!format.id_field.empty()) {
    has_id = true;
    id_column = column_of(format.id_field, header);
    mark(id_column, kId);
  }
}

CsvRecords::CsvRecords(const ShardFormat& format, const ServiceLimits& limits,
                       const std::atomic<bool>* stop)
    : format_(format), limits_(limits), stop_(stop) {}

std::vector<VectorRecord> CsvRecords::next(std::string_view lines, std::vector<float>* values,
                                           std::vector<VectorRecord> room) {
  if (!columns_) columns_.emplace(format_, lines);
  const std::size_t breaks = breaks_in(lines), count = lines_of(lines, breaks);
  lines_ += count;
  check_count(lines_, limits_);
  std::vector<VectorRecord> records = csv_lines(lines, count, next_line_ + columns_->first_line - 1,
                                                *columns_, stop_, values, std::move(room));
  next_line_ += breaks;
  return records;
}

namespace {

std::vector<VectorRecord> parse_csv(std::string_view data, const ShardFormat& format,
                                    const ServiceLimits& limits, const std::atomic<bool>* stop) {
  const std::size_t line_total = line_count(data);
  check_count(line_total - (format.has_field_names && line_total > 0 ? 1 : 0), limits);
  const CsvColumns columns(format, data);
  const std::size_t first_line = columns.first_line;
  // Large shards are read on every core, in pieces of whole lines; the first error in line
  // order is the one told.
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const auto pieces = line_pieces(data, std::min<std::size_t>(cores, 1 + data.size() / (8 << 20)));
  std::vector<std::vector<VectorRecord>> parsed(pieces.size());
  std::vector<std::exception_ptr> failures(pieces.size());
  std::vector<std::size_t> firsts(pieces.size(), first_line), breaks(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    breaks[i] = breaks_in(pieces[i]);
    if (i > 0) firsts[i] = firsts[i - 1] + breaks[i - 1];
  }
  auto parse_piece = [&](std::size_t i) {
    try {
      parsed[i] = csv_lines(pieces[i], lines_of(pieces[i], breaks[i]), firsts[i], columns, stop);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < pieces.size(); ++i) helpers.emplace_back(parse_piece, i);
  if (!pieces.empty()) parse_piece(0);
  for (auto& helper : helpers) helper.join();
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  if (parsed.size() == 1) return std::move(parsed[0]);
  std::vector<VectorRecord> records;
  std::size_t total = 0;
  for (const auto& piece : parsed) total += piece.size();
  records.reserve(total);
  for (auto& piece : parsed) std::move(piece.begin(), piece.end(), std::back_inserter(records));
  return records;
}

std::vector<std::pair<std::uint32_t, float>> sparse_from_json(const json& value,
                                                              const std::string& where) {
  std::vector<std::pair<std::uint32_t, float>> pairs;
  if (value.is_object()) {
    for (const auto& [key, v] : value.items()) {
      if (!all_digits(key) || key.size() > 10 || std::stoull(key) > 0xffffffffULL ||
          !v.is_number()) {
        throw bad_record(where + ": bad sparse entry");
      }
      pairs.emplace_back(static_cast<std::uint32_t>(std::stoull(key)), finite(v, where));
    }
  } else if (value.is_array()) {
    for (const auto& pair : value) {
      if (!pair.is_array() || pair.size() != 2 || !pair[1].is_number()) {
        throw bad_record(where + ": bad sparse entry");
      }
      pairs.emplace_back(sparse_index(pair[0], where), finite(pair[1], where));
    }
  } else {
    throw bad_record(where + ": the vector is not an object or array");
  }
  return pairs;
}

std::vector<float> dense_from_json(const json& value, const std::string& where) {
  if (!value.is_array()) throw bad_record(where + ": the vector is not an array");
  std::vector<float> values;
  for (const auto& v : value) {
    if (!v.is_number()) throw bad_record(where + ": a vector value is not a number");
    values.push_back(finite(v, where));
  }
  return values;
}

std::string field_text(const json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

std::vector<VectorRecord> parse_json_records(std::string_view data, const ShardFormat& format,
                                             const ServiceLimits& limits,
                                             const std::atomic<bool>* stop) {
  // Elements are cut apart and checked for nesting and size before each becomes a tree of its
  // own: a whole shard as one tree takes many times its size, and copies and dumps of a tree
  // recurse once per level.
  std::vector<std::string_view> elements;
  try {
    elements = array_elements(data, limits.max_depth, kMaxElementBytes);
  } catch (const std::runtime_error& e) {
    throw bad_record(e.what());
  }
  check_count(elements.size(), limits);
  const bool sparse = format.vector_type == "sparse";
  std::vector<VectorRecord> records;
  records.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (stop && (i & 1023) == 1023 && stop->load()) throw Stopping();
    const std::string where = "element " + std::to_string(i + 1);
    json element;
    try {
      element = json::parse(elements[i]);
    } catch (const json::exception& e) {
      throw bad_record(where + " does not parse: " + e.what());
    }
    VectorRecord record;
    const json* vector = &element;
    if (format.has_field_names) {
      if (!element.is_object() || !element.contains(format.data_field)) {
        throw bad_record(where + " has no field \"" + format.data_field + "\"");
      }
      vector = &element.at(format.data_field);
      if (!format.id_field.empty()) {
        if (!element.contains(format.id_field)) {
          throw bad_record(where + " has no field \"" + format.id_field + "\"");
        }
        record.id = field_text(element.at(format.id_field));
      }
      for (const auto& name : format.attributes) {
        if (!element.contains(name)) continue;
        if (!record.attributes.is_object()) record.attributes = json::object();
        record.attributes[name] = field_text(element.at(name));
      }
    }
    if (sparse) {
      record.sparse = sparse_from_json(*vector, where);
    } else {
      record.dense = dense_from_json(*vector, where);
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::vector<VectorRecord> parse_libsvm(std::string_view data, const ServiceLimits& limits,
                                       const std::atomic<bool>* stop) {
  std::vector<VectorRecord> records;
  check_count(line_count(data), limits);
  for_each_line(data, stop, [&](std::string_view line, std::size_t n) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;
    auto where = [n] { return "line " + std::to_string(n); };
    VectorRecord record;
    std::size_t start = 0;
    while (start < line.size()) {
      const auto space = line.find_first_of(" \t", start);
      const std::string_view token = line.substr(start, space - start);
      start = space == std::string_view::npos ? line.size() : space + 1;
      if (token.empty()) continue;
      const auto colon = token.find(':');
      if (colon == std::string_view::npos) {
        if (record.sparse.empty()) continue;  // the label
        throw bad_record(where() + ": \"" + std::string(token) + "\" is not index:value");
      }
      const std::string_view index = token.substr(0, colon);
      std::uint64_t value = 0;
      const auto [end, code] = std::from_chars(index.data(), index.data() + index.size(), value);
      if (index.empty() || index.size() > 10 || code != std::errc() ||
          end != index.data() + index.size() || value > 0xffffffffULL) {
        throw bad_record(where() + ": \"" + std::string(index) + "\" is not an index");
      }
      if (record.sparse.size() >= kMaxFields * 16) {
        throw bad_record(where() + " has more than " + std::to_string(kMaxFields * 16) +
                         " entries");
      }
      record.sparse.emplace_back(static_cast<std::uint32_t>(value),
                                 number(token.substr(colon + 1), where));
    }
    records.push_back(std::move(record));
  });
  return records;
}

std::vector<VectorRecord> parse_binary(std::string_view data, int dim, const std::string& dtype,
                                       const ServiceLimits& limits, bool in_place) {
  BinaryRecords records(dim, dtype, limits, in_place);
  records.feed(data.data(), data.size());
  return records.finish();
}

}  // namespace

BinaryRecords::BinaryRecords(int dim, const std::string& dtype, const ServiceLimits& limits,
                             bool in_place, KeptVectors<VectorRecord>* batches,
                             std::size_t batch_records)
    : dim_(dim),
      floats_(dtype == "float32"),
      in_place_(in_place),
      batches_(batches),
      batch_records_(batch_records),
      limits_(limits) {
  if (dim <= 0) throw bad_record("binary_dim must be positive");
  if (!floats_ && dtype != "uint8") throw bad_record("binary_dtype must be uint8 or float32");
  size_ = static_cast<std::size_t>(dim) * (floats_ ? 4 : 1);
}

void BinaryRecords::take(const char* at, bool stays) {
  const std::size_t number = handed_ + records_.size() + 1;
  check_count(number, limits_);
  const auto dim = static_cast<std::size_t>(dim_);
  if (floats_) {
    // Exponent bits all set: an infinity or NaN.
    bool not_finite = false;
    for (std::size_t i = 0; i < size_; i += 4) {
      std::uint32_t bits;
      std::memcpy(&bits, at + i, 4);
      not_finite |= (bits & 0x7f800000u) == 0x7f800000u;
    }
    if (not_finite) {
      throw bad_record("vector " + std::to_string(number) + " holds a value that is not finite");
    }
  }
  // Made where it stays: moving a record costs about as much as filling it.
  VectorRecord& record = records_.emplace_back();
  if (floats_ && stays && reinterpret_cast<std::uintptr_t>(at) % alignof(float) == 0) {
    record.arrived = {reinterpret_cast<const float*>(at), dim};
  } else if (floats_) {
    record.dense.resize(dim);
    std::memcpy(record.dense.data(), at, size_);
  } else {
    record.dense.resize(dim);
    for (std::size_t i = 0; i < dim; ++i) record.dense[i] = static_cast<unsigned char>(at[i]);
  }
}

std::vector<VectorRecord> BinaryRecords::take_ready() {
  handed_ += records_.size();
  return std::exchange(records_, {});
}

void BinaryRecords::feed(const char* data, std::size_t size, bool staying) {
  if (records_.capacity() == 0) {
    if (batches_ != nullptr) records_ = batches_->take();
    reserve_populated(records_,
                      std::min(std::max(batch_records_, size / size_), limits_.max_records));
  }
  bytes_ += size;
  if (!partial_.empty()) {
    const std::size_t wanted = std::min(size_ - partial_.size(), size);
    partial_.append(data, wanted);
    data += wanted;
    size -= wanted;
    if (partial_.size() < size_) return;
    take(partial_.data(), false);
    partial_.clear();
  }
  for (; size >= size_; data += size_, size -= size_) take(data, in_place_ && staying);
  partial_.assign(data, size);
}

std::vector<VectorRecord> BinaryRecords::finish() {
  if (!partial_.empty()) {
    throw bad_record("the binary shard holds " + std::to_string(bytes_) +
                     " bytes, not a whole number of " + std::to_string(size_) + "-byte vectors");
  }
  return std::move(records_);
}

std::vector<VectorRecord> parse_records(std::string_view data, const ShardFormat& format,
                                        const std::vector<std::string>* ids,
                                        const ServiceLimits& limits, const std::atomic<bool>* stop,
                                        bool in_place) {
  std::vector<VectorRecord> records;
  if (format.file_format == "csv") {
    records = parse_csv(data, format, limits, stop);
  } else if (format.file_format == "json") {
    records = parse_json_records(data, format, limits, stop);
  } else if (format.file_format == "libsvm") {
    records = parse_libsvm(data, limits, stop);
  } else if (format.file_format == "binary") {
    records = parse_binary(data, format.binary_dim, format.binary_dtype, limits, in_place);
  } else {
    throw bad_record("unknown file format \"" + format.file_format + "\"");
  }
  return with_ids(std::move(records), ids);
}

std::vector<VectorRecord> with_ids(std::vector<VectorRecord> records,
                                   const std::vector<std::string>* ids) {
  if (ids != nullptr) {
    if (ids->size() != records.size()) {
      throw bad_record("the shard has " + std::to_string(records.size()) + " records but " +
                       std::to_string(ids->size()) + " string ids");
    }
    for (std::size_t i = 0; i < records.size(); ++i) records[i].id = (*ids)[i];
  }
  return records;
}

std::vector<std::string> shard_ids(std::string_view text, const ServiceLimits& limits) {
  check_count(line_count(text), limits);
  std::vector<std::string> ids;
  ids.reserve(line_count(text));
  for_each_line(text, nullptr, [&](std::string_view line, std::size_t n) {
    if (!valid_utf8(line))
      throw bad_record("string id " + std::to_string(n) + " is not UTF-8 text");
    ids.emplace_back(line);
  });
  return ids;
}

std::vector<VectorRecord> parse_query_file(std::string_view data, const std::string& format,
                                           const ServiceLimits& limits) {
  ShardFormat shape;
  shape.file_format = format;
  shape.has_field_names = false;
  if (format == "binary" || format == "float32") {
    const std::size_t count = data.size() / 4;
    shape.file_format = "binary";
    shape.binary_dtype = "float32";
    shape.binary_dim = static_cast<int>(count);
  }
  return parse_records(data, shape, nullptr, limits);
}

}  // namespace orvix_local
