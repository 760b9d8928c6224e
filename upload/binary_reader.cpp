// The reader of raw binary vectors and of embedding files (npy, fvecs, bvecs).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "upload/file_readers.h"
#include "upload/id_feed.h"
#include "upload/input_file.h"
#include "upload/vector_files.h"

namespace rest_client {

void read_binary_file(ShardOutput& transfer, const ReaderInput& input, long long record_size,
                      bool floats) {
  InputFile& file = begin_reading(input);
  IdFeed ids(input.ids_path, transfer);
  // A raw binary file is vectors of `record_size` bytes from its first byte on; the embedding
  // files say their own layout.
  VectorFileLayout layout;
  if (input.vector_file) {
    layout = *input.vector_file;
  } else {
    if (record_size == 0) throw std::invalid_argument("Invalid argument for binary dim");
    if (record_size < 0) throw std::invalid_argument("binary_dim must not be negative");
    layout.stored = floats ? StoredValue::kFloat32 : StoredValue::kUint8;
    layout.dim = static_cast<std::size_t>(record_size) / (floats ? 4 : 1);
  }
  const std::size_t size = layout.file_record(), sent_size = layout.sent_record();
  const std::uint64_t data_bytes =
      file.size_at_open() > layout.data_offset ? file.size_at_open() - layout.data_offset : 0;
  // A vector larger than the file: nothing to read, and no buffer to take for it.
  if (size > data_bytes) {
    throw std::invalid_argument("'" + input.file->path() + "' holds no vectors");
  }
  // The count of vectors is known before anything is read: too few ids is known too.
  const std::uint64_t vectors = data_bytes / size;
  if (!input.ids_path.empty()) {
    const std::uint64_t held = ids.count_all();
    if (held < vectors) {
      const std::string said = "The string ids file '" + input.ids_path + "' holds " +
                               std::to_string(held) + " ids for the " + std::to_string(vectors) +
                               " vectors of '" + input.file->path() + "'";
      if (!transfer.problem(held + 1, layout.data_offset + held * size, said)) {
        throw std::invalid_argument(said + "; nothing was sent");
      }
    }
  }
  const bool sends_floats = layout.sends_floats();
  if (transfer.checking()) transfer.record_shape(1, layout.data_offset, layout.dim);
  SentCount sent = start_count(input, ids);
  auto hand_off = [&] {
    transfer.note("Number of vectors " + std::to_string(transfer.data_size() / sent_size));
    sent.hand_off(ids, layout.data_offset + (sent.total + sent.in_shard) * size, file);
  };
  // The header before the vectors.
  while (file.position() < layout.data_offset) {
    char header[4096];
    const std::size_t got =
        file.read(header, static_cast<std::size_t>(std::min<std::uint64_t>(
                              sizeof header, layout.data_offset - file.position())));
    if (got == 0) break;
  }
  const std::size_t per_block = std::max<std::size_t>(1, kReadBlock / size);
  std::vector<char> block(per_block * size);
  // Values stored otherwise than as they are sent are widened here first.
  const bool widened =
      layout.stored == StoredValue::kFloat64 || layout.stored == StoredValue::kFloat16;
  std::vector<float> wide(widened ? layout.dim : 0);
  const std::size_t prefix = layout.dim_prefix ? 4 : 0;
  std::size_t tail = 0;
  for (;;) {
    const std::size_t got = file.read(block.data(), block.size());
    const std::size_t records = got / size;
    for (std::size_t i = 0; i < records; ++i) {
      const char* record = block.data() + i * size;
      const std::uint64_t number = sent.total + sent.in_shard + 1;
      const std::uint64_t offset = layout.data_offset + (number - 1) * size;
      if (prefix != 0) {
        std::int32_t dim;
        std::memcpy(&dim, record, 4);
        if (dim < 0 || static_cast<std::size_t>(dim) != layout.dim) {
          const std::string said = "Vector " + std::to_string(number) + " of '" +
                                   input.file->path() + "' has dimension " + std::to_string(dim) +
                                   ", not the first vector's " + std::to_string(layout.dim);
          if (!transfer.problem(number, offset, said)) throw std::invalid_argument(said);
        }
      }
      const char* values = record + prefix;
      if (widened) {
        widen_values(layout, values, wide.data());
        values = reinterpret_cast<const char*>(wide.data());
      }
      if (sends_floats) {
        // Exponent bits all set: an infinity or NaN, which the service cannot store.
        for (std::size_t at = 0; at < sent_size; at += 4) {
          std::uint32_t bits;
          std::memcpy(&bits, values + at, 4);
          if ((bits & 0x7f800000u) == 0x7f800000u) {
            if (transfer.problem(
                    number, offset,
                    "value " + std::to_string(at / 4 + 1) + " is not a finite number")) {
              break;
            }
            throw std::runtime_error("Vector " + std::to_string(number) + " of '" +
                                     input.file->path() +
                                     "' holds a value that is not a finite number");
          }
        }
      }
      transfer.add_data(values, sent_size);
      ids.feed(number, offset);
      sent.record();
      if (reached_threshold(transfer, transfer.data_size(), ids)) hand_off();
    }
    if (got < block.size()) {
      tail = got - records * size;
      break;
    }
  }
  file.check_unchanged(sent.total + sent.in_shard);
  sent.require_vectors(input.file->path());
  if (tail > 0) {
    transfer.warning(" The last " + std::to_string(tail) + " byte(s) of '" + input.file->path() +
                     "' do not make a whole vector of " + std::to_string(size) +
                     " bytes and were not sent");
  }
  ids.warn_about_extra_ids();
  if (transfer.data_size() > 0) hand_off();
}

}  // namespace rest_client
