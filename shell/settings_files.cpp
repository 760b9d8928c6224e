#include "shell/settings_files.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "client/limits.h"

namespace {

namespace limits = rest_client::limits;

std::string error_text(int error) {
  return std::strerror(error);
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

// "default" or "profile NAME" for the text inside a section's brackets, spaced any way; nullopt
// for any other section. A name is letters, digits, '-', '_' and '.'.
std::optional<std::string> known_section(std::string_view inside) {
  std::istringstream words{std::string(inside)};
  std::string first, name, more;
  words >> first >> name >> more;
  if (first == "default" && name.empty()) return first;
  if (first != "profile" || name.empty() || !more.empty()) return std::nullopt;
  const bool plain = std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
  if (!plain) return std::nullopt;
  return "profile " + name;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens a settings file for reading: a regular file of a bounded size. Null when there is none.
OwnedFile open_settings(const std::string& path, struct stat* about) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return nullptr;
    throw SettingsError(path + " cannot be read: " + error_text(errno));
  }
  OwnedFile file(::fdopen(fd, "r"));
  if (!file) {
    ::close(fd);
    throw SettingsError(path + " cannot be read: " + error_text(errno));
  }
  if (::fstat(fd, about) != 0) throw SettingsError(path + " cannot be read: " + error_text(errno));
  if (!S_ISREG(about->st_mode)) throw SettingsError(path + " is not a regular file");
  if (static_cast<std::uint64_t>(about->st_size) > limits::kLargestSettingsFile) {
    throw SettingsError(path + " is larger than " +
                        std::to_string(limits::kLargestSettingsFile >> 10) + " KiB");
  }
  return file;
}

// What inih is handed: lines counted as they are read, leading blanks dropped (inih would take
// an indented line for the continuation of the one before), and a line too long for its
// buffer noted instead of being split.
struct Reading {
  std::FILE* file;
  const std::vector<std::string>* keys;
  IniFile* out;
  int line = 0;
  int problem_line = 0;
  std::string problem;

  void note(const std::string& what) {
    if (problem_line != 0) return;
    problem_line = line;
    problem = what;
  }
};

char* next_line(char* buffer, int size, void* stream) {
  auto* reading = static_cast<Reading*>(stream);
  if (std::fgets(buffer, size, reading->file) == nullptr) return nullptr;
  ++reading->line;
  std::size_t length = std::strlen(buffer);
  if (length > 0 && buffer[length - 1] != '\n' && !std::feof(reading->file)) {
    // The rest of an over-long line is passed over; the line itself counts as a problem.
    for (int c = std::fgetc(reading->file); c != EOF && c != '\n';) c = std::fgetc(reading->file);
    reading->note("the line is longer than " + std::to_string(limits::kLongestSettingsLine) +
                  " characters");
    std::strcpy(buffer, "\n");
    return buffer;
  }
  const std::size_t blanks = std::strspn(buffer, " \t");
  std::memmove(buffer, buffer + blanks, length - blanks + 1);
  // A section is known from its header, even one that holds no setting yet.
  if (buffer[0] == '[') {
    const char* close = std::strchr(buffer, ']');
    const auto known = close ? known_section(std::string_view(
                                   buffer + 1, static_cast<std::size_t>(close - buffer - 1)))
                             : std::nullopt;
    auto& sections = reading->out->sections;
    if (known && std::find(sections.begin(), sections.end(), *known) == sections.end()) {
      sections.push_back(*known);
    }
    if (close && close - buffer - 1 >= 49) {
      reading->note("a section name is longer than 48 characters");  // inih's bound
    } else if (close && !known) {
      reading->note(std::string("[").append(static_cast<const char*>(buffer) + 1, close) +
                    "] is neither [default] nor [profile NAME]");
    }
  }
  return buffer;
}

int take_entry(void* user, const char* section, const char* name, const char* value) {
  auto* reading = static_cast<Reading*>(user);
  IniFile& out = *reading->out;
  const auto known = known_section(section);
  if (!known) {
    reading->note(*section == '\0' ? "a setting comes before any [default] or [profile NAME]"
                                   : std::string("[").append(section) +
                                         "] is neither [default] nor [profile NAME]");
    return 0;
  }
  if (std::find(reading->keys->begin(), reading->keys->end(), name) == reading->keys->end()) {
    std::string allowed;
    for (const auto& key : *reading->keys) allowed += (allowed.empty() ? "" : ", ") + key;
    reading->note("unknown setting \"" + std::string(name) + "\" (known: " + allowed + ")");
    return 0;
  }
  if (out.find(*known, name) != nullptr) {
    reading->note("[" + *known + "] sets " + name + " twice");
    return 0;
  }
  out.entries.push_back({*known, name, value, reading->line});
  return 1;
}

// Creates the settings directory, and any missing directory above it, for the user alone.
void make_private_dirs(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw SettingsError(part + " cannot be created: " + error_text(errno));
    }
    if (slash == std::string::npos) return;
  }
}

// The text of `path` (empty when there is none), which must be the user's own regular file.
std::string current_text(const std::string& path) {
  struct stat about {};
  const OwnedFile file = open_settings(path, &about);
  if (!file) return {};
  if (about.st_uid != ::geteuid()) throw SettingsError(path + " is not yours; nothing was saved");
  std::string text(static_cast<std::size_t>(about.st_size), '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file.get()));
  return text;
}

// `text` with `key = value` set in `section`: the line replaced where the key is, else added
// after the section's header, else a new section at the end.
std::string with_setting(const std::string& text, const std::string& section,
                         const std::string& key, const std::string& value) {
  std::vector<std::string> lines;
  std::istringstream split(text);
  for (std::string line; std::getline(split, line);) lines.push_back(line);
  const std::string setting = key + " = " + value;
  std::optional<std::size_t> header, found;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size() && !found; ++i) {
    const std::string line = trimmed(lines[i]);
    if (!line.empty() && line.front() == '[') {
      const auto close = line.find(']');
      inside = close != std::string::npos &&
               known_section(std::string_view(line).substr(1, close - 1)) == section;
      if (inside && !header) header = i;
      continue;
    }
    const auto separator = line.find_first_of("=:");
    if (inside && separator != std::string::npos && trimmed(line.substr(0, separator)) == key) {
      found = i;
    }
  }
  if (found) {
    lines[*found] = setting;
  } else if (header) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*header) + 1, setting);
  } else {
    if (!lines.empty() && !trimmed(lines.back()).empty()) lines.push_back("");
    lines.push_back("[" + section + "]");
    lines.push_back(setting);
  }
  std::string joined;
  for (const auto& line : lines) joined += line + "\n";
  return joined;
}

}  // namespace

bool IniFile::has_section(const std::string& section) const {
  return std::find(sections.begin(), sections.end(), section) != sections.end();
}

const IniEntry* IniFile::find(const std::string& section, const std::string& key) const {
  for (const auto& entry : entries) {
    if (entry.section == section && entry.key == key) return &entry;
  }
  return nullptr;
}

std::string settings_dir(const EnvironmentLookup& environment) {
  const auto config = environment("XDG_CONFIG_HOME");
  if (config && !config->empty() && config->front() == '/') return *config + "/orvix";
  const auto home = environment("HOME");
  if (home && !home->empty()) return *home + "/.config/orvix";
  return {};
}

std::string section_of(const std::string& profile) {
  return profile == "default" ? profile : "profile " + profile;
}

IniFile read_ini(const std::string& path, const std::vector<std::string>& keys) {
  IniFile out;
  out.path = path;
  struct stat about {};
  const OwnedFile file = open_settings(path, &about);
  if (!file) return out;
  out.present = true;
  Reading reading{file.get(), &keys, &out, 0, 0, {}};
  const int failed = ini_parse_stream(next_line, &reading, take_entry, &reading);
  if (failed < 0) throw SettingsError(path + " cannot be read");
  if (failed > 0 && (reading.problem_line == 0 || failed < reading.problem_line)) {
    throw SettingsError(path + " line " + std::to_string(failed) +
                        ": not `key = value`, [default] or [profile NAME]");
  }
  if (reading.problem_line != 0) {
    throw SettingsError(path + " line " + std::to_string(reading.problem_line) + ": " +
                        reading.problem);
  }
  return out;
}

StoredKey read_stored_key(const std::string& path, const std::string& section) {
  StoredKey stored;
  stored.origin = path + " [" + section + "]";
  struct stat about {};
  if (::stat(path.c_str(), &about) != 0) return stored;
  if (about.st_uid != ::geteuid()) {
    stored.warning = path + " is not used: it is not yours";
    return stored;
  }
  if ((about.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
    stored.warning =
        path + " is not used: its mode " + mode + " lets others read it (chmod 600 " + path + ")";
    return stored;
  }
  const IniFile file = read_ini(path, {"api_key"});
  if (const IniEntry* entry = file.find(section, "api_key")) stored.key = entry->value;
  return stored;
}

std::string save_key(const std::string& path, const std::string& section, const std::string& key) {
  const bool plain =
      std::all_of(key.begin(), key.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
  if (!plain || key.size() + 10 > limits::kLongestSettingsLine) {
    throw SettingsError("the key cannot be stored in " + path +
                        " (it holds blanks or control characters, or is longer than " +
                        std::to_string(limits::kLongestSettingsLine - 10) + " characters)");
  }
  const std::string dir = path.substr(0, path.rfind('/'));
  make_private_dirs(dir);
  const std::string text = with_setting(current_text(path), section, "api_key", key);
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) throw SettingsError(path + " cannot be written: " + error_text(errno));
  bool written = ::fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  const int error = errno;
  written = written && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int cause = written ? errno : error;
    ::unlink(temporary.c_str());
    throw SettingsError(path + " cannot be written: " + error_text(cause));
  }
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return path + " [" + section + "]";
}
