#include "server/http_front.h"

#include <malloc.h>

#include <cstdio>

namespace orvix_local {
namespace {

std::size_t body_limit(const std::string& path, const ServiceLimits& limits) {
  return path == "/api/upload" ? limits.max_upload_body : limits.max_request_body;
}

void answer(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                       "application/json");
}

json too_large(const std::string& path, std::size_t limit) {
  return {{"detail", over_limit("the request body", limit + 1, limit,
                                path == "/api/upload" ? "--max-body-mb" : "--max-request-mb")},
          {"error_code", "LIMIT_EXCEEDED"}};
}

}  // namespace

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

void mount(httplib::Server& server, LocalService& service, const HttpSettings& settings) {
  const std::size_t workers = settings.workers;
  server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  server.set_read_timeout(settings.read_timeout_seconds);
  server.set_write_timeout(settings.write_timeout_seconds);
  server.set_keep_alive_timeout(5);
  server.set_tcp_nodelay(true);  // answers go out at once, not after the client's delayed ack
  // The port can be bound again at once after a stop, whatever connections are still closing
  // (and, unlike the library's default SO_REUSEPORT, by nobody else while this one listens).
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(service.limits().max_upload_body);

  // The declared length is checked before anything waits for the body.
  server.set_pre_routing_handler(
      [&service](const httplib::Request& request, httplib::Response& response) {
        if (!request.has_header("Content-Length"))
          return httplib::Server::HandlerResponse::Unhandled;
        const std::string length = request.get_header_value("Content-Length");
        if (length.empty() || length.size() > 19 ||
            length.find_first_not_of("0123456789") != std::string::npos) {
          response.set_header("Connection", "close");
          answer(response, 400, {{"detail", "Content-Length must be a number of bytes"}});
          return httplib::Server::HandlerResponse::Handled;
        }
        const std::size_t limit = body_limit(request.path, service.limits());
        if (std::stoull(length) > limit) {
          response.set_header("Connection", "close");
          answer(response, 413, too_large(request.path, limit));
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, 500, {{"detail", "internal error"}});
      });

  server.Get("/bk/validate-api-key",
             [&service](const httplib::Request& request, httplib::Response& response) {
               const auto identity = service.validate_key(request.get_header_value("X-API-Key"));
               if (!identity) {
                 answer(response, 401, {{"detail", "Invalid API key"}});
                 return;
               }
               answer(response, 200, *identity);
             });
  server.Post(R"(/api/([a-z_]+))",
              [&service](const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader) {
                const std::size_t limit = body_limit(request.path, service.limits());
                std::string body;
                if (request.has_header("Content-Length")) {
                  body.reserve(std::min<std::size_t>(
                      std::stoull(request.get_header_value("Content-Length")), limit));
                }
                bool over = false;
                reader([&body, &over, limit](const char* data, std::size_t size) {
                  if (body.size() + size > limit) {
                    over = true;
                    return false;
                  }
                  body.append(data, size);
                  return true;
                });
                if (over) {
                  response.set_header("Connection", "close");
                  answer(response, 413, too_large(request.path, limit));
                  return;
                }
                const bool large = body.size() > (16u << 20);
                auto [status, result] = service.call(request.matches[1], std::move(body));
                answer(response, status, result);
                if (large) malloc_trim(0);
              });
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::fprintf(stderr, "%s %s %d %zu\n", loggable(request.method).c_str(),
                 loggable(request.path).c_str(), response.status, response.body.size());
  });
}

}  // namespace orvix_local
