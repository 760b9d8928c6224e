#include "server/local_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "server/graph.h"
#include "server/json_outline.h"
#include "server/limits.h"
#include "server/request_fields.h"

namespace orvix_local {

ScratchDirectory::ScratchDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvix-local-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

LocalService::LocalService(const std::string& data_dir, const std::set<std::string>& api_keys,
                           ServiceLimits limits)
    : scratch_(data_dir.empty() ? std::make_unique<ScratchDirectory>() : nullptr),
      data_dir_(scratch_ ? scratch_->path() : data_dir),
      limits_(limits),
      budget_(limits.max_inflight),
      store_(data_dir_ + "/orvix.db", data_dir_ + "/vectors"),
      jobs_(store_, data_dir_ + "/jobs"),
      graphs_(data_dir_ + "/graphs",
              {[this](LiveDataset& dataset) {
                 std::lock_guard<std::mutex> write(dataset.write_mutex);
                 dataset.ensure_loaded(store_);
               },
               [this](const std::string& id, bool finished, const std::string& text) {
                 jobs_.settle_deferred(id, finished, text);
               },
               [this] { return jobs_.idle(); }, [this] { return live_.all(); }}) {
  int number = 0;
  for (const auto& key : api_keys) users_[owner_of(key)] = ++number;
  ::mkdir((data_dir_ + "/jobs").c_str(), 0700);
  store_.purge_orphans();
  // Decompressed shard texts are kept through a burst of uploads, not while the queue is idle.
  jobs_.start([this](const Job& job) { return run_job(job); },
              [this] {
                texts_.release();
                csv_blocks_.release();
                values_.release();
                record_batches_.release();
              });
  // The graphs kept on disk are read back at once, so that the first searches find them; the
  // files of indices that are gone go.
  std::set<std::int64_t> kept;
  for (const auto& [dataset, index] : store_.large_indices()) {
    if (needs_graph(*live_.get(dataset), index)) {
      graphs_.add({live_.get(dataset), index, "", true});
    }
    kept.insert(index.id);
  }
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(graphs_.directory(), ignored)) {
    const std::string name = entry.path().filename().string();
    const auto id = std::atoll(name.c_str());
    if (kept.count(id) == 0) std::filesystem::remove(entry.path(), ignored);
  }
}

std::optional<json> LocalService::validate_key(const std::string& key) const {
  const auto user = users_.find(owner_of(key));
  if (user == users_.end()) return std::nullopt;
  const std::string name = "local-user-" + std::to_string(user->second);
  return json{{"user_id", name}, {"username", name}};
}

std::pair<int, json> LocalService::call(const std::string& endpoint, std::string text) {
  auto held = budget_.open("in-process");
  return call(endpoint, text, held, nullptr);
}

std::pair<int, json> LocalService::call(const std::string& endpoint, std::string_view text,
                                        MemoryBudget::Reservation& held, SpooledBody* spooled) {
  Answer made = answer(endpoint, text, held, spooled);
  if (made.text) return {made.status, json::parse(*made.text)};
  return {made.status, std::move(made.body)};
}

std::pair<int, std::string> LocalService::respond(const std::string& endpoint,
                                                  std::string_view text,
                                                  MemoryBudget::Reservation& held,
                                                  SpooledBody* spooled) {
  Answer made = answer(endpoint, text, held, spooled);
  if (made.text) return {made.status, std::move(*made.text)};
  return {made.status, answer_text(made.body)};
}

void LocalService::reserve(MemoryBudget::Reservation& held, std::size_t more) {
  if (more > budget_.limit() || held.bytes() > budget_.limit() - more) {
    throw ApiError(413, "LIMIT_EXCEEDED",
                   over_limit("the memory this request needs", held.bytes() + more, budget_.limit(),
                              "--max-inflight-mb"));
  }
  if (!budget_.grow_waiting(held, more, std::chrono::milliseconds(limits_.inflight_wait_ms))) {
    throw ApiError(503, "BUSY", "the service is busy with other requests; try again");
  }
}

LocalService::Answer LocalService::answer(const std::string& endpoint, std::string_view text,
                                          MemoryBudget::Reservation& held, SpooledBody* spooled) {
  static const std::map<std::string, Handler> handlers = {
      {"check_cli_version", &LocalService::check_cli_version},
      {"create_project", &LocalService::create_project},
      {"fetch_projects", &LocalService::fetch_projects},
      {"delete_project", &LocalService::delete_project},
      {"init", &LocalService::init},
      {"fetch_datasets", &LocalService::fetch_datasets},
      {"delete_dataset", &LocalService::delete_dataset},
      {"attach_index", &LocalService::attach_index},
      {"get_attach_index_status", &LocalService::job_status},
      {"list_index_infos", &LocalService::list_index_infos},
      {"delete_index", &LocalService::delete_index},
      {"add_data", &LocalService::add_data},
      {"add_data_batch", &LocalService::add_data_batch},
      {"get_upload_data_status", &LocalService::job_status},
      {"remove_data", &LocalService::remove_data},
      {"search", nullptr},
      {"upload", nullptr},
  };
  const auto handler = handlers.find(endpoint);
  if (handler == handlers.end()) return {404, {{"detail", "no endpoint /" + endpoint}}};
  try {
    // The text is outlined in one pass before anything is built from it: by the thread that
    // followed a spooled body as it arrived, or here.
    std::unique_ptr<JsonOutline> own;
    const JsonOutline* outline = nullptr;
    if (spooled != nullptr && spooled->followed() != nullptr) {
      outline = dynamic_cast<const JsonOutline*>(spooled->followed()->wait());
    }
    if (outline == nullptr) {
      own = request_outline(limits_.max_depth, false);
      own->take(text);
      outline = own.get();
    }
    // Nesting is checked on the text: the tree's copies and dumps recurse once per level.
    if (outline->too_deep()) {
      return {400,
              {{"detail", "the request is nested deeper than " + std::to_string(limits_.max_depth) +
                              " levels"}}};
    }
    // The key is read before anything is built from the text: a request with a wrong key costs
    // a scan of its bytes, whatever it holds. Only a small one is parsed, to say what is wrong.
    const auto owner = owner_in(text, *outline);
    if (!owner) {
      if (text.size() <= kExplainedBody) {
        const json body = json::parse(text, nullptr, false);
        if (body.is_discarded()) return {400, {{"detail", "malformed JSON"}}};
        if (!body.is_object()) {
          return {400, {{"detail", "the request body must be a JSON object"}}};
        }
      }
      return {401, {{"detail", "Invalid API key"}}};
    }
    // An upload's data and ids are read where they lie in the request rather than copied into
    // a tree; a spooled body is not in memory at all.
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    UploadText upload_text;
    if (endpoint == "upload") {
      for (const char* member : {"file_data", "string_id_txt"}) {
        if (const auto span = outline->plain_string(member)) {
          spans.push_back(*span);
          (member[0] == 'f' ? upload_text.data : upload_text.ids) = *span;
        }
      }
      std::sort(spans.begin(), spans.end());
    }
    std::size_t outside = text.size();
    for (const auto& [begin, end] : spans) outside -= end - begin;
    std::size_t cost = outline->tree_cost() - (text.size() - outside);
    if (spooled != nullptr && *spooled) cost -= outside;  // the text is mapped, not held
    if (endpoint == "search") cost += 4 * text.size();    // a query file, decoded and read
    // One reservation a request: what it holds already (its body) counts.
    if (cost > held.bytes()) reserve(held, cost - held.bytes());
    json body;
    try {
      std::string outside_text;
      std::size_t at = 0;
      for (const auto& [begin, end] : spans) {
        outside_text.append(text.substr(at, begin - at));
        at = end;
      }
      outside_text.append(text.substr(at));
      body = json::parse(spans.empty() ? std::string_view(text) : std::string_view(outside_text));
    } catch (const json::exception& e) {
      return {400, {{"detail", std::string("malformed JSON: ") + e.what()}}};
    }
    if (!body.is_object()) return {400, {{"detail", "the request body must be a JSON object"}}};
    if (endpoint == "upload") {
      upload_text.text = text;
      upload_text.spooled = spooled;
      upload_text.outline = outline;
      return {200, upload(*owner, body, upload_text)};
    }
    if (endpoint == "search") return {200, json(), search(*owner, body, held)};
    if (endpoint == "add_data_batch" && body.contains("string_ids")) {
      return {200, dense_batch(*owner, body, text, *outline)};
    }
    return {200, (this->*handler->second)(*owner, body)};
  } catch (const ApiError& e) {
    return {e.status, {{"detail", e.what()}, {"error_code", e.code}}};
  } catch (const StorageError& e) {
    // The store's trouble is not the client's fault: busy is worth another try, full is not.
    if (e.code == SQLITE_BUSY || e.code == SQLITE_LOCKED) {
      return {503, {{"detail", "the store is busy; try again"}, {"error_code", "BUSY"}}};
    }
    if (e.code == SQLITE_FULL) {
      return {507, {{"detail", "the service's disk is full"}, {"error_code", "STORAGE_FULL"}}};
    }
    return {500, {{"detail", e.what()}, {"error_code", "STORAGE_ERROR"}}};
  } catch (const std::exception& e) {
    return {400, {{"detail", e.what()}}};
  }
}

std::optional<std::string> LocalService::owner_in(std::string_view text,
                                                  const JsonOutline& outline) const {
  const auto span = outline.member("user_api_key");
  if (!span || text[span->first] != '"') return std::nullopt;
  const json key =
      json::parse(text.substr(span->first, span->second - span->first), nullptr, false);
  if (!key.is_string()) return std::nullopt;
  std::string owner = owner_of(key.get<std::string>());
  if (users_.count(owner) == 0) return std::nullopt;
  return owner;
}

}  // namespace orvix_local
