#include "client/console.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "client/secrets.h"

namespace rest_client {

namespace {

std::string escaped_and_cut(const std::string& text) {
  std::string shown;
  const std::size_t kept = std::min(text.size(), kLongestPrintedText);
  shown.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  if (kept < text.size()) {
    shown += "... [" + std::to_string(text.size() - kept) + " more bytes not shown]";
  }
  return shown;
}

}  // namespace

std::string printable(std::string text) {
  // Keys are hidden before the text is cut, so that no cut leaves part of one showing.
  if (text.size() > kLongestPrintedText) text = hide_secrets(text);
  return escaped_and_cut(text);
}

std::string service_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  // Each search is one memchr over the text; a break's position is looked for again only once
  // it has been passed.
  std::size_t newline = text.find('\n'), carriage = text.find('\r');
  for (std::size_t at = 0;;) {
    const std::size_t line_break = std::min(newline, carriage);
    if (line_break == std::string_view::npos) {
      shown.append(text.substr(at));
      return shown;
    }
    shown.append(text.substr(at, line_break - at));
    if (line_break == newline) {
      shown += "\\n";
      newline = text.find('\n', line_break + 1);
    } else {
      shown += "\\r";
      carriage = text.find('\r', line_break + 1);
    }
    at = line_break + 1;
  }
}

namespace {

// The statement's record, when one is kept; the shell writes console lines from one thread.
ErrorLineRecord* current_record = nullptr;

}  // namespace

ErrorLineRecord::ErrorLineRecord() : outer_(current_record) {
  current_record = this;
}

ErrorLineRecord::~ErrorLineRecord() {
  current_record = outer_;
}

void ErrorLineRecord::note(const std::string& text) {
  if (current_record != nullptr && !current_record->first_) current_record->first_ = text;
}

void print_success(std::string message) {
  std::cout << green() << "[SUCCESS] " << printable(std::move(message)) << reset() << std::endl;
}

void print_warning(std::string message) {
  std::cout << yellow() << "[WARNING]" << printable(std::move(message)) << reset() << std::endl;
}

void print_error(std::string message) {
  std::string shown = printable(std::move(message));
  ErrorLineRecord::note(shown);
  std::cout << red() << "[ERROR] " << shown << reset() << std::endl;
}

void print_info(std::string message) {
  std::cerr << "[INFO] " << printable(std::move(message)) << std::endl;
}

void print_border() {
  std::cout << "================================" << std::endl;
}

}  // namespace rest_client
