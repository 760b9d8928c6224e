#include "server/member_digest.h"

#include <cstring>

#include "server/codec.h"

namespace orvix_local {
namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

MemberDigest::MemberDigest(std::string name) : pattern_('"' + std::move(name) + '"') {}

void MemberDigest::take(std::string_view bytes) {
  const char* const data = bytes.data();
  std::size_t at = 0;
  while (at < bytes.size() && state_ != State::kOver) {
    const char c = data[at];
    switch (state_) {
      case State::kName:
        // The name holds no quote, so a match can only begin at one: past a mismatch, the byte
        // that broke it is looked at again as a possible beginning.
        if (matched_ == 0) {
          const void* quote = std::memchr(data + at, '"', bytes.size() - at);
          if (quote == nullptr) {
            at = bytes.size();
            break;
          }
          at = static_cast<std::size_t>(static_cast<const char*>(quote) - data);
        }
        if (data[at] == pattern_[matched_]) {
          ++at;
          if (++matched_ == pattern_.size()) {
            matched_ = 0;
            state_ = State::kColon;
          }
        } else {
          matched_ = 0;
        }
        break;
      case State::kColon:
      case State::kQuote:
        if (blank(c)) {
          ++at;
        } else if (c == (state_ == State::kColon ? ':' : '"')) {
          ++at;
          if (state_ == State::kColon) {
            state_ = State::kQuote;
          } else {
            context_.reset(EVP_MD_CTX_new());
            if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
              state_ = State::kOver;
              break;
            }
            begin_ = offset_ + at;
            state_ = State::kValue;
          }
        } else {
          state_ = State::kName;  // not this member: the byte may begin the name again
        }
        break;
      case State::kValue: {
        const std::size_t left = bytes.size() - at;
        const void* quote = std::memchr(data + at, '"', left);
        const std::size_t end =
            quote ? static_cast<std::size_t>(static_cast<const char*>(quote) - data) : bytes.size();
        if (std::memchr(data + at, '\\', end - at) != nullptr ||
            EVP_DigestUpdate(context_.get(), data + at, end - at) != 1) {
          state_ = State::kOver;  // an escape: the handler reads this value itself
          break;
        }
        at = end;
        if (quote != nullptr) {
          unsigned char digest[EVP_MAX_MD_SIZE];
          unsigned int size = 0;
          if (EVP_DigestFinal_ex(context_.get(), digest, &size) == 1) {
            found_.emplace(Span{begin_, offset_ + end}, lower_hex(digest, size));
          }
          state_ = State::kOver;
        }
        break;
      }
      case State::kOver:
        break;
    }
  }
  offset_ += bytes.size();
}

}  // namespace orvix_local
