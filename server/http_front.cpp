#include "server/http_front.h"

#include <optional>

#include "server/job_inputs.h"
#include "server/json_outline.h"
#include "server/limits.h"
#include "server/request_fields.h"

namespace orvix_local {
namespace {

BodyRule body_rule(const std::string& path, const ServiceLimits& limits) {
  // An upload's body goes to a file as it arrives: it holds no memory, and its job takes it.
  // Its data is hashed meanwhile, so that the answer, which carries the digest, does not wait
  // for another pass over some hundreds of megabytes.
  if (path == "/api/upload") {
    return {limits.max_upload_body, "--max-body-mb", true,
            [depth = limits.max_depth] { return request_outline(depth, true); }};
  }
  if (path.rfind("/api/", 0) == 0) return {limits.max_request_body, "--max-request-mb"};
  return {kOtherBody, "a path outside /api"};
}

HttpAnswer json_answer(int status, const json& body) {
  return {status, answer_text(body)};
}

bool is_endpoint_name(const std::string& name) {
  return !name.empty() &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos;
}

HttpAnswer route(LocalService& service, HttpRequest& request) {
  if (request.path == "/bk/validate-api-key" && request.method == "GET") {
    const std::string* key = request.header("x-api-key");
    const auto identity = service.validate_key(key ? *key : std::string());
    if (!identity) return json_answer(401, {{"detail", "Invalid API key"}});
    return json_answer(200, *identity);
  }
  const std::string name = request.path.substr(std::min<std::size_t>(5, request.path.size()));
  if (request.method == "POST" && request.path.rfind("/api/", 0) == 0 && is_endpoint_name(name)) {
    const bool large = request.body.size() > kTrimAfterBytes;
    HttpAnswer result;
    {
      std::optional<MappedInput> mapped;
      // A followed body's handler reads only the few pages its outline points it to.
      if (request.spooled) mapped.emplace(request.spooled.path(), !request.spooled.followed());
      auto [status, answer] =
          service.respond(name, mapped ? mapped->bytes() : std::string_view(request.body),
                          request.reservation, &request.spooled);
      result = {status, std::move(answer)};
    }
    if (large) std::string().swap(request.body);
    return result;
  }
  return json_answer(404, {{"detail", "no such path: " + request.method + " " + request.path}});
}

}  // namespace

std::unique_ptr<HttpServer> http_front(LocalService& service, HttpLimits limits) {
  if (limits.spool_dir.empty()) limits.spool_dir = service.spool_dir();
  return std::make_unique<HttpServer>(
      limits, service.budget(),
      [&service](const std::string& path) { return body_rule(path, service.limits()); },
      [&service](HttpRequest& request) { return route(service, request); });
}

}  // namespace orvix_local
