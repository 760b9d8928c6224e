#include "upload/value_checks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "language/utf8.h"

namespace rest_client {
namespace {

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

// A value that is not a finite number: refused by an upload, noted by a dry run.
void refuse_value(ShardOutput& output, const ReaderInput& input, const LinePlace& place,
                  const std::string& where, std::string_view text) {
  const std::string said = "(line " + std::to_string(place.line) + ", " + where + ") holds \"" +
                           shown(text) + "\", which is not a finite 32-bit number";
  if (output.problem(place.record, place.offset, said)) return;
  throw std::invalid_argument("Record " + std::to_string(place.record) + " of '" +
                              input.file->path() + "' " + said + "; its shard was not sent");
}

// A dry run's note of a record's shape or text.
void note_problem(ShardOutput& output, const LinePlace& place, const std::string& text) {
  output.problem(place.record, place.offset, "(line " + std::to_string(place.line) + ") " + text);
}

}  // namespace

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
                                    input.file->path() + "' " + said + "; its shard was not sent");
      }
    } else if (non_finite(token.substr(colon + 1))) {
      refuse_value(output, input, place, "entry " + std::to_string(entry), token);
    }
  }
}

}  // namespace rest_client
