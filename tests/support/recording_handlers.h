#pragma once
// Stands in for the command handlers in language tests: every call is recorded as one text.

#include <string>
#include <vector>

namespace testing_support {

std::vector<std::string>& recorded_calls();
// What the recorded handlers return.
bool& recorded_result();

}  // namespace testing_support
