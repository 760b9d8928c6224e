#pragma once

#include <string>

// Replaces $NAME, ${NAME}, ${NAME and $NAME} with the variable's value when it is set; unset
// names stay as written. Replacement values are not scanned again.
std::string expand_env_vars(const std::string& text);
