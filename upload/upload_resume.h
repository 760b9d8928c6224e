#pragma once
// Going on with an upload that stopped: its journal checked against the file, the options and
// the dataset, the jobs it left in flight settled, and the place where reading goes on.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "client/session.h"
#include "upload/input_file.h"
#include "upload/upload_journal.h"

namespace rest_client {

// What a resume does with a shard whose request went out and whose answer never came, which
// may or may not be stored.
enum class Unanswered { kStop, kResend, kSkip };

struct ResumePoint {
  std::uint64_t offset = 0;                 // the first byte not stored
  std::uint64_t first_record = 1;           // and its record
  std::uint64_t first_line = 1;             // and the line it begins
  std::size_t first_shard = 0;              // the journal's shard that begins there
  std::shared_ptr<const RunningHash> hash;  // of the bytes before `offset`
  bool done = false;                        // every shard of the file is stored
};

// What identifies an upload in its journal besides its key: the file's size and time, the
// options (with the string-id file's size and time) and the shard size.
nlohmann::json upload_identity(const InputFile& file, const nlohmann::json& options,
                               const std::string& ids_path, int shard_size);

// Loads and checks the journal and settles its jobs; throws std::invalid_argument saying why
// the upload cannot go on.
ResumePoint prepare_resume(Session& session, UploadJournal& journal, const nlohmann::json& identity,
                           const std::string& project, const std::string& dataset, InputFile& file,
                           Unanswered unanswered);

}  // namespace rest_client
