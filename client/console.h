#pragma once
// Tagged, coloured console lines used by every command handler.

#include <optional>
#include <string>
#include <string_view>

#include "client/colours.h"
#include "client/limits.h"

namespace rest_client {

// Tagged lines carry text from the service, so control characters other than newline and tab
// are shown escaped (\x1b), keys are hidden, and text beyond this many bytes is then cut with a
// note.
using limits::kLongestPrintedText;
std::string printable(std::string text);
// Text the service sent, made fit to sit inside one of the client's own lines: its line breaks
// are shown escaped (\n, \r), so that it cannot begin a line of its own.
std::string service_text(std::string_view text);

// While one lives, the first error line printed (its text, without tag or colour) is kept: the
// "error" of a statement's JSON record. The innermost one keeps it.
class ErrorLineRecord {
 public:
  ErrorLineRecord();
  ~ErrorLineRecord();
  ErrorLineRecord(const ErrorLineRecord&) = delete;
  ErrorLineRecord& operator=(const ErrorLineRecord&) = delete;
  const std::optional<std::string>& first() const { return first_; }
  // Called by every printer of error lines.
  static void note(const std::string& text);

 private:
  std::optional<std::string> first_;
  ErrorLineRecord* outer_;
};

void print_success(std::string message);
void print_warning(std::string message);
void print_error(std::string message);
void print_info(std::string message);
void print_border();

}  // namespace rest_client
