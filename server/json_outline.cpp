#include "server/json_outline.h"

#include <algorithm>
#include <cstring>

#include "server/codec.h"

namespace orvix_local {
namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

JsonOutline::JsonOutline(int depth_limit, std::vector<std::string> names, std::string digested)
    : depth_limit_(depth_limit) {
  for (auto& name : names) {
    longest_ = std::max(longest_, name.size());
    named_.emplace_back().name = std::move(name);
  }
  if (!digested.empty()) digested_ = find(digested);
}

int JsonOutline::find(std::string_view name) const {
  for (std::size_t k = 0; k < named_.size(); ++k) {
    if (named_[k].name == name) return static_cast<int>(k);
  }
  return -1;
}

void JsonOutline::take(std::string_view bytes) {
  const char* const data = bytes.data();
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (!in_string_) {
      outside(data[i], offset_ + i);
      ++i;
      continue;
    }
    if (escaped_) {  // the byte after a backslash belongs to the string, whatever it is
      escaped_ = false;
      string_bytes(bytes.substr(i, 1));
      ++i;
      continue;
    }
    // Long strings (an upload's data) are crossed a memchr at a time. A quote ends the string
    // unless an odd run of backslashes comes before it.
    const void* quote = std::memchr(data + i, '"', bytes.size() - i);
    const std::size_t stop =
        quote ? static_cast<std::size_t>(static_cast<const char*>(quote) - data) : bytes.size();
    const std::string_view run = bytes.substr(i, stop - i);
    if (run.find('\\') != std::string_view::npos) value_escaped_ = true;
    string_bytes(run);
    const std::size_t last = run.find_last_not_of('\\');
    const std::size_t backslashes =
        last == std::string_view::npos ? run.size() : run.size() - 1 - last;
    i = stop;
    if (backslashes % 2 == 1) {
      escaped_ = true;  // the quote, or the next piece's first byte
    } else if (quote != nullptr) {
      in_string_ = false;
      string_closed(offset_ + i);
      ++i;
    }
  }
  offset_ += bytes.size();
}

void JsonOutline::outside(char c, std::size_t at) {
  switch (c) {
    case '"':
      ++strings_;
      in_string_ = true;
      break;
    case '[':
    case '{':
      ++containers_;
      if (++depth_ > depth_limit_ && !too_deep_) too_deep_ = element_;
      break;
    case ']':
    case '}':
      --depth_;
      break;
    case ',':
      ++values_;
      if (depth_ == 1) ++element_;
      break;
    case ':':
      ++members_;
      break;
    default:
      break;
  }
  switch (place_) {
    case Place::kStart:
      if (!blank(c)) place_ = c == '{' ? Place::kBeforeName : Place::kBroken;
      break;
    case Place::kBeforeName:
      if (blank(c) || c == ',') break;
      if (c == '}') {
        place_ = Place::kEnded;
      } else if (c == '"') {
        place_ = Place::kName;
        name_.clear();
        name_too_long_ = false;
      } else {
        place_ = Place::kBroken;
      }
      break;
    case Place::kAfterName:
      if (!blank(c)) place_ = c == ':' ? Place::kBeforeValue : Place::kBroken;
      break;
    case Place::kBeforeValue:
      if (!blank(c)) begin_value(c, at);
      break;
    case Place::kScalar:
      if (blank(c) || c == ',' || c == '}' || c == ']') {
        end_value(at);
        if (c == '}') place_ = Place::kEnded;
        if (c == ']') place_ = Place::kBroken;
      }
      break;
    case Place::kContainer:
      if ((c == ']' || c == '}') && depth_ == 1) end_value(at + 1);
      break;
    default:
      break;
  }
}

void JsonOutline::begin_value(char c, std::size_t at) {
  value_begin_ = at;
  value_escaped_ = false;
  if (c == '"') {
    place_ = Place::kString;
    if (current_ >= 0 && current_ == digested_ && named_[current_].count == 0) {
      context_.reset(EVP_MD_CTX_new());
      hashing_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
    }
  } else if (c == '[' || c == '{') {
    place_ = Place::kContainer;
  } else if (c == ',' || c == '}' || c == ']') {
    // An empty value, ended by the byte that follows it.
    end_value(at);
    if (c == '}') place_ = Place::kEnded;
    if (c == ']') place_ = Place::kBroken;
  } else {
    place_ = Place::kScalar;
  }
}

void JsonOutline::string_bytes(std::string_view bytes) {
  if (place_ == Place::kName && !name_too_long_) {
    name_.append(bytes.substr(0, longest_ + 1 - std::min(name_.size(), longest_ + 1)));
    name_too_long_ = name_.size() > longest_;
  } else if (hashing_ && EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
    hashing_ = false;
  }
}

void JsonOutline::string_closed(std::size_t at) {
  if (place_ == Place::kName) {
    current_ = name_too_long_ ? -1 : find(name_);
    place_ = Place::kAfterName;
  } else if (place_ == Place::kString) {
    if (hashing_) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int size = 0;
      if (!value_escaped_ && EVP_DigestFinal_ex(context_.get(), digest, &size) == 1) {
        digest_ = lower_hex(digest, size);
      }
      hashing_ = false;
      context_.reset();
    }
    end_value(at + 1);
  }
}

void JsonOutline::end_value(std::size_t end) {
  if (current_ >= 0) {
    Named& named = named_[current_];
    ++named.count;
    named.span = {value_begin_, end};
    named.string = place_ == Place::kString;
    named.escaped = value_escaped_;
  }
  current_ = -1;
  place_ = Place::kBeforeName;
}

std::size_t JsonOutline::tree_cost() const {
  // Each value is a 16-byte node in a container whose buffer grows by doubling; a container
  // also has its own allocation; an object member is a map node with its key; a string value
  // has its own allocation. A text ending inside a string is counted as far as that string.
  constexpr std::size_t kValue = 32, kContainer = 64, kMember = 96, kString = 48;
  if (in_string_) return offset_ + values_ * kValue;
  return offset_ + values_ * kValue + containers_ * kContainer + members_ * kMember +
         strings_ * kString;
}

std::optional<JsonOutline::Span> JsonOutline::member(std::string_view name) const {
  return member_at(find(name));
}

std::optional<JsonOutline::Span> JsonOutline::member_at(int k) const {
  // A text that stops after a member (or inside a last number) still tells where its members
  // lie; whether it is JSON at all is the parser's to say.
  if (k < 0 ||
      (place_ != Place::kBeforeName && place_ != Place::kEnded && place_ != Place::kScalar)) {
    return std::nullopt;
  }
  std::size_t count = named_[k].count;
  Span span = named_[k].span;
  if (place_ == Place::kScalar && current_ == k) {
    ++count;
    span = {value_begin_, offset_};
  }
  // Named twice: which one counts is the parser's to say.
  if (count != 1) return std::nullopt;
  return span;
}

std::optional<JsonOutline::Span> JsonOutline::plain_string(std::string_view name) const {
  return plain_string_at(find(name));
}

std::optional<JsonOutline::Span> JsonOutline::plain_string_at(int k) const {
  const auto span = member_at(k);
  if (!span || !named_[k].string || named_[k].escaped) return std::nullopt;
  return Span{span->first + 1, span->second - 1};
}

std::optional<std::string> JsonOutline::digest() const {
  if (!plain_string_at(digested_)) return std::nullopt;
  return digest_;
}

std::unique_ptr<JsonOutline> request_outline(int depth_limit, bool digest_data) {
  return std::make_unique<JsonOutline>(
      depth_limit, std::vector<std::string>{"user_api_key", "data", "file_data", "string_id_txt"},
      digest_data ? "file_data" : "");
}

}  // namespace orvix_local
