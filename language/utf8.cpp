#include "language/utf8.h"

bool valid_utf8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      ++at;
      continue;
    }
    std::size_t length;
    unsigned low = 0x80, high = 0xbf;  // the range of the second byte
    if (byte >= 0xc2 && byte <= 0xdf) {
      length = 2;
    } else if (byte >= 0xe0 && byte <= 0xef) {
      length = 3;
      if (byte == 0xe0) low = 0xa0;   // no overlong forms
      if (byte == 0xed) high = 0x9f;  // no surrogates
    } else if (byte >= 0xf0 && byte <= 0xf4) {
      length = 4;
      if (byte == 0xf0) low = 0x90;
      if (byte == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (at + length > text.size()) return false;
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xbf)) return false;
    }
    at += length;
  }
  return true;
}
