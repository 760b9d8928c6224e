// The reader of JSON files: the elements of the top-level array, checked, then sent compact.
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/limits.h"
#include "upload/compact_json.h"
#include "upload/file_readers.h"
#include "upload/id_feed.h"
#include "upload/input_file.h"
#include "upload/json_array_scanner.h"
#include "upload/ordered_tasks.h"

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
                           JsonCheck::kMaxElementDepth, kReadBlock);
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
  // The same open for every pass, so that a change between passes is seen by the last one.
  InputFile& file = begin_reading(input);
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
            throw std::runtime_error("The array of '" + input.file->path() +
                                     "' does not go on where the upload stopped");
          }
          buffer[0] = '[';
          opened = true;
        }
        return got;
      },
      JsonCheck::kMaxElementDepth, kReadBlock);
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
  sent.require_vectors(input.file->path());
  ids.warn_about_extra_ids();
  transfer.add_data("]", 1);
  sent.hand_off(ids, end, file);
}

}  // namespace rest_client
