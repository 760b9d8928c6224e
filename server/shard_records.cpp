#include "server/shard_records.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include "server/codec.h"
#include "server/json_limits.h"

namespace orvix_local {
namespace {

// A record's JSON text: a vector of the largest dimension in long notation, with room for
// attributes.
constexpr std::size_t kMaxElementBytes = 16 << 20;

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
std::size_t line_count(std::string_view data) {
  const auto breaks = static_cast<std::size_t>(std::count(data.begin(), data.end(), '\n'));
  return breaks + (!data.empty() && data.back() != '\n' ? 1 : 0);
}

float number(std::string_view field, const std::string& where) {
  thread_local std::string text;
  text.assign(field);
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const float value = std::strtof(begin, &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (end == begin || *end != '\0') {
    throw bad_record(where + ": \"" + text + "\" is not a number");
  }
  // Values that round to zero or a subnormal are numbers; infinities and NaN are not.
  if (!std::isfinite(value)) {
    throw bad_record(where + ": \"" + text + "\" is not a finite 32-bit number");
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

std::vector<VectorRecord> parse_csv(const std::string& data, const ShardFormat& format,
                                    const ServiceLimits& limits, const std::atomic<bool>* stop) {
  const std::size_t line_total = line_count(data);
  check_count(line_total - (format.has_field_names && line_total > 0 ? 1 : 0), limits);
  std::vector<std::string_view> header;
  bool header_read = !format.has_field_names;
  bool has_id = !format.id_field.empty();
  std::size_t id_column = 0;
  std::map<std::size_t, std::string> attribute_columns;
  auto name_columns = [&] {
    if (has_id) id_column = column_of(format.id_field, header);
    for (const auto& name : format.attributes) attribute_columns[column_of(name, header)] = name;
  };
  if (header_read) name_columns();
  std::vector<VectorRecord> records;
  records.reserve(line_total);
  for_each_line(data, stop, [&](std::string_view line, std::size_t n) {
    const std::string where = "line " + std::to_string(n);
    if (!header_read) {
      header = fields_of(line, where);
      header_read = true;
      name_columns();
      return;
    }
    if (line.empty()) return;
    const auto fields = fields_of(line, where);
    VectorRecord record;
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const bool text_field = (has_id && c == id_column) || attribute_columns.count(c) != 0;
      if (text_field && !valid_utf8(fields[c])) {
        throw bad_record(where + ", column " + std::to_string(c + 1) + " is not UTF-8 text");
      }
      if (has_id && c == id_column) {
        record.id = std::string(fields[c]);
      } else if (auto attribute = attribute_columns.find(c); attribute != attribute_columns.end()) {
        if (!record.attributes.is_object()) record.attributes = json::object();
        record.attributes[attribute->second] = std::string(fields[c]);
      } else {
        record.dense.push_back(number(fields[c], where + ", column " + std::to_string(c + 1)));
      }
    }
    if (has_id && id_column >= fields.size()) {
      throw bad_record(where + " has no column " + std::to_string(id_column + 1));
    }
    records.push_back(std::move(record));
  });
  if (!header_read) throw bad_record("the CSV shard has no header line");
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

std::vector<VectorRecord> parse_json_records(const std::string& data, const ShardFormat& format,
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

std::vector<VectorRecord> parse_libsvm(const std::string& data, const ServiceLimits& limits,
                                       const std::atomic<bool>* stop) {
  std::vector<VectorRecord> records;
  check_count(line_count(data), limits);
  for_each_line(data, stop, [&](std::string_view line, std::size_t n) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;
    const std::string where = "line " + std::to_string(n);
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
        throw bad_record(where + ": \"" + std::string(token) + "\" is not index:value");
      }
      const std::string index(token.substr(0, colon));
      if (!all_digits(index) || index.size() > 10 || std::stoull(index) > 0xffffffffULL) {
        throw bad_record(where + ": \"" + index + "\" is not an index");
      }
      if (record.sparse.size() >= kMaxFields * 16) {
        throw bad_record(where + " has more than " + std::to_string(kMaxFields * 16) + " entries");
      }
      record.sparse.emplace_back(static_cast<std::uint32_t>(std::stoull(index)),
                                 number(token.substr(colon + 1), where));
    }
    records.push_back(std::move(record));
  });
  return records;
}

std::vector<VectorRecord> parse_binary(const std::string& data, int dim, const std::string& dtype,
                                       const ServiceLimits& limits) {
  BinaryRecords records(dim, dtype, limits);
  records.feed(data.data(), data.size());
  return records.finish();
}

}  // namespace

BinaryRecords::BinaryRecords(int dim, const std::string& dtype, const ServiceLimits& limits)
    : dim_(dim), floats_(dtype == "float32"), limits_(limits) {
  if (dim <= 0) throw bad_record("binary_dim must be positive");
  if (!floats_ && dtype != "uint8") throw bad_record("binary_dtype must be uint8 or float32");
  size_ = static_cast<std::size_t>(dim) * (floats_ ? 4 : 1);
}

void BinaryRecords::take(const char* at) {
  check_count(records_.size() + 1, limits_);
  VectorRecord record;
  auto& values = record.dense;
  values.resize(static_cast<std::size_t>(dim_));
  if (floats_) {
    std::memcpy(values.data(), at, size_);
    for (const float v : values) {
      if (!std::isfinite(v)) {
        throw bad_record("vector " + std::to_string(records_.size() + 1) +
                         " holds a value that is not finite");
      }
    }
  } else {
    for (int i = 0; i < dim_; ++i) values[i] = static_cast<unsigned char>(at[i]);
  }
  records_.push_back(std::move(record));
}

void BinaryRecords::feed(const char* data, std::size_t size) {
  bytes_ += size;
  if (!partial_.empty()) {
    const std::size_t wanted = std::min(size_ - partial_.size(), size);
    partial_.append(data, wanted);
    data += wanted;
    size -= wanted;
    if (partial_.size() < size_) return;
    take(partial_.data());
    partial_.clear();
  }
  for (; size >= size_; data += size_, size -= size_) take(data);
  partial_.assign(data, size);
}

std::vector<VectorRecord> BinaryRecords::finish() {
  if (!partial_.empty()) {
    throw bad_record("the binary shard holds " + std::to_string(bytes_) +
                     " bytes, not a whole number of " + std::to_string(size_) + "-byte vectors");
  }
  return std::move(records_);
}

std::vector<VectorRecord> parse_records(const std::string& data, const ShardFormat& format,
                                        const std::vector<std::string>* ids,
                                        const ServiceLimits& limits,
                                        const std::atomic<bool>* stop) {
  std::vector<VectorRecord> records;
  if (format.file_format == "csv") {
    records = parse_csv(data, format, limits, stop);
  } else if (format.file_format == "json") {
    records = parse_json_records(data, format, limits, stop);
  } else if (format.file_format == "libsvm") {
    records = parse_libsvm(data, limits, stop);
  } else if (format.file_format == "binary") {
    records = parse_binary(data, format.binary_dim, format.binary_dtype, limits);
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

std::vector<std::string> shard_ids(std::string_view gzip_text, const ServiceLimits& limits) {
  std::vector<std::string> ids;
  std::string partial;
  auto take = [&](std::string_view line) {
    const std::string where = "string id " + std::to_string(ids.size() + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!valid_utf8(line)) throw bad_record(where + " is not UTF-8 text");
    check_count(ids.size() + 1, limits);
    ids.emplace_back(line);
  };
  GzipReader reader(limits.max_shard_bytes, [&](const char* data, std::size_t size) {
    std::string_view piece(data, size);
    for (auto end = piece.find('\n'); end != std::string_view::npos; end = piece.find('\n')) {
      if (partial.empty()) {
        take(piece.substr(0, end));
      } else {
        partial.append(piece.substr(0, end));
        take(partial);
        partial.clear();
      }
      piece.remove_prefix(end + 1);
    }
    if (partial.size() + piece.size() > kMaxLineBytes) {
      throw bad_record("string id " + std::to_string(ids.size() + 1) + " is longer than " +
                       std::to_string(kMaxLineBytes) + " bytes");
    }
    partial.append(piece);
  });
  reader.feed(gzip_text);
  reader.finish();
  if (!partial.empty()) take(partial);
  return ids;
}

std::vector<VectorRecord> parse_query_file(const std::string& data, const std::string& format,
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
