#include "upload/upload_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "client/console.h"
#include "client/limits.h"
#include "client/payload.h"
#include "client/request.h"

namespace rest_client {
namespace {

using json = nlohmann::json;

constexpr const char* kStates[] = {"sending", "sent", "finished", "failed"};

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

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Whose a file is and what it is, refused unless it is a regular file of the user's.
std::string not_regular_and_own(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return "it is not a regular file";
  if (info.st_uid != ::geteuid()) return "it belongs to another user";
  return "";
}

std::uint64_t number(const json& object, const char* name, const std::string& path) {
  if (!object.contains(name) || !object.at(name).is_number_unsigned()) {
    throw std::runtime_error("The upload journal '" + path + "' is damaged: \"" + name +
                             "\" is not a count; remove it to start the upload over");
  }
  return object.at(name).get<std::uint64_t>();
}

}  // namespace

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool Descriptor::close() {
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0;
}

std::string JournalShard::record_range() const {
  return records == 0 ? "no records"
                      : "records " + std::to_string(first_record) + "-" +
                            std::to_string(first_record + records - 1);
}

UploadJournal::UploadJournal(const std::string& directory, const json& key)
    : directory_(directory),
      name_(calculate_sha256(key.dump()) + ".json"),
      path_(directory + "/" + name_),
      key_(key) {
  make_directories(directory_);
  directory_fd_ =
      Descriptor(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (directory_fd_.get() < 0) failed("open the directory of", path_);
  // Whoever may write to the directory may replace the journal, or plant links in its place.
  struct stat info {};
  if (::fstat(directory_fd_.get(), &info) != 0) failed("open the directory of", path_);
  if (info.st_uid != ::geteuid()) {
    throw std::runtime_error("The upload journal directory '" + directory_ +
                             "' belongs to another user");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw std::runtime_error("The upload journal directory '" + directory_ +
                             "' may be written by others (mode " + mode_text(info.st_mode) + ")");
  }
}

void UploadJournal::lock(const std::string& upload) {
  const std::string lock_name = name_ + ".lock";
  // An upload that finishes removes its lock file while it holds it: one opened before that is
  // locked in vain, and opened again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    Descriptor fd(::openat(directory_fd_.get(), lock_name.c_str(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.get() < 0) failed("lock", path_ + ".lock");
    struct stat held {};
    if (::fstat(fd.get(), &held) != 0) failed("lock", path_ + ".lock");
    if (const std::string why = not_regular_and_own(held); !why.empty()) {
      throw std::runtime_error("The lock file '" + path_ + ".lock' cannot be used: " + why);
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) failed("lock", path_ + ".lock");
      char holder[32] = {};
      const ssize_t got = ::pread(fd.get(), holder, sizeof holder - 1, 0);
      std::string pid(holder, got > 0 ? static_cast<std::size_t>(got) : 0);
      pid.erase(std::remove_if(pid.begin(), pid.end(), [](char c) { return c < '0' || c > '9'; }),
                pid.end());
      throw std::runtime_error("Another client is running " + upload + " (process " +
                               (pid.empty() ? std::string("unknown") : pid) +
                               "); nothing was sent");
    }
    struct stat named {};
    if (::fstatat(directory_fd_.get(), lock_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_ino != held.st_ino || named.st_dev != held.st_dev) {
      continue;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 ||
        ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
      failed("lock", path_ + ".lock");
    }
    lock_ = std::move(fd);
    return;
  }
  throw std::runtime_error("Could not lock the upload journal '" + path_ + "'");
}

bool UploadJournal::load() {
  auto damaged = [&](const std::string& why) {
    return std::runtime_error("The upload journal '" + path_ + "' is damaged: " + why +
                              "; remove it to start the upload over");
  };
  // Never through a link, and never waiting on a FIFO or device put in its place.
  Descriptor fd(
      ::openat(directory_fd_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT) return false;
  if (fd.get() < 0 && errno == ELOOP) throw damaged("it is a symbolic link");
  if (fd.get() < 0) failed("read", path_);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) failed("read", path_);
  if (const std::string why = not_regular_and_own(info); !why.empty()) throw damaged(why);
  if (static_cast<std::uint64_t>(info.st_size) > limits::kLongestJournal) {
    throw damaged("it is longer than " + std::to_string(limits::kLongestJournal >> 20) + " MiB");
  }
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::read(fd.get(), text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed("read", path_);
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  text.resize(done);
  if (!nesting_within(text, limits::kDeepestJournal)) {
    throw damaged("it is nested deeper than " + std::to_string(limits::kDeepestJournal) +
                  " levels");
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
  identity_ = saved.at("identity");
  answers_ = saved.value("answers", json::object());
  hashed_ = number(saved, "hashed", path_);
  sha256_ = saved.at("sha256").get<std::string>();
  complete_ = saved.value("complete", false);
  vectors_before_.reset();
  if (saved.contains("vectors_before") && saved.at("vectors_before").is_number_unsigned()) {
    vectors_before_ = saved.at("vectors_before").get<std::uint64_t>();
  }
  shards_.clear();
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
        shard.end > hashed_) {
      throw damaged("shard " + std::to_string(shards_.size() + 1) +
                    " does not follow the one before");
    }
    end = shard.end;
    next_record += shard.records;
    shards_.push_back(std::move(shard));
  }
  return true;
}

void UploadJournal::start_over(json identity, json answers,
                               std::optional<std::uint64_t> vectors_before) {
  // Until this upload's first shard is sent, there is nothing to go on from.
  if (kept_) {
    try {
      remove(name_);
    } catch (const std::exception& e) {
      print_warning(" " + std::string(e.what()));
    }
  }
  identity_ = std::move(identity);
  answers_ = std::move(answers);
  hashed_ = 0;
  sha256_.clear();
  shards_.clear();
  complete_ = false;
  vectors_before_ = vectors_before;
}

void UploadJournal::sending(std::size_t index, const JournalShard& shard, std::uint64_t hashed,
                            const std::string& sha256) {
  if (index >= shards_.size()) shards_.resize(index + 1);
  shards_[index] = shard;
  shards_[index].state = JournalShard::State::kSending;
  shards_[index].job_id.clear();
  if (hashed >= hashed_) {
    hashed_ = hashed;
    sha256_ = sha256;
  }
  write();
}

void UploadJournal::sent(std::size_t index, const std::string& job_id) {
  state(index, JournalShard::State::kSent, job_id);
}

void UploadJournal::stored(std::size_t index) {
  state(index, JournalShard::State::kFinished, shards_.at(index).job_id);
}

void UploadJournal::not_stored(std::size_t index) {
  state(index, JournalShard::State::kFailed, shards_.at(index).job_id);
}

void UploadJournal::read_to_end() {
  if (shards_.empty()) return;
  complete_ = true;
  write();
}

void UploadJournal::state(std::size_t index, JournalShard::State state, const std::string& job_id) {
  shards_.at(index).state = state;
  shards_.at(index).job_id = job_id;
  write();
}

void UploadJournal::finished() {
  if (kept_) remove(name_);
  if (lock_.get() >= 0) {
    ::unlinkat(directory_fd_.get(), (name_ + ".lock").c_str(), 0);
    lock_.close();
  }
}

void UploadJournal::write() {
  if (!kept_) return;
  try {
    save();
  } catch (const std::exception& e) {
    // A journal that no longer tells the truth must not be resumed from.
    print_warning(" " + std::string(e.what()) + "; this upload cannot be resumed");
    try {
      remove(name_);
    } catch (const std::exception&) {
    }
    kept_ = false;
  }
}

void UploadJournal::save() {
  json shard_list = json::array();
  for (const auto& shard : shards_) {
    shard_list.push_back({{"begin", shard.begin},
                          {"end", shard.end},
                          {"first_record", shard.first_record},
                          {"records", shard.records},
                          {"state", kStates[static_cast<int>(shard.state)]},
                          {"job_id", shard.job_id}});
  }
  const std::string text =
      json{{"version", 1},
           {"key", key_},
           {"identity", identity_},
           {"answers", answers_},
           {"hashed", hashed_},
           {"sha256", sha256_},
           {"shards", shard_list},
           {"complete", complete_},
           {"vectors_before", vectors_before_ ? json(*vectors_before_) : json()}}
          .dump();
  // A name of its own each time, made where nothing stood (a link planted there is not
  // followed), 0600.
  std::string temporary = path_ + ".XXXXXX";
  Descriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
  if (out.get() < 0) failed("write", path_);
  const std::string temporary_name = temporary.substr(directory_.size() + 1);
  try {
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t wrote = ::write(out.get(), text.data() + done, text.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) failed("write", temporary);
      done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(out.get()) != 0 || !out.close()) failed("write", temporary);
    if (::renameat(directory_fd_.get(), temporary_name.c_str(), directory_fd_.get(),
                   name_.c_str()) != 0) {
      failed("replace", path_);
    }
  } catch (...) {
    ::unlinkat(directory_fd_.get(), temporary_name.c_str(), 0);
    throw;
  }
  // The rename itself is made to last too.
  ::fsync(directory_fd_.get());
}

void UploadJournal::remove(const std::string& name) {
  if (::unlinkat(directory_fd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
    failed("remove", path_);
  }
}

std::uint64_t UploadJournal::stored_records() const {
  std::uint64_t records = 0;
  for (const auto& shard : shards_) {
    if (shard.state == JournalShard::State::kFinished) records += shard.records;
  }
  return records;
}

std::size_t UploadJournal::stored_shards() const {
  std::size_t count = 0;
  for (const auto& shard : shards_) count += shard.state == JournalShard::State::kFinished;
  return count;
}

bool UploadJournal::holds_something() const {
  return std::any_of(shards_.begin(), shards_.end(), [](const JournalShard& shard) {
    return shard.state != JournalShard::State::kFailed;
  });
}

}  // namespace rest_client
