#pragma once
// Captures what the code under test writes to std::cout and std::cerr, and feeds std::cin.

#include <iostream>
#include <sstream>
#include <string>

#include "client/line_input.h"

namespace testing_support {

class CapturedOutput {
 public:
  explicit CapturedOutput(const std::string& input = "")
      : in_(input),
        old_out_(std::cout.rdbuf(out_.rdbuf())),
        old_err_(std::cerr.rdbuf(err_.rdbuf())),
        old_in_(std::cin.rdbuf(in_.rdbuf())) {
    rest_client::forget_read_ahead();
  }
  ~CapturedOutput() {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
    std::cin.rdbuf(old_in_);
    std::cin.clear();
    rest_client::forget_read_ahead();
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

 private:
  std::ostringstream out_;
  std::ostringstream err_;
  std::istringstream in_;
  std::streambuf* old_out_;
  std::streambuf* old_err_;
  std::streambuf* old_in_;
};

// Colour sequences as the console writes them.
inline std::string green(const std::string& s) {
  return "\033[32m" + s + "\033[0m\n";
}
inline std::string yellow(const std::string& s) {
  return "\033[33m" + s + "\033[0m\n";
}
inline std::string red(const std::string& s) {
  return "\033[31m" + s + "\033[0m\n";
}
inline std::string success(const std::string& s) {
  return green("[SUCCESS] " + s);
}
inline std::string error(const std::string& s) {
  return red("[ERROR] " + s);
}
inline std::string info(const std::string& s) {
  return "[INFO] " + s + "\n";
}
inline const std::string kBorder = "================================\n";

}  // namespace testing_support
