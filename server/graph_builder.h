#pragma once
// Graph work of the service's own, on a thread of its own so that it never holds up jobs or
// writes: building an attached index's graph (then settling the attach job), reading graphs back
// from disk after a restart (or building them again when they no longer cover the rows),
// building again a graph that removed rows crowd, and keeping changed graphs on disk while the
// service is idle.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/live_dataset.h"

namespace orvix_local {

class GraphBuilder {
 public:
  struct Hooks {
    // Loads the dataset's rows, once.
    std::function<void(LiveDataset&)> load;
    // Ends an attach job: finished, or failed with a reason.
    std::function<void(const std::string& job_id, bool finished, const std::string& text)> settle;
    // True while the service has no job to run: changed graphs are kept on disk then.
    std::function<bool()> idle;
    // The datasets in memory, whose graphs may have changed.
    std::function<std::vector<std::shared_ptr<LiveDataset>>()> datasets;
  };
  struct Work {
    std::shared_ptr<LiveDataset> dataset;
    IndexInfo index;
    std::string job_id;       // the attach job to settle, when there is one
    bool read_first = false;  // a graph kept on disk is read back rather than built
  };

  GraphBuilder(std::string directory, Hooks hooks);
  ~GraphBuilder();
  GraphBuilder(const GraphBuilder&) = delete;
  GraphBuilder& operator=(const GraphBuilder&) = delete;

  const std::string& directory() const { return directory_; }
  void add(Work work);
  // Ends the thread: work under way stops, and its attach job is failed at the next start.
  void stop();

 private:
  void run();
  void keep_changed_graphs();

  std::string directory_;
  Hooks hooks_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Work> queue_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace orvix_local
