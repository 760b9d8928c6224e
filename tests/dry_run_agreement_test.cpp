// What a dry run says of a data file is what an upload to Orvix Local finds: for a few hundred
// generated files of every format, some holding a fault that one side or the other refuses,
// the dry run passes exactly the files whose upload succeeds, and counts the records stored.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <string>

#include "tests/support/local_client_test.h"
#include "tests/support/raw_http.h"

namespace {

using namespace testing_support;

enum Fault {
  kNone,
  kBlankLines,
  kNotNumber,
  kNonFinite,
  kDimension,
  kRepeatedId,
  kBigIndex,
  kDeep,
  kMissingId,
  kShortIds,
  kFaults
};

enum Format { kCsv, kHeaderless, kLibsvm, kJsonFields, kJsonPlain, kBinary, kNpy, kFormats };

class DryRunAgreement : public LocalClientTest {
 protected:
  DryRunAgreement() : LocalClientTest("agreement") {}
};

TEST_F(DryRunAgreement, TheDryRunPassesWhatTheUploadStores) {
  std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
  const int files = kSanitized ? 70 : 280;
  session_.upload.shard_size = 64;  // several shards a file
  for (int f = 0; f < files; ++f) {
    const auto format = static_cast<Format>(f % kFormats);
    const auto fault =
        static_cast<Fault>(random() % (2 * kFaults) < kFaults ? random() % kFaults : 0);
    const int records = 2 + static_cast<int>(random() % 20),
              dim = 1 + static_cast<int>(random() % 4);
    const bool ids_file = format != kCsv && format != kJsonFields && random() % 2 == 0;
    auto value = [&](int r, int d) -> std::string {
      if (r == records - 1 && d == 0 && fault == kNotNumber) return "x1";
      if (r == records - 1 && d == 0 && fault == kNonFinite) return "1e39";
      return std::to_string(r) + "." + std::to_string(d + 1);
    };
    auto width = [&](int r) { return fault == kDimension && r == records - 1 ? dim + 1 : dim; };
    auto id = [&](int r) {
      return "r" + std::to_string(fault == kRepeatedId && r == records - 1 ? 0 : r);
    };
    std::string text, ids;
    std::vector<float> floats;
    for (int r = 0; r < records; ++r) {
      std::string row;
      for (int d = 0; d < width(r); ++d) {
        const std::string v = value(r, d);
        if (format == kCsv || format == kHeaderless) row += (d ? "," : "") + v;
        if (format == kLibsvm) {
          const std::string index =
              fault == kBigIndex && r == 1 && d == 0 ? "4294967296" : std::to_string(d + 1);
          row += " " + index + ":" + v;
        }
        if (format == kJsonFields || format == kJsonPlain) {
          row += (d ? "," : "") + (v == "x1" ? std::string("\"x1\"") : v);
        }
        floats.push_back(v == "1e39" ? std::nanf("") : std::stof(v == "x1" ? "1" : v));
      }
      if (format == kCsv) text += id(r) + "," + row + "\n";
      if (format == kHeaderless) text += row + "\n";
      if (format == kLibsvm) text += "1" + row + "\n";
      if (format == kJsonFields) {
        const std::string deep =
            fault == kDeep && r == 0 ? ",\"a\":" + nested("[", "", "]", 33) : "";
        const std::string named = fault == kMissingId && r == 1 ? "" : "\"id\":\"" + id(r) + "\",";
        text += std::string(r ? "," : "[") + "{" + named + "\"v\":[" + row + "]" + deep + "}";
      }
      if (format == kJsonPlain) {
        text += std::string(r ? "," : "[") +
                (fault == kDeep && r == 0 ? nested("[", "", "]", 33) + "," : "") + "[" + row + "]";
      }
      if (fault == kBlankLines && (format == kCsv || format == kHeaderless || format == kLibsvm)) {
        text += r % 2 ? "\n" : " \t\n";
      }
      if (!(fault == kShortIds && r == records - 1)) ids += id(r) + "\n";
    }
    if (format == kCsv) {
      std::string header = "id";
      for (int d = 0; d < dim; ++d) header += ",c" + std::to_string(d);
      text = header + "\n" + text;
    }
    if (format == kJsonFields || format == kJsonPlain) text += "]";
    const bool whole_rows = fault != kDimension;  // a binary file is cut by its dimension
    if (format == kBinary || format == kNpy) {
      if (!whole_rows) floats.pop_back();
      text.assign(reinterpret_cast<const char*>(floats.data()), floats.size() * sizeof(float));
      if (format == kNpy) {
        std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" +
                             std::to_string(floats.size() / static_cast<std::size_t>(dim)) + ", " +
                             std::to_string(dim) + "), }";
        header += std::string((64 - (10 + header.size() + 1) % 64) % 64, ' ') + "\n";
        text = "\x93NUMPY" + std::string{1, 0} + static_cast<char>(header.size()) +
               static_cast<char>(header.size() >> 8) + header +
               text.substr(0, floats.size() / static_cast<std::size_t>(dim) * dim * 4);
      }
    }
    const std::string name = "d" + std::to_string(f);
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    std::ofstream(path + ".ids") << ids;
    const bool sparse = format == kLibsvm;
    ASSERT_TRUE(
        run("INIT_DATASET p " + name + (sparse ? " sparse " : " dense ") + std::to_string(dim)).ok);
    static const char* const kOptions[] = {
        "--file_format csv --vector_type dense --has_field_names true --vector_id_field_name id",
        "--file_format csv --vector_type dense --has_field_names false",
        "--file_format libsvm",
        "--file_format json --vector_type dense --has_field_names true --vector_data_field_name v "
        "--vector_id_field_name id",
        "--file_format json --vector_type dense --has_field_names false",
        nullptr,
        "--file_format npy"};
    std::string line = "UPLOAD p " + path + " --dataset_name " + name + " ";
    line += kOptions[format]
                ? kOptions[format]
                : "--file_format binary --binary_dtype float32 --binary_dim " + std::to_string(dim);
    if (ids_file) line += " --string_ids_file_path " + path + ".ids";
    SCOPED_TRACE(line + "\n" + (format >= kBinary ? std::string("(binary)") : text) + "\nfault " +
                 std::to_string(fault));
    const Said dry = run(line + " --dry-run");
    const auto counted = session_.output.members.value("records", std::uint64_t{0});
    const Said uploaded = run(line, "n\nn\n");
    settle();
    EXPECT_EQ(dry.ok, uploaded.ok) << dry.text << "\n---\n" << uploaded.text;
    if (uploaded.ok) {
      EXPECT_EQ(stored(name), static_cast<long long>(counted)) << uploaded.text;
    }
  }
}

}  // namespace
