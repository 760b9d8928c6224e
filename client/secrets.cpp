#include "client/secrets.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string_view>
#include <tuple>
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

// The code points of UTF-8 text with the bytes that spell each; a byte that starts no character
// is a character of its own.
std::vector<std::pair<char32_t, std::string>> characters(const std::string& text) {
  std::vector<std::pair<char32_t, std::string>> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80         ? 1
                               : (c >> 5) == 6  ? 2
                               : (c >> 4) == 14 ? 3
                               : (c >> 3) == 30 ? 4
                                                : 1;
    if (i + length > text.size()) {
      out.push_back({c, text.substr(i, 1)});
      ++i;
      continue;
    }
    char32_t point = length == 1 ? c : c & (0xff >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (text[i + k] & 0x3f);
    out.push_back({point, text.substr(i, length)});
    i += length;
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length of a \uXXXX escape of `unit` at `at` (after its backslashes), in either case.
std::size_t unit_escape(std::string_view text, std::size_t at, unsigned unit) {
  if (at + 5 > text.size() || text[at] != 'u') return 0;
  unsigned value = 0;
  for (std::size_t k = 1; k <= 4; ++k) {
    const int digit = hex_value(text[at + k]);
    if (digit < 0) return 0;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value == unit ? 5 : 0;
}

// The lengths of the spellings of one character of a secret at `at`: as itself, and in a JSON
// escape (\u in either case, a surrogate pair beyond the first plane, \/ for a slash, the short
// escapes), written once or twice escaped. A backslash may be there both as itself and escaped.
std::vector<std::size_t> character_at(std::string_view text, std::size_t at, char32_t point,
                                      const std::string& bytes) {
  std::vector<std::size_t> lengths;
  if (text.substr(at, bytes.size()) == bytes) lengths.push_back(bytes.size());
  for (const std::size_t slashes : {1, 2}) {
    std::size_t i = at;
    if (text.substr(i, slashes) != std::string_view("\\\\", slashes)) continue;
    i += slashes;
    if (i < text.size() && point < 0x80) {
      static constexpr std::pair<char, char> kShort[] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},
                                                         {'\b', 'b'}, {'\f', 'f'},  {'\n', 'n'},
                                                         {'\r', 'r'}, {'\t', 't'}};
      for (const auto& [character, letter] : kShort) {
        if (point == static_cast<char32_t>(character) && text[i] == letter) {
          lengths.push_back(i + 1 - at);
        }
      }
    }
    if (point < 0x10000) {
      if (const std::size_t n = unit_escape(text, i, point)) lengths.push_back(i + n - at);
      continue;
    }
    const unsigned high = 0xd800 + ((point - 0x10000) >> 10);
    const unsigned low = 0xdc00 + ((point - 0x10000) & 0x3ff);
    const std::size_t first = unit_escape(text, i, high);
    if (first == 0 || text.substr(i + first, slashes) != std::string_view("\\\\", slashes)) {
      continue;
    }
    if (const std::size_t second = unit_escape(text, i + first + slashes, low)) {
      lengths.push_back(i + first + slashes + second - at);
    }
  }
  return lengths;
}

// The length of a spelling of the secret that begins at `at`; 0 when none does. Each character
// has at most a few spellings; a later character that fails sends the search back to the last
// one with another left to try.
std::size_t spelled_at(std::string_view text, std::size_t at,
                       const std::vector<std::pair<char32_t, std::string>>& secret) {
  struct Tried {
    std::vector<std::size_t> lengths;
    std::size_t chosen = 0, from = 0;
  };
  std::vector<Tried> path;
  std::size_t i = at;
  while (path.size() < secret.size()) {
    const auto& [point, bytes] = secret[path.size()];
    Tried here{character_at(text, i, point, bytes), 0, i};
    while (here.lengths.empty()) {
      // Back to the last character with another spelling.
      while (!path.empty() && path.back().chosen + 1 >= path.back().lengths.size()) {
        path.pop_back();
      }
      if (path.empty()) return 0;
      Tried& last = path.back();
      ++last.chosen;
      i = last.from + last.lengths[last.chosen];
      if (path.size() == secret.size()) return i - at;
      const auto& [next_point, next_bytes] = secret[path.size()];
      here = Tried{character_at(text, i, next_point, next_bytes), 0, i};
    }
    i += here.lengths[0];
    path.push_back(std::move(here));
  }
  return i - at;
}

}  // namespace

void add_secret(const std::string& secret) {
  if (secret.empty()) return;
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& list = registry().list;
  if (std::find(list.begin(), list.end(), secret) == list.end()) list.push_back(secret);
  // The longest first, so that a secret holding another is hidden whole.
  std::sort(list.begin(), list.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

namespace {

// Where the first spelling of any secret lies, from `from` on: its start and length.
std::pair<std::size_t, std::size_t> find_secret(std::string_view text, std::size_t from,
                                                const std::vector<std::string>& secrets) {
  std::vector<std::vector<std::pair<char32_t, std::string>>> spelt;
  for (const auto& secret : secrets) spelt.push_back(characters(secret));
  for (std::size_t at = from; at < text.size(); ++at) {
    for (std::size_t s = 0; s < secrets.size(); ++s) {
      if (text[at] != secrets[s][0] && text[at] != '\\') continue;
      if (const std::size_t n = spelled_at(text, at, spelt[s])) return {at, n};
    }
  }
  return {std::string_view::npos, 0};
}

}  // namespace

bool holds_secret(const std::string& text) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return find_secret(text, 0, registry().list).first != std::string_view::npos;
}

std::string hide_secrets(std::string text) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  const auto& secrets = registry().list;
  if (secrets.empty()) return text;
  for (auto [at, length] = find_secret(text, 0, secrets); at != std::string_view::npos;
       std::tie(at, length) =
           find_secret(text, at + std::char_traits<char>::length(kHiddenSecret), secrets)) {
    text.replace(at, length, kHiddenSecret);
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
