#include "upload/dry_run.h"

#include <iostream>

#include <algorithm>
#include <functional>
#include <string_view>

#include "client/console.h"
#include "client/interrupt.h"
#include "client/limits.h"
#include "client/statement_output.h"
#include "upload/file_readers.h"

namespace rest_client {
namespace {

using limits::kProblemsShown;

// Counts what an upload would send, shard by shard, without compressing or keeping it, and
// notes the problems the readers find.
class DryRun : public ShardOutput {
 public:
  explicit DryRun(std::size_t shard_size) : shard_size_(shard_size) {}

  void add_data(const char*, std::size_t size) override { data_ += size; }
  std::size_t data_size() const override { return data_; }
  std::size_t shard_size() const override { return shard_size_; }
  void hand_off(const std::string* shard_ids, std::uint64_t first_record,
                std::uint64_t records) override {
    shard_bytes_.push_back(data_ + (shard_ids != nullptr ? shard_ids->size() : 0));
    records_ = first_record + records - 1;
    data_ = 0;
  }
  void discard() override { data_ = 0; }
  void ids_ran_out(std::uint64_t ids) override { ids_short_ = ids; }
  void warning(std::string text) override { warnings_.push_back(std::move(text)); }
  void note(std::string) override {}
  bool stopping() const override { return interrupt_requested(); }
  WorkerPool& workers() override { return workers_; }
  bool checking() const override { return true; }
  bool problem(std::uint64_t record, std::uint64_t offset, const std::string& text) override {
    if (problems_.size() < kProblemsShown) {
      problems_.push_back({{"record", record}, {"offset", offset}, {"problem", text}});
    } else {
      ++more_problems_;
    }
    return true;
  }
  void record_shape(std::uint64_t record, std::uint64_t offset, std::size_t values) override {
    if (!dimension_) {
      dimension_ = values;
    } else if (values != *dimension_) {
      problem(record, offset,
              "has " + std::to_string(values) + " values; the first vector has " +
                  std::to_string(*dimension_));
    }
  }

  void record_id(std::uint64_t record, std::uint64_t offset, std::string_view id) override {
    if (ids_.size() >= limits::kCheckedIds) {
      ids_stopped_ = true;
      return;
    }
    ids_.push_back({std::hash<std::string_view>{}(id), record, offset});
  }
  // Each record whose id an earlier record has, by a 64-bit hash of each id, in record order.
  void report_repeated_ids() {
    std::sort(ids_.begin(), ids_.end());
    struct Repeat {
      std::uint64_t record, offset, first;
      bool operator<(const Repeat& other) const { return record < other.record; }
    };
    std::vector<Repeat> repeats;
    for (std::size_t i = 1, first = 0; i < ids_.size(); ++i) {
      if (ids_[i].hash != ids_[first].hash) {
        first = i;
      } else {
        repeats.push_back({ids_[i].record, ids_[i].offset, ids_[first].record});
      }
    }
    std::sort(repeats.begin(), repeats.end());
    for (const Repeat& repeat : repeats) {
      problem(repeat.record, repeat.offset,
              "has the id of record " + std::to_string(repeat.first) +
                  "; an id names one vector of a dataset");
    }
    if (ids_stopped_) {
      warning(" Only the first " + std::to_string(limits::kCheckedIds) +
              " ids were checked for repeats");
    }
    std::vector<SeenId>().swap(ids_);
  }

  std::uint64_t records() const { return records_; }
  const std::vector<std::uint64_t>& shard_bytes() const { return shard_bytes_; }
  std::optional<std::size_t> dimension() const { return dimension_; }
  std::optional<std::uint64_t> ids_short() const { return ids_short_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  const nlohmann::json& problems() const { return problems_; }
  std::size_t more_problems() const { return more_problems_; }
  std::size_t problem_count() const { return problems_.size() + more_problems_; }

 private:
  std::size_t shard_size_;
  std::size_t data_ = 0;
  std::uint64_t records_ = 0;
  std::vector<std::uint64_t> shard_bytes_;
  std::optional<std::size_t> dimension_;
  std::optional<std::uint64_t> ids_short_;
  std::vector<std::string> warnings_;
  nlohmann::json problems_ = nlohmann::json::array();
  std::size_t more_problems_ = 0;
  struct SeenId {
    std::size_t hash;
    std::uint64_t record, offset;
    bool operator<(const SeenId& other) const {
      return hash != other.hash ? hash < other.hash : record < other.record;
    }
  };
  std::vector<SeenId> ids_;
  bool ids_stopped_ = false;
  WorkerPool workers_;
};

// Where the vectors' ids come from.
nlohmann::json ids_source(const UploadPlan& plan, const nlohmann::json& body) {
  if (!plan.ids_path.empty()) return {{"from", "file"}, {"name", plan.ids_path}};
  if (body.contains("vector_id_field_name")) {
    return {{"from", "field"}, {"name", body.at("vector_id_field_name")}};
  }
  return {{"from", "row numbers"}};
}

}  // namespace

bool dry_run_upload(Session& session, InputFile& file, const UploadPlan& plan,
                    const nlohmann::json& body) {
  const std::string& file_path = file.path();
  print_info("Dry run of '" + file_path + "': nothing is sent");
  DryRun run(static_cast<std::size_t>(session.upload.shard_size));
  try {
    read_upload_file(run, reader_input(file, plan, body), plan.reader, plan.record_size,
                     plan.floats);
  } catch (const std::exception& e) {
    run.problem(run.records() + 1, 0, e.what());  // what ends a reader ends the upload too
  }
  run.report_repeated_ids();
  if (const auto ids = run.ids_short()) {
    run.problem(*ids + 1, 0,
                "The string ids file '" + plan.ids_path + "' holds " + std::to_string(*ids) +
                    " ids: this vector and those after it would get default ids");
  }
  const bool sparse = body.value("vector_type", "") == "sparse";
  const auto& bytes = run.shard_bytes();
  std::uint64_t total = 0, largest = 0;
  for (const auto size : bytes) {
    total += size;
    largest = std::max(largest, size);
  }
  const nlohmann::json ids = ids_source(plan, body);
  std::cout << "Records: " << run.records() << "\n"
            << "Dimension: "
            << (sparse            ? "sparse"
                : run.dimension() ? std::to_string(*run.dimension())
                                  : std::string("none"))
            << "\nVector type: " << body.value("vector_type", "") << "\n"
            << "Ids: " << ids.at("from").get<std::string>()
            << (ids.contains("name") ? " " + ids.at("name").dump() : std::string()) << "\n"
            << "Shards: " << bytes.size() << " (before compression: " << total
            << " bytes in all, the largest " << largest << ")" << std::endl;
  for (const auto& warning : run.warnings()) print_warning(warning);
  for (const auto& problem : run.problems()) {
    const std::string where = problem.at("record") == 0 ? std::string("Before the first record")
                                                        : "Record " + problem.at("record").dump();
    print_error(where + " (byte " + problem.at("offset").dump() +
                "): " + problem.at("problem").get<std::string>());
  }
  if (run.more_problems() > 0) {
    print_error("... and " + std::to_string(run.more_problems()) + " more problem(s)");
  }
  auto& members = session.output.members;
  members["dry_run"] = true;
  members["file"] = file_path;
  members["records"] = run.records();
  members["dimension"] =
      sparse || !run.dimension() ? nlohmann::json() : nlohmann::json(*run.dimension());
  members["vector_type"] = body.value("vector_type", "");
  members["ids"] = ids;
  members["shards"] = bytes.size();
  members["shard_bytes"] = bytes;
  members["problems"] = run.problems();
  members["more_problems"] = run.more_problems();
  if (run.problem_count() > 0) {
    print_error("Dry run: " + std::to_string(run.problem_count()) +
                " problem(s) found; the upload would not go through");
    return false;
  }
  print_success("Dry run: the upload would go through");
  return true;
}

}  // namespace rest_client
