#pragma once
// UTF-8 validity of statement words, as the JSON bodies they end up in require it.

#include <string_view>

// True for well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool valid_utf8(std::string_view text);
