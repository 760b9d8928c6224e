#include "upload/input_file.h"

#include <openssl/evp.h>

#include <stdexcept>
#include <utility>

namespace rest_client {

RunningHash::RunningHash() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw std::bad_alloc();
  }
}

RunningHash::~RunningHash() {
  EVP_MD_CTX_free(context_);
}

RunningHash::RunningHash(RunningHash&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)), bytes_(other.bytes_) {}

RunningHash& RunningHash::operator=(RunningHash&& other) noexcept {
  std::swap(context_, other.context_);
  std::swap(bytes_, other.bytes_);
  return *this;
}

void RunningHash::update(const char* data, std::size_t size) {
  EVP_DigestUpdate(context_, data, size);
  bytes_ += size;
}

std::string RunningHash::hex() const {
  const RunningHash copy = clone();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(copy.context_, digest, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

RunningHash RunningHash::clone() const {
  RunningHash copy;
  if (EVP_MD_CTX_copy_ex(copy.context_, context_) != 1) throw std::bad_alloc();
  copy.bytes_ = bytes_;
  return copy;
}

InputFile::InputFile(const std::string& path)
    : path_(path), file_(std::fopen(path.c_str(), "rb")), hashing_(false) {
  if (file_ != nullptr) ::fstat(::fileno(file_), &at_open_);
}

void InputFile::start_at(std::uint64_t start, const RunningHash* hash, bool hashing) {
  if (::fseeko(file_, static_cast<off_t>(start), SEEK_SET) != 0) {
    throw std::runtime_error("Cannot read '" + path_ + "' from byte " + std::to_string(start));
  }
  start_ = position_ = start;
  hashing_ = hashing;
  start_hash_ = hash != nullptr ? hash->clone() : RunningHash();
  hash_ = start_hash_.clone();
}

InputFile::~InputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

std::size_t InputFile::read(char* buffer, std::size_t size) {
  const std::size_t got = std::fread(buffer, 1, size, file_);
  position_ += got;
  if (hashing_) hash_.update(buffer, got);
  return got;
}

void InputFile::rewind() {
  ::fseeko(file_, static_cast<off_t>(start_), SEEK_SET);
  position_ = start_;
  hash_ = start_hash_.clone();
}

void InputFile::check_unchanged(std::uint64_t records_sent, bool read_to_end) const {
  struct stat now {};
  ::fstat(::fileno(file_), &now);
  if ((read_to_end && position_ != static_cast<std::uint64_t>(at_open_.st_size)) ||
      now.st_size != at_open_.st_size || now.st_mtim.tv_sec != at_open_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != at_open_.st_mtim.tv_nsec) {
    throw std::runtime_error("The file '" + path_ + "' changed while it was read; " +
                             std::to_string(records_sent) +
                             " records were sent before the change was seen");
  }
}

}  // namespace rest_client
