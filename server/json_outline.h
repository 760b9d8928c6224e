#pragma once
// What a request's answer must know of its JSON text before parsing it, learned in one pass that
// may take the text in pieces: how deep it nests, about what a tree of it would cost, where some
// top-level members lie, and the digest of one of them. A large upload's body is outlined by the
// thread that follows it as it arrives, so its handler reads none of its hundreds of megabytes.

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/body_follower.h"

namespace orvix_local {

class JsonOutline : public BodyReader {
 public:
  using Span = std::pair<std::size_t, std::size_t>;

  // `names`: the top-level members whose places are kept; `digested`, one of them (or empty),
  // whose value, when a string, is hashed with SHA-256 as it goes by.
  JsonOutline(int depth_limit, std::vector<std::string> names, std::string digested = "");

  void take(std::string_view bytes) override;

  // What the whole text says (every piece taken):
  // The 1-based number of the first element of a top-level array (or 1 for any other document)
  // nested deeper than the limit, counting the document itself; nullopt when none is. Brackets
  // inside strings do not count.
  std::optional<std::size_t> too_deep() const { return too_deep_; }
  // About the bytes the JSON library takes to hold the text as a tree, counted from its values,
  // containers, members and strings.
  std::size_t tree_cost() const;
  // Where a named member's value lies (its first byte to just past its last), when the text is
  // an object naming it once; nullopt otherwise.
  std::optional<Span> member(std::string_view name) const;
  // The characters between the quotes of a named member whose value is a string without escapes.
  std::optional<Span> plain_string(std::string_view name) const;
  // The lower-case hex SHA-256 of those characters, for the digested member.
  std::optional<std::string> digest() const;

 private:
  enum class Place {
    kStart,        // before the document
    kBeforeName,   // in the top-level object, where a member's name may begin
    kName,         // in a member's name
    kAfterName,    // before its colon
    kBeforeValue,  // before its value
    kScalar,       // in a number, true, false or null
    kString,       // in a string value
    kContainer,    // in an array or object value
    kEnded,        // past the top-level object
    kBroken,       // not an object whose members can be told apart
  };
  struct Named {
    std::string name;
    std::size_t count = 0;
    Span span;
    bool string = false, escaped = false;
  };
  struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };

  // The entry of a name given up front, or -1.
  int find(std::string_view name) const;
  // member() and plain_string() of an entry (nullopt for -1).
  std::optional<Span> member_at(int k) const;
  std::optional<Span> plain_string_at(int k) const;
  void outside(char c, std::size_t at);
  void string_bytes(std::string_view bytes);
  void string_closed(std::size_t at);
  void begin_value(char c, std::size_t at);
  void end_value(std::size_t end);

  int depth_limit_;
  std::vector<Named> named_;
  std::size_t longest_ = 0;  // of their names: a longer name is none of them
  int digested_ = -1;        // its entry in named_
  std::size_t offset_ = 0;   // of the next byte
  bool in_string_ = false, escaped_ = false;
  int depth_ = 0;
  std::size_t element_ = 1;
  std::optional<std::size_t> too_deep_;
  std::size_t values_ = 1, containers_ = 0, members_ = 0, strings_ = 0;
  // The member being read.
  Place place_ = Place::kStart;
  std::string name_;
  bool name_too_long_ = false;
  int current_ = -1;  // its entry in named_, or -1
  std::size_t value_begin_ = 0;
  bool value_escaped_ = false;
  // The digested value, while it goes by, and its digest.
  std::unique_ptr<EVP_MD_CTX, FreeContext> context_;
  bool hashing_ = false;
  std::optional<std::string> digest_;
};

// The outline an API request's handler reads: the key, a batch's data, an upload's texts and
// its data's digest.
std::unique_ptr<JsonOutline> request_outline(int depth_limit, bool digest_data);

}  // namespace orvix_local
