#pragma once
// A fast path for the JSON elements of an upload: checking them and writing them in the JSON
// library's compact form without building the library's tree.

#include <memory>
#include <string>
#include <string_view>

namespace rest_client {

// Each call parses one element; `text` must be followed in memory by 64 readable bytes.
// Whenever the answer is false, the JSON library decides instead: the fast path knows only
// documents it reads exactly as that library does.
class CompactJson {
 public:
  CompactJson();
  ~CompactJson();
  CompactJson(const CompactJson&) = delete;
  CompactJson& operator=(const CompactJson&) = delete;

  // Well-formed, and every non-integer number finite as a 32-bit float.
  bool check(std::string_view text);
  // Appends to `out` what nlohmann::json::parse(text).dump() gives: no blanks, object members in
  // name order (the last of a repeated name), numbers and strings as that library writes them.
  // On false `out` may hold part of the element.
  bool append(std::string_view text, std::string& out);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace rest_client
