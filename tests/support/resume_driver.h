#pragma once
// Going on with an upload that stopped, as a user would: plain --resume, then the flag it asks
// for, until the upload is done or the resume says the count does not tell. Shared by the tests
// of stopped uploads and the fault soak (bench/faults).

#include <functional>
#include <string>

namespace testing_support {

struct Said {
  bool ok;
  std::string text;
};

struct Resumed {
  bool done = false;      // the upload ended with success, or was found complete
  int resumes = 0;        // runs with --resume
  int decided_alone = 0;  // resumes that settled a lost answer by the dataset's count
  int asked = 0;          // resumes that stopped to ask for --resend-unanswered
  std::string last;       // what the last run said
};

// `run` runs a statement line; `stored` reads the dataset's vector count; `settle` waits until
// the service runs no job. `expected`: the records of the whole file.
Resumed resume_until_done(const std::function<Said(const std::string&)>& run,
                          const std::string& line, const std::function<long long()>& stored,
                          const std::function<void()>& settle, long long expected);

// Until Orvix Local, whose database is `db_path`, runs no job (at most ten seconds).
void wait_until_idle(const std::string& db_path);

}  // namespace testing_support
