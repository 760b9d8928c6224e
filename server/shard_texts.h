#pragma once
// Decompressed shard texts, kept from one shard to the next. Memory already faulted in costs
// nothing to fill again, while fresh memory does: on a virtual machine, about as much as
// decompressing into it. A shard's records may point into its text, so a text comes back only
// when its last holder lets it go.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvix_local {

class ShardTexts {
 public:
  // An empty text, in the memory of one given back when there is one. The pool outlives it.
  std::shared_ptr<std::string> take();
  // Frees the texts kept, not those in use.
  void release();

 private:
  void give_back(std::string* text);

  std::mutex mutex_;
  std::vector<std::unique_ptr<std::string>> kept_;
};

}  // namespace orvix_local
