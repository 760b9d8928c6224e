#include "server/shard_texts.h"

#include "server/limits.h"

namespace orvix_local {

std::shared_ptr<std::string> ShardTexts::take() {
  std::unique_ptr<std::string> text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!kept_.empty()) {
      text = std::move(kept_.back());
      kept_.pop_back();
    }
  }
  if (!text) text = std::make_unique<std::string>();
  text->clear();
  return {text.release(), [this](std::string* given) { give_back(given); }};
}

void ShardTexts::release() {
  std::vector<std::unique_ptr<std::string>> kept;
  std::lock_guard<std::mutex> lock(mutex_);
  kept.swap(kept_);
}

void ShardTexts::give_back(std::string* text) {
  std::unique_ptr<std::string> owned(text);
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.size() < kKeptShardTexts) kept_.push_back(std::move(owned));
}

}  // namespace orvix_local
