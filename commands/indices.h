#pragma once

#include <string>

namespace rest_client {

// The number of vectors in a dataset shape text "(count, dimension)".
int extractFirstElement(const std::string& shape);
// Poll interval of the attach job in milliseconds, chosen from the number of vectors.
int attach_wait_time_ms(long long vector_count);

}  // namespace rest_client
