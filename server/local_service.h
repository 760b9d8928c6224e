#pragma once
// The API of Orvix Local: the endpoints the client uses, per user, over the store, the live
// datasets and the job queue.

#include <map>
#include <set>
#include <string>

#include "server/csv_stream.h"
#include "server/graph_builder.h"
#include "server/http_server.h"
#include "server/jobs.h"
#include "server/json_outline.h"
#include "server/kept_buffers.h"
#include "server/limits.h"
#include "server/live_dataset.h"
#include "server/memory_budget.h"
#include "server/shard_prefetch.h"
#include "server/store.h"

namespace orvix_local {

// A directory of the service's own that goes when the service does (--in-memory).
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class LocalService {
 public:
  // An empty data directory keeps everything in a scratch directory removed at the end.
  LocalService(const std::string& data_dir, const std::set<std::string>& api_keys,
               ServiceLimits limits = {});
  // The job worker stops first: it may be waiting on the read ahead, which goes before it.
  ~LocalService() { stop_jobs(); }

  const ServiceLimits& limits() const { return limits_; }
  // What all requests in flight may hold together.
  MemoryBudget& budget() { return budget_; }
  // The identity answered to the key-validation endpoint, or nullopt for an unknown key.
  std::optional<json> validate_key(const std::string& key) const;
  // Answers one API call: the HTTP status and the JSON answer. `held` is the request's share of
  // the memory budget (what its body holds), grown here by what parsing it takes; `spooled`, when
  // given, is the file the body was read into, which an upload's job may take.
  std::pair<int, json> call(const std::string& endpoint, std::string_view text,
                            MemoryBudget::Reservation& held, SpooledBody* spooled);
  // The same for a body in memory with a reservation of its own (in-process callers).
  std::pair<int, json> call(const std::string& endpoint, std::string body_text);
  // The same with the answer as the text sent: what the HTTP front calls. A large answer is
  // written as text without being built as a tree first.
  std::pair<int, std::string> respond(const std::string& endpoint, std::string_view text,
                                      MemoryBudget::Reservation& held, SpooledBody* spooled);
  // Stops the job worker; the running job rolls back and runs again at the next start.
  void stop_jobs() {
    graphs_.stop();
    jobs_.stop();
  }
  // Where request bodies spooled to files are kept: beside the jobs' inputs, which they become.
  std::string spool_dir() const { return data_dir_ + "/jobs"; }
  // The scratch directory of an in-memory service, or empty.
  std::string scratch_path() const { return scratch_ ? scratch_->path() : std::string(); }

 private:
  using Handler = json (LocalService::*)(const std::string& owner, const json& body);

  json check_cli_version(const std::string& owner, const json& body);
  json create_project(const std::string& owner, const json& body);
  json fetch_projects(const std::string& owner, const json& body);
  json delete_project(const std::string& owner, const json& body);
  json init(const std::string& owner, const json& body);
  json fetch_datasets(const std::string& owner, const json& body);
  json delete_dataset(const std::string& owner, const json& body);
  json attach_index(const std::string& owner, const json& body);
  json job_status(const std::string& owner, const json& body);
  json list_index_infos(const std::string& owner, const json& body);
  json delete_index(const std::string& owner, const json& body);
  json add_data(const std::string& owner, const json& body);
  json add_data_batch(const std::string& owner, const json& body);
  json remove_data(const std::string& owner, const json& body);
  std::string search(const std::string& owner, const json& body, MemoryBudget::Reservation& held);
  // An answer as a tree, or as its text when it was written as text.
  struct Answer {
    int status;
    json body;
    std::optional<std::string> text = std::nullopt;
  };
  Answer answer(const std::string& endpoint, std::string_view text, MemoryBudget::Reservation& held,
                SpooledBody* spooled);
  // Grows a request's reservation by `more`: 413 when it can never fit, 503 when it did not fit
  // in time.
  void reserve(MemoryBudget::Reservation& held, std::size_t more);
  // Where an upload's base64 members lie in its text when written without escapes; otherwise
  // the parsed body holds them.
  struct UploadText {
    std::string_view text;
    std::optional<std::pair<std::size_t, std::size_t>> data, ids;
    SpooledBody* spooled = nullptr;
    const JsonOutline* outline = nullptr;  // of the whole text
  };
  json upload(const std::string& owner, const json& body, const UploadText& upload_text);
  json dense_batch(const std::string& owner, const json& body, std::string_view text,
                   const JsonOutline& outline);
  // The owner of the key a request names, read from its text before anything is built; nullopt
  // when the key is missing or unknown.
  std::optional<std::string> owner_in(std::string_view text, const JsonOutline& outline) const;

  std::string run_job(const Job& job);
  // Reads an upload job's records into `feed`, a batch at a time where the format allows.
  void read_shard(const Job& job, ShardFeed& feed);
  // Stores records in one transaction (marking `job_id` finished in it, when given), then
  // brings the live dataset and its graphs up to date.
  std::string store_records(const DatasetInfo& dataset, std::vector<VectorRecord>& records,
                            const std::string& job_id);
  // The same for the batches `next` gives, each stored as it comes.
  std::string store_records(const DatasetInfo& dataset,
                            const std::function<bool(std::vector<VectorRecord>&)>& next,
                            const std::string& job_id);
  std::shared_ptr<LiveDataset> live(const DatasetInfo& dataset);
  void forget_datasets(const std::vector<std::int64_t>& ids);

  std::unique_ptr<ScratchDirectory> scratch_;
  std::string data_dir_;
  std::map<std::string, int> users_;  // key hash -> user number
  ServiceLimits limits_;
  MemoryBudget budget_;
  // Before what holds them.
  KeptBuffers<std::string> texts_{kKeptShardTexts};
  CsvStream::Texts csv_blocks_{kKeptCsvBlocks};
  KeptBuffers<std::vector<float>> values_{kKeptValueBlocks};
  KeptVectors<VectorRecord> record_batches_{kKeptRecordBatches};
  Store store_;
  LiveDatasets live_;
  JobQueue jobs_;
  GraphBuilder graphs_;
  ShardPrefetch prefetch_;  // last: its reading ends before what it reads goes
};

}  // namespace orvix_local
