#include "upload/shard_builder.h"

#include "client/payload.h"

namespace rest_client {
namespace {

void append_member(std::string& body, const std::string& key, const std::string& value_text) {
  if (body.size() > 1) body += ',';
  body += json(key).dump();
  body += ':';
  body += value_text;
}

}  // namespace

void ShardBuilder::start(std::string& body) {
  // Room for the base64 of a shard that does not compress at all, so the body never grows by
  // reallocation (which would briefly hold two copies of it).
  const std::size_t shard = shard_size_;
  const std::size_t expected = (shard + shard / 64 + (1 << 20)) / 3 * 4 + (1 << 20);
  if (body.capacity() < expected) body.reserve(expected);
  body.clear();
  body += '{';
  for (const auto& [key, value] : base_.items()) {
    if (key < "checksum") append_member(body, key, value.dump());
  }
  append_member(body, "checksum", "\"" + std::string(64, '0') + "\"");
  checksum_at_ = body.size() - 65;
  for (const auto& [key, value] : base_.items()) {
    if (key > "checksum" && key < "file_data") append_member(body, key, value.dump());
  }
  append_member(body, "file_data", "\"");
  file_data_at_ = body.size();
  stream_.begin(&body);
}

std::string ShardBuilder::finish(std::string& body, const std::string* shard_ids) {
  stream_.finish();
  const std::size_t file_data_size = body.size() - file_data_at_;
  body += '"';
  std::string ids_text;
  if (shard_ids != nullptr) {
    const auto packed =
        gzipCompress(std::vector<unsigned char>(shard_ids->begin(), shard_ids->end()), -1);
    ids_text.assign(1, '"');
    ids_text += base64_encode(packed.data(), packed.size());
    ids_text += '"';
  }
  bool ids_placed = shard_ids == nullptr;
  for (const auto& [key, value] : base_.items()) {
    if (key <= "file_data") continue;
    if (!ids_placed && key > "string_id_txt") {
      append_member(body, "string_id_txt", ids_text);
      ids_placed = true;
    }
    append_member(body, key, value.dump());
  }
  if (!ids_placed) append_member(body, "string_id_txt", ids_text);
  body += '}';
  const std::string checksum = sha256_hex(body.data() + file_data_at_, file_data_size);
  body.replace(checksum_at_, 64, checksum);
  return checksum;
}

}  // namespace rest_client
