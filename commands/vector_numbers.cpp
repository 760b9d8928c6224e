#include "commands/vector_numbers.h"

#include <stdexcept>

namespace rest_client {

std::vector<float> to_dense_vector(const std::vector<std::string>& texts) {
  std::vector<float> values;
  values.reserve(texts.size());
  for (const auto& text : texts) {
    try {
      values.push_back(std::stof(text));
    } catch (const std::exception&) {
      throw std::invalid_argument("Elements inside the vector should be a number");
    }
  }
  return values;
}

SparseVector to_sparse_vector(const std::string& sparse_text) {
  const nlohmann::json object = nlohmann::json::parse(sparse_text);
  SparseVector pairs;
  try {
    for (const auto& [name, value] : object.items()) {
      const auto index = static_cast<std::uint32_t>(std::stoi(name));
      pairs.emplace_back(index, std::stof(value.get<std::string>()));
    }
  } catch (const std::exception&) {
    throw std::invalid_argument("Invalid values for vector");
  }
  return pairs;
}

nlohmann::json dense_json(const std::vector<float>& values) {
  nlohmann::json array = nlohmann::json::array();
  array.get_ref<nlohmann::json::array_t&>().reserve(values.size());
  for (float value : values) array.push_back(static_cast<double>(value));
  return array;
}

nlohmann::json sparse_json(const SparseVector& pairs) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& [index, value] : pairs) {
    array.push_back(nlohmann::json::array({index, static_cast<double>(value)}));
  }
  return array;
}

}  // namespace rest_client
