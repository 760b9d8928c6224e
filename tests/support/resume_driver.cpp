#include "tests/support/resume_driver.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace testing_support {
namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

Resumed resume_until_done(const std::function<Said(const std::string&)>& run,
                          const std::string& line, const std::function<long long()>& stored,
                          const std::function<void()>& settle, long long expected) {
  Resumed resumed;
  std::string flags = " --resume";
  for (int attempt = 0; attempt < 6; ++attempt) {
    settle();
    const Said said = run(line + flags);
    resumed.last = said.text;
    resumed.resumes += flags.empty() ? 0 : 1;
    resumed.decided_alone += has(said.text, "taken as stored: the dataset holds");
    if (said.ok) {
      resumed.done = true;
      return resumed;
    }
    // Stopped before its first shard was sent, or after its last was stored.
    if (has(said.text, "There is no journal")) {
      const long long count = stored();
      if (count == expected) {
        resumed.done = true;
        return resumed;
      }
      if (count == 0) {
        flags = "";
        continue;
      }
      return resumed;
    }
    if (!has(said.text,
             "Nothing was sent. Once no job of yours is pending, resume with "
             "--resend-unanswered")) {
      // A fault met by the resume itself: plain --resume again.
      flags = " --resume";
      continue;
    }
    ++resumed.asked;
    flags = " --resume --resend-unanswered";
  }
  return resumed;
}

void wait_until_idle(const std::string& db_path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  for (int tries = 0; tries < 2000; ++tries) {
    sqlite3_stmt* running = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM jobs WHERE status IN ('pending', 'in_progress')",
                       -1, &running, nullptr);
    bool idle = sqlite3_step(running) == SQLITE_ROW && sqlite3_column_int(running, 0) == 0;
    sqlite3_finalize(running);
    // Jobs submitted while the store was written wait as files until they are in the table.
    std::error_code ignored;
    const auto jobs = std::filesystem::path(db_path).parent_path() / "jobs";
    for (const auto& entry : std::filesystem::directory_iterator(jobs, ignored)) {
      idle = idle && entry.path().extension() != ".queued";
    }
    if (idle) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  sqlite3_close(db);
}

}  // namespace testing_support
