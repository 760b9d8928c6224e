#include "client/dataset_listing.h"

#include "client/console.h"
#include "client/request.h"

namespace rest_client {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

int extractFirstElement(const std::string& shape) {
  // Whole-text match of \s*\(\s*(\d+)\s*,\s*\d+\s*\)\s* without a regular-expression engine.
  std::size_t i = 0;
  const std::size_t n = shape.size();
  auto skip_spaces = [&] {
    while (i < n && is_space(shape[i])) ++i;
  };
  auto expect = [&](char c) {
    if (i < n && shape[i] == c) {
      ++i;
      return true;
    }
    return false;
  };
  auto digits = [&] {
    const std::size_t begin = i;
    while (i < n && is_digit(shape[i])) ++i;
    return shape.substr(begin, i - begin);
  };
  skip_spaces();
  bool ok = expect('(');
  std::string first;
  if (ok) {
    skip_spaces();
    first = digits();
    skip_spaces();
    ok = !first.empty() && expect(',');
  }
  if (ok) {
    skip_spaces();
    ok = !digits().empty();
    skip_spaces();
    ok = ok && expect(')');
    skip_spaces();
    ok = ok && i == n;
  }
  if (!ok) throw std::invalid_argument("Invalid dimension format: " + service_text(shape));
  return std::stoi(first);
}

std::vector<nlohmann::json> listed_datasets(Session& session, const std::string& project,
                                            const std::string& dataset) {
  json body = request_body(session);
  body["project_name"] = project;
  const HttpResponse response = post_limited(session, "/fetch_datasets", body);
  if (!answered(response, "Datasets fetch failed! Status: ")) return {};
  const json answer = parse_json(response.text);
  if (!has_array_member(answer, "datasets")) {
    print_error("Server returned incorrect response format");
    return {};
  }
  std::vector<json> found;
  for (const json& element : answer.at("datasets")) {
    if (element.is_object() && element.contains("name") && element.at("name") == dataset) {
      found.push_back(element);
    }
  }
  return found;
}

std::optional<std::uint64_t> quiet_vector_count(Session& session, const std::string& project,
                                                const std::string& dataset) {
  json body = request_body(session);
  body["project_name"] = project;
  try {
    const HttpResponse response = post_unlimited(session, "/fetch_datasets", body);
    if (response.status != 200) return std::nullopt;
    const json answer = parse_json(response.text);
    if (!has_array_member(answer, "datasets")) return std::nullopt;
    std::optional<std::uint64_t> count;
    for (const json& element : answer.at("datasets")) {
      if (!element.is_object() || !element.contains("name") || element.at("name") != dataset) {
        continue;
      }
      if (count) return std::nullopt;  // two of that name: no telling which
      const json shape = element.value("dimension", json());
      if (!shape.is_string()) return std::nullopt;
      count = static_cast<std::uint64_t>(extractFirstElement(shape.get<std::string>()));
    }
    return count;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace rest_client
