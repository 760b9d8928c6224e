// The readers of files of one record per line: libsvm, and CSV with or without field names.
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "upload/file_readers.h"
#include "upload/id_feed.h"
#include "upload/input_file.h"
#include "upload/value_checks.h"

namespace rest_client {
namespace {

// Calls `record` with each line (without its line break) of the file, read in large blocks, and
// where in the file the line begins.
template <class OnLine>
void for_each_line(InputFile& file, OnLine&& record) {
  std::vector<char> block(kReadBlock);
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
std::string first_line(InputFile& file, std::uint64_t limit) {
  file.start_at(0, nullptr, false);
  std::string line;
  char piece[65536];
  while (line.size() < limit) {
    const std::size_t got = file.read(piece, sizeof piece);
    if (got == 0) break;
    line.append(piece, got);
    const auto end = line.find('\n');
    if (end != std::string::npos) return line.substr(0, end);
  }
  throw std::runtime_error("The header line of '" + file.path() + "' is no longer where it was");
}

void add_line(ShardOutput& transfer, std::string_view line) {
  transfer.add_data(line.data(), line.size());
  transfer.add_data("\n", 1);
}

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

void read_line_file(ShardOutput& transfer, const ReaderInput& input) {
  InputFile& file = begin_reading(input);
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
  sent.require_vectors(input.file->path());
  ids.warn_about_extra_ids();
  if (transfer.data_size() > 0) sent.hand_off(ids, file.position(), file);
}

void read_csv_with_header(ShardOutput& transfer, const ReaderInput& input) {
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
  if (input.resume) take_header(first_line(*input.file, input.resume->offset));
  InputFile& file = begin_reading(input);
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
  sent.require_vectors(input.file->path());
  ids.warn_about_extra_ids();
  sent.hand_off(ids, file.position(), file);
}

}  // namespace rest_client
