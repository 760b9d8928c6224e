#pragma once
// Decoding what clients send: base64 text and gzip members.

#include <string>

namespace orvix_local {

// Throws std::runtime_error for text that is not base64.
std::string base64_decode(const std::string& text);
// Every member of a gzip stream, concatenated; throws std::runtime_error for bad data.
std::string gunzip(const std::string& data);
std::string sha256_hex(const std::string& text);

}  // namespace orvix_local
