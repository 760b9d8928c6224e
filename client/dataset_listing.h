#pragma once
// The service's listing of a project's datasets, and the shape text it gives each.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "client/session.h"

namespace rest_client {

// The number of vectors in a dataset shape text "(count, dimension)".
int extractFirstElement(const std::string& shape);

// The listing's entries named `dataset` (objects). A failed fetch or an answer without a
// listing is told and gives none.
std::vector<nlohmann::json> listed_datasets(Session& session, const std::string& project,
                                            const std::string& dataset);

// The dataset's vector count as the listing gives it, read without a word: nullopt when it
// cannot be read. Like a job's status, it does not pass the rate limiter.
std::optional<std::uint64_t> quiet_vector_count(Session& session, const std::string& project,
                                                const std::string& dataset);

}  // namespace rest_client
