#pragma once
// Turning local data into the forms request bodies carry: base64, gzip, SHA-256, file contents.

#include <string>
#include <vector>

namespace rest_client {

std::string base64_encode(const std::string& bytes);
std::string base64_encode(const unsigned char* data, unsigned long length);
// Appends the base64 text of the bytes to `out` (no copy of the encoded text).
void base64_append(const unsigned char* data, std::size_t length, std::string& out);

// The JSON library's text of a finite double, as its dump writes it (the shortest digits that
// read back to the same value): written to `out`, which has room for kJsonNumberRoom bytes, or
// appended to a string.
inline constexpr std::size_t kJsonNumberRoom = 64;
char* write_json_number(double value, char* out);
void append_json_number(double value, std::string& out);

// One complete gzip member of the whole input (zlib, window bits 31).
std::vector<unsigned char> gzipCompress(const std::vector<unsigned char>& data, int level);

// 64 lower-case hex digits.
std::string calculate_sha256(const std::string& text);
// Refuses (std::invalid_argument, naming it) a path that exists but is not a regular file: a
// device, a pipe or a directory has no end or no records to read.
void require_regular_file(const std::string& path);
std::string sha256_hex(const char* data, std::size_t size);

std::string readFileContents(const std::string& path);

}  // namespace rest_client
