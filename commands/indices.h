#pragma once

#include <string>

#include "client/dataset_listing.h"

namespace rest_client {

// Poll interval of the attach job in milliseconds, chosen from the number of vectors.
int attach_wait_time_ms(long long vector_count);

}  // namespace rest_client
