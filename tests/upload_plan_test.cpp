#include <gtest/gtest.h>

#include "tests/support/upload_options.h"
#include "upload/upload_plan.h"

namespace {

using rest_client::plan_upload;
using rest_client::UploadReader;
using Map = OptionMap;

TEST(UploadPlan, OptionsAgainstTheFileFormat) {
  const Map binary = {{"file_format", "binary"}, {"collection_name", "d"}, {"binary_dim", "3"}};
  auto with = [](Map options, const Map& more) {
    for (const auto& entry : more) options.insert_or_assign(entry.first, entry.second);
    return options;
  };
  struct Case {
    Map options;
    std::string error;      // empty: a plan, with the rest of the row
    std::string body = "";  // the plan's members beyond compression_type and project_name
    UploadReader reader = UploadReader::kLines;
    std::vector<std::string> warnings = {};
    std::string extra = "";  // "ask" for the column questions, or the invalid arguments
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{}, "File format argument required!"},
      {{{"file_format", "CSV"}},
       "File format must be one of \"csv\", \"json\", \"libsvm\", \"binary\""},
      {{{"file_format", "csv"}},
       "Argument dataset_name is required for UPLOAD. This is the data collection the vectors "
       "will be added to."},
      {{{"file_format", "csv"}, {"collection_name", "d"}},
       "Argument vector_type required for csv file format"},
      {{{"file_format", "binary"}, {"collection_name", "d"}}, "Missing binary_dim argument"},
      {binary, "Missing binary_dtype argument"},
      {{{"file_format", "json"}, {"collection_name", "d"}, {"vector_type", "dense"}},
       "Missing vector_data_field_name argument"},
      {with(binary, {{"binary_dtype", "float32"}, {"vector_type", "x"}, {"attributes", "[]"}}), "",
       R"({"binary_dim":3,"binary_dtype":"float32","dataset_name":"d","file_format":"binary",)"
       R"("has_field_names":true,"vector_type":"dense"})", UploadReader::kBinary,
       {"Vector type parameter ignored, only dense vector supported for binary"}, "attributes"},
      {{{"file_format", "libsvm"}, {"collection_name", "d"}, {"vector_type", "dense"},
        {"string_ids_file_path", "ids.txt"}}, "",
       R"({"dataset_name":"d","file_format":"libsvm","has_field_names":true,)"
       R"("vector_type":"sparse"})", UploadReader::kLines,
       {"Vector type parameter ignored, only sparse vector supported for libsvm"}, ""},
      {{{"file_format", "csv"}, {"collection_name", "d"}, {"vector_type", "dense"},
        {"has_field_names", "false"}, {"attributes", "[]"}, {"vector_id_field_name", "i"}}, "",
       R"({"dataset_name":"d","file_format":"csv","has_field_names":false,)"
       R"("vector_type":"dense"})", UploadReader::kLines,
       {"Argument vector_id_field_name discarded", "Argument attributes discarded"}, "ask"},
      {{{"file_format", "json"}, {"collection_name", "d"}, {"vector_type", "dense"},
        {"has_field_names", "false"}}, "",
       R"({"dataset_name":"d","file_format":"json","has_field_names":false,)"
       R"("vector_type":"dense"})", UploadReader::kJson, {}, ""},
      {{{"file_format", "csv"}, {"collection_name", "d"}, {"vector_type", "dense"},
        {"vector_id_field_name", "id"}, {"attributes", R"(["a","b"])"}}, "",
       R"({"dataset_name":"d","file_format":"csv","has_field_names":true,)"
       R"("vector_attributes":["a","b"],"vector_id_field_name":"id","vector_type":"dense"})",
       UploadReader::kCsvWithHeader, {}, ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    const auto result = plan_upload("p", upload_options(c.options));
    SCOPED_TRACE(c.error + c.body);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.warnings, c.warnings);
    ASSERT_EQ(result.plan.has_value(), c.error.empty());
    if (!result.plan) continue;
    auto body = result.plan->body;
    EXPECT_EQ(body["compression_type"], "gzip");
    EXPECT_EQ(body["project_name"], "p");
    body.erase("compression_type");
    body.erase("project_name");
    EXPECT_EQ(body.dump(), c.body);
    EXPECT_EQ(result.plan->reader, c.reader);
    EXPECT_EQ(result.plan->ask_columns, c.extra == "ask");
    const auto& invalid = result.plan->invalid_arguments;
    EXPECT_EQ(invalid.empty() ? "" : invalid.front(), c.extra == "ask" ? "" : c.extra);
    if (c.reader == UploadReader::kBinary) {
      EXPECT_EQ(result.plan->record_size, 12);
    }
  }
}

}  // namespace
