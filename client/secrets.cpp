#include "client/secrets.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <streambuf>
#include <vector>

namespace rest_client {
namespace {

// Never destroyed: the output filter still reads it when the streams are flushed at exit.
struct Registry {
  std::mutex mutex;
  std::vector<std::string> list;
};

Registry& registry() {
  static Registry* const kept = new Registry;
  return *kept;
}

// Passes text to another buffer a line (or a flush) at a time, with secrets hidden.
class HidingBuffer : public std::streambuf {
 public:
  explicit HidingBuffer(std::streambuf* target) : target_(target) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (c == '\n') emit();
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.find('\n') != std::string::npos) emit();
    return count;
  }
  int sync() override {
    emit();
    return target_->pubsync();
  }

 private:
  void emit() {
    const std::string shown = hide_secrets(std::move(pending_));
    pending_.clear();
    target_->sputn(shown.data(), static_cast<std::streamsize>(shown.size()));
  }

  std::streambuf* target_;
  std::string pending_;
};

}  // namespace

namespace {

// The text as the inside of a JSON string: escaped, with or without \u escapes for non-ASCII.
std::string escaped(const std::string& text, bool ascii) {
  try {
    const std::string quoted = nlohmann::json(text).dump(-1, ' ', ascii);
    return quoted.substr(1, quoted.size() - 2);
  } catch (const nlohmann::json::exception&) {
    return text;  // not UTF-8: no JSON text holds it
  }
}

}  // namespace

void add_secret(const std::string& secret) {
  if (secret.empty()) return;
  std::vector<std::string> forms = {secret};
  for (const bool ascii : {false, true}) {
    const std::string once = escaped(secret, ascii);
    forms.push_back(once);
    forms.push_back(escaped(once, ascii));
  }
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& list = registry().list;
  for (const auto& form : forms) {
    if (std::find(list.begin(), list.end(), form) == list.end()) list.push_back(form);
  }
  // The longest first, so that a form holding another is hidden whole.
  std::sort(list.begin(), list.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

bool holds_secret(const std::string& text) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (const auto& secret : registry().list) {
    if (text.find(secret) != std::string::npos) return true;
  }
  return false;
}

std::string hide_secrets(std::string text) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (const auto& secret : registry().list) {
    for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
      text.replace(at, secret.size(), kHiddenSecret);
      at += std::char_traits<char>::length(kHiddenSecret);
    }
  }
  return text;
}

void hide_secrets_in_output(std::ostream* also) {
  // Never destroyed: the streams are flushed at exit, after static objects are gone.
  static HidingBuffer* const out = new HidingBuffer(std::cout.rdbuf());
  static HidingBuffer* const err = new HidingBuffer(std::cerr.rdbuf());
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  if (also == nullptr) return;
  // Lives as long, too; held here so that it stays reachable after the stream that uses it.
  static auto* const others = new std::vector<HidingBuffer*>;
  others->push_back(new HidingBuffer(also->rdbuf()));
  also->rdbuf(others->back());
}

}  // namespace rest_client
