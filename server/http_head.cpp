#include "server/http_head.h"

#include <nlohmann/json.hpp>
#include <vector>

namespace orvix_local {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return out;
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

}  // namespace

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 507:
      return "Insufficient Storage";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string decoded_path(std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  std::string out;
  out.reserve(path.size());
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && hex(path[i + 1]) >= 0 && hex(path[i + 2]) >= 0) {
      out += static_cast<char>(hex(path[i + 1]) * 16 + hex(path[i + 2]));
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

Head parse_head(std::string_view text) {
  Head head;
  auto refuse = [&head](int status, std::string why) {
    head.refusal = status;
    head.why = std::move(why);
    return std::move(head);
  };
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    const auto end = text.find('\n', at);
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    at = end == std::string_view::npos ? text.size() : end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return refuse(400, "the request has no request line");
  const std::string_view first = lines[0];
  const auto space1 = first.find(' ');
  const auto space2 = first.find(' ', space1 == std::string_view::npos ? 0 : space1 + 1);
  if (space1 == std::string_view::npos || space2 == std::string_view::npos ||
      first.find(' ', space2 + 1) != std::string_view::npos) {
    return refuse(400, "the request line is not METHOD TARGET VERSION");
  }
  const std::string_view method = first.substr(0, space1);
  std::string_view target = first.substr(space1 + 1, space2 - space1 - 1);
  const std::string_view version = first.substr(space2 + 1);
  // The absolute form (what a proxy is sent) names the same resource as its path.
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (lower(target.substr(0, scheme.size())) == scheme) {
      const auto slash = target.find('/', scheme.size());
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
  }
  if (!is_token(method) || target.empty() || target.front() != '/') {
    return refuse(400, "the request line is not METHOD TARGET VERSION");
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return refuse(505, "only HTTP/1.0 and HTTP/1.1 are served");
  }
  head.request.method = std::string(method);
  head.request.path = decoded_path(target);
  head.keep_alive = version == "HTTP/1.1";
  if (lines.size() - 1 > kMaxHeaders) {
    return refuse(431, "the request has more than " + std::to_string(kMaxHeaders) + " headers");
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) {
      return refuse(400, "a header line is not NAME: VALUE");
    }
    head.request.headers.emplace_back(lower(line.substr(0, colon)),
                                      std::string(trimmed(line.substr(colon + 1))));
  }
  for (const auto& [name, value] : head.request.headers) {
    if (name == "content-length") {
      if (value.empty() || value.size() > 18 ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        return refuse(400, "Content-Length must be a number of bytes");
      }
      const std::size_t length = std::stoull(value);
      if (head.length && *head.length != length) {
        return refuse(400, "Content-Length is given twice with two values");
      }
      head.length = length;
    } else if (name == "transfer-encoding") {
      if (lower(value) != "chunked")
        return refuse(501, "only the chunked transfer coding is served");
      head.chunked = true;
    } else if (name == "connection") {
      const std::string tokens = lower(value);
      if (tokens.find("close") != std::string::npos) head.keep_alive = false;
      if (tokens.find("keep-alive") != std::string::npos && version == "HTTP/1.0") {
        head.keep_alive = true;
      }
    } else if (name == "expect") {
      head.expects_continue = lower(value) == "100-continue";
    }
  }
  if (head.chunked && head.length) {
    return refuse(400, "a request may not have both Content-Length and Transfer-Encoding");
  }
  return head;
}

std::string loggable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || byte == '\\') {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string detail_json(const std::string& text) {
  return nlohmann::json{{"detail", text}}.dump(-1, ' ', false,
                                               nlohmann::json::error_handler_t::replace);
}

const std::string* HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return &value;
  }
  return nullptr;
}

}  // namespace orvix_local
