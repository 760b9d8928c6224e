#include "server/graph_builder.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include "server/graph.h"

namespace orvix_local {
namespace {

// How long the service must have been idle before changed graphs are written out.
constexpr std::chrono::seconds kKeepAfter{20};

// One line for the operator: what became of an index's graph, and how long it took.
void say(const IndexInfo& index, const char* what, std::chrono::steady_clock::time_point begun) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begun)
                      .count();
  std::fprintf(stderr, "orvix-local: the graph of index %lld %s in %lld ms\n",
               static_cast<long long>(index.id), what, static_cast<long long>(ms));
}

}  // namespace

GraphBuilder::GraphBuilder(std::string directory, Hooks hooks)
    : directory_(std::move(directory)), hooks_(std::move(hooks)) {
  ::mkdir(directory_.c_str(), 0700);
  thread_ = std::thread([this] { run(); });
}

GraphBuilder::~GraphBuilder() {
  stop();
}

void GraphBuilder::add(Work work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_all();
}

void GraphBuilder::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void GraphBuilder::keep_changed_graphs() {
  for (const auto& dataset : hooks_.datasets()) {
    std::vector<std::int64_t> ids;
    {
      std::lock_guard<std::mutex> lock(dataset->graphs_mutex);
      for (const auto& [id, slot] : dataset->graphs) {
        if (slot.ready) ids.push_back(id);
      }
    }
    for (const auto id : ids) {
      if (stopping_ || !hooks_.idle()) return;
      std::lock_guard<std::mutex> write(dataset->write_mutex);  // the graph and its rows agree
      try {
        save_graph(*dataset, id, directory_);
      } catch (const std::exception&) {
        // kept on a later pass; until then a restart builds it again
      }
    }
  }
}

void GraphBuilder::run() {
  for (;;) {
    Work work;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const bool woken =
          wake_.wait_for(lock, kKeepAfter, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      if (!woken) {
        lock.unlock();
        if (hooks_.idle()) keep_changed_graphs();
        continue;
      }
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    LiveDataset& dataset = *work.dataset;
    std::string failure;
    bool built = false;
    try {
      hooks_.load(dataset);
      const auto begun = std::chrono::steady_clock::now();
      if (work.read_first && load_graph(dataset, work.index, directory_)) {
        built = true;
        say(work.index, "read back", begun);
      } else {
        built = build_graph(dataset, work.index, stopping_);
        if (built) {
          say(work.index, "built", begun);
          std::lock_guard<std::mutex> write(dataset.write_mutex);
          save_graph(dataset, work.index.id, directory_);
        }
      }
    } catch (const std::exception& e) {
      failure = e.what();
      drop_graph(dataset, work.index.id);
    }
    if (work.job_id.empty()) continue;
    if (!failure.empty()) {
      hooks_.settle(work.job_id, false, failure);
    } else if (built) {
      hooks_.settle(work.job_id, true, "index '" + work.index.name + "' is ready");
    }
    // Stopped part way: the job stays in progress, and the next start fails it.
  }
}

}  // namespace orvix_local
