#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace kestrin::service {

// Raised when the settings file cannot be written.
class SettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// vs_settings.ini with profile-file semantics: sections and keys are matched
// without regard to case, every read and write opens the file anew, a write
// creates the file, section and key as needed and replaces a value in place.
// The file is kept in the eight-bit code page (Windows-1251); values are UTF-8
// in memory.
class SettingsFile {
 public:
  explicit SettingsFile(std::string path) : path_(std::move(path)) {}

  // The value of `key` in `section`, or `default_value` when absent. Values are
  // cut to 2047 characters.
  std::string Read(const std::string& section, const std::string& key,
                   const std::string& default_value) const;

  // An integer setting: signed decimal; text that does not parse gives 0.
  int ReadInt(const std::string& section, const std::string& key, int default_value) const;

  // Stores `value`; throws SettingsWriteError when the file cannot be written.
  void Write(const std::string& section, const std::string& key, const std::string& value);

  const std::string& path() const { return path_; }

 private:
  std::optional<std::string> Lookup(const std::string& section, const std::string& key) const;

  std::string path_;
};

// Signed decimal text to int as the settings do it: anything that is not a
// whole decimal number (after optional surrounding blanks) gives 0.
int ParseSettingInt(const std::string& text);

}  // namespace kestrin::service
