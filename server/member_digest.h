#pragma once
// The SHA-256 of a JSON body's string member, taken while the body goes by (a BodyReader): the
// first member of the name whose value holds no escapes, where its characters lie and their
// digest. It reads no structure beyond the member's own name, colon and quotes, so a handler
// uses the digest only when the member it reads lies at the same place.

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "server/body_follower.h"

namespace orvix_local {

class MemberDigest : public BodyReader {
 public:
  using Span = std::pair<std::size_t, std::size_t>;
  explicit MemberDigest(std::string name);

  void take(std::string_view bytes) override;
  // The characters between the value's quotes and their digest in lower-case hex, once the
  // closing quote went by.
  const std::optional<std::pair<Span, std::string>>& found() const { return found_; }

 private:
  enum class State { kName, kColon, kQuote, kValue, kOver };
  struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };

  std::string pattern_;      // the name in quotes
  std::size_t matched_ = 0;  // of it, at the end of the bytes so far
  State state_ = State::kName;
  std::size_t offset_ = 0;  // of the next byte in the body
  std::size_t begin_ = 0;   // of the value's characters
  std::unique_ptr<EVP_MD_CTX, FreeContext> context_;
  std::optional<std::pair<Span, std::string>> found_;
};

}  // namespace orvix_local
