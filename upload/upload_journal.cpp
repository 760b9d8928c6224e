#include "upload/upload_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "client/payload.h"

namespace rest_client {
namespace {

using json = nlohmann::json;

constexpr const char* kStates[] = {"sending", "sent", "finished", "failed"};

// Owns a file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so that a failed close is seen.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

[[noreturn]] void failed(const std::string& what, const std::string& path) {
  throw std::runtime_error("Could not " + what + " the upload journal '" + path +
                           "': " + std::strerror(errno));
}

// Makes each missing directory of `path`, private to the user.
void make_directories(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) failed("make the directory of", path);
  }
}

std::uint64_t number(const json& object, const char* name, const std::string& path) {
  if (!object.contains(name) || !object.at(name).is_number_unsigned()) {
    throw std::runtime_error("The upload journal '" + path + "' is damaged: \"" + name +
                             "\" is not a count; remove it to start the upload over");
  }
  return object.at(name).get<std::uint64_t>();
}

}  // namespace

std::string JournalShard::record_range() const {
  return records == 0 ? "no records"
                      : "records " + std::to_string(first_record) + "-" +
                            std::to_string(first_record + records - 1);
}

UploadJournal::UploadJournal(const std::string& directory, const json& key)
    : directory_(directory),
      path_(directory + "/" + calculate_sha256(key.dump()) + ".json"),
      key_(key) {}

bool UploadJournal::load() {
  std::ifstream file(path_, std::ios::binary);
  if (!file) return false;
  std::string text(kLongestJournal + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  auto damaged = [&](const std::string& why) {
    return std::runtime_error("The upload journal '" + path_ + "' is damaged: " + why +
                              "; remove it to start the upload over");
  };
  if (text.size() > kLongestJournal) {
    throw damaged("it is longer than " + std::to_string(kLongestJournal >> 20) + " MiB");
  }
  const json saved = json::parse(text, nullptr, false);
  if (!saved.is_object() || saved.value("version", 0) != 1 || !saved.contains("key") ||
      saved.at("key") != key_) {
    throw damaged("it is not a journal of this upload");
  }
  if (!saved.contains("identity") || !saved.contains("shards") || !saved.at("shards").is_array() ||
      !saved.contains("sha256") || !saved.at("sha256").is_string()) {
    throw damaged("a member is missing");
  }
  identity = saved.at("identity");
  answers = saved.value("answers", json::object());
  hashed = number(saved, "hashed", path_);
  sha256 = saved.at("sha256").get<std::string>();
  complete = saved.value("complete", false);
  shards.clear();
  std::uint64_t end = 0, next_record = 1;
  for (const json& entry : saved.at("shards")) {
    if (!entry.is_object()) throw damaged("a shard is not an object");
    JournalShard shard;
    shard.begin = number(entry, "begin", path_);
    shard.end = number(entry, "end", path_);
    shard.first_record = number(entry, "first_record", path_);
    shard.records = number(entry, "records", path_);
    const std::string state = entry.value("state", "");
    const auto known = std::find(std::begin(kStates), std::end(kStates), state);
    if (known == std::end(kStates)) throw damaged("a shard's state is \"" + state + "\"");
    shard.state = static_cast<JournalShard::State>(known - std::begin(kStates));
    shard.job_id = entry.value("job_id", "");
    // Shards follow one another from the file's start, their records too.
    if (shard.begin != end || shard.end < shard.begin || shard.first_record != next_record ||
        shard.end > hashed) {
      throw damaged("shard " + std::to_string(shards.size() + 1) +
                    " does not follow the one before");
    }
    end = shard.end;
    next_record += shard.records;
    shards.push_back(std::move(shard));
  }
  return true;
}

void UploadJournal::save() {
  json shard_list = json::array();
  for (const auto& shard : shards) {
    shard_list.push_back({{"begin", shard.begin},
                          {"end", shard.end},
                          {"first_record", shard.first_record},
                          {"records", shard.records},
                          {"state", kStates[static_cast<int>(shard.state)]},
                          {"job_id", shard.job_id}});
  }
  const std::string text =
      json{{"version", 1},     {"key", key_},      {"identity", identity}, {"answers", answers},
           {"hashed", hashed}, {"sha256", sha256}, {"shards", shard_list}, {"complete", complete}}
          .dump();
  make_directories(directory_);
  const std::string temporary = path_ + ".tmp";
  Descriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.get() < 0) failed("write", temporary);
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::write(out.get(), text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) failed("write", temporary);
    done += static_cast<std::size_t>(wrote);
  }
  if (::fsync(out.get()) != 0 || !out.close()) failed("write", temporary);
  if (::rename(temporary.c_str(), path_.c_str()) != 0) failed("replace", path_);
  // The rename itself is made to last too.
  Descriptor directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
}

void UploadJournal::remove() {
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) failed("remove", path_);
}

std::uint64_t UploadJournal::stored_records() const {
  std::uint64_t records = 0;
  for (const auto& shard : shards) {
    if (shard.state == JournalShard::State::kFinished) records += shard.records;
  }
  return records;
}

std::size_t UploadJournal::stored_shards() const {
  std::size_t count = 0;
  for (const auto& shard : shards) count += shard.state == JournalShard::State::kFinished;
  return count;
}

}  // namespace rest_client
