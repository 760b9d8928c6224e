#pragma once
// The files embeddings come in: NumPy .npy arrays and the .fvecs / .bvecs files of the
// nearest-neighbour benchmarks. Their vectors travel as the service's raw binary ones (float32
// or uint8); this says where they lie in the file and how their values are stored.

#include <cstddef>
#include <cstdint>
#include <string>

#include "upload/input_file.h"

namespace rest_client {

enum class StoredValue { kFloat32, kFloat64, kFloat16, kUint8 };

struct VectorFileLayout {
  std::uint64_t data_offset = 0;  // where the first vector begins
  std::uint64_t vectors = 0;      // as the header says (npy); otherwise from the file's size
  std::size_t dim = 0;
  StoredValue stored = StoredValue::kFloat32;
  bool dim_prefix = false;  // fvecs, bvecs: a little-endian int32 dimension before each vector

  std::size_t value_bytes() const;
  // Bytes of one vector in the file, and as sent (float32, or uint8 for uint8 values).
  std::size_t file_record() const { return (dim_prefix ? 4 : 0) + dim * value_bytes(); }
  bool sends_floats() const { return stored != StoredValue::kUint8; }
  std::size_t sent_record() const { return dim * (sends_floats() ? 4 : 1); }
};

// Reads the header (npy) or the first dimension (fvecs, bvecs) of the file; throws
// std::invalid_argument naming what was found when the file cannot be sent as it is.
VectorFileLayout read_vector_file_layout(InputFile& file, const std::string& format);

// One stored vector's values as the service's float32 values (`out` holds layout.dim floats).
void widen_values(const VectorFileLayout& layout, const char* values, float* out);

}  // namespace rest_client
