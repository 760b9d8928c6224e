#pragma once
// The user's settings files, in $XDG_CONFIG_HOME/orvix (else ~/.config/orvix): `config` holds
// each profile's settings and `credentials` each profile's key. Both are INI files of a
// [default] section and [profile NAME] sections holding `key = value` lines.

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Looks an environment variable up (nullopt when it is not set).
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// A file that cannot be used as it is: the message names the file, and the line when there is
// one.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct IniEntry {
  std::string section;  // "default" or "profile NAME"
  std::string key;
  std::string value;
  int line = 0;
};

struct IniFile {
  std::string path;
  bool present = false;               // false: there is no such file
  std::vector<std::string> sections;  // in the order they first appear
  std::vector<IniEntry> entries;

  bool has_section(const std::string& section) const;
  const IniEntry* find(const std::string& section, const std::string& key) const;
};

// The directory of the settings files; empty when neither XDG_CONFIG_HOME (an absolute path)
// nor HOME names one.
std::string settings_dir(const EnvironmentLookup& environment);

// The section that holds a profile: "default" for the profile named default, else
// "profile NAME".
std::string section_of(const std::string& profile);

// Reads an INI file whose settings are among `keys` (read with inih). Throws SettingsError for a
// file that cannot be read, a line that is neither `key = value` nor a [default] or
// [profile NAME] section, a key not among `keys`, or a key set twice in a section.
IniFile read_ini(const std::string& path, const std::vector<std::string>& keys);

// A key stored for a profile, where it came from, or why the file was not used.
struct StoredKey {
  std::optional<std::string> key;
  std::string origin;   // "FILE [SECTION]"
  std::string warning;  // the file was passed over: others may read it, or it is not the user's
};

// The `api_key` of `section` in the credentials file at `path`. A file that group or others may
// use, or that is not the user's own, is passed over with a warning (as libpq passes over a
// .pgpass); a file that is not INI throws SettingsError.
StoredKey read_stored_key(const std::string& path, const std::string& section);

// Stores `key` as the `api_key` of `section`, keeping every other line of the file as it was:
// the directory is created 0700 and the file written 0600 under a temporary name, then renamed
// over the old one. Returns where it went ("FILE [SECTION]"); throws SettingsError when it
// cannot.
std::string save_key(const std::string& path, const std::string& section, const std::string& key);
