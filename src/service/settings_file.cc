#include "service/settings_file.h"

#define SI_NO_CONVERSION 1
#include <SimpleIni.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/codepage.h"
#include "platform/text.h"

namespace kestrin::service {
namespace {

constexpr size_t kMaxValueLength = 2047;

// Writers within the process take turns; other processes may still edit the
// file between our reads and writes, as with any profile file.
std::mutex& FileMutex() {
  static std::mutex mutex;
  return mutex;
}

// Loads the file (missing or unreadable: empty) into `ini`; true when it existed.
bool Load(const std::string& path, CSimpleIniA& ini) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  ini.LoadData(platform::Cp1251ToUtf8(text.str()));
  return true;
}

}  // namespace

std::optional<std::string> SettingsFile::Lookup(const std::string& section,
                                                const std::string& key) const {
  std::lock_guard lock(FileMutex());
  CSimpleIniA ini(false, false, false);
  Load(path_, ini);
  const char* value = ini.GetValue(section.c_str(), key.c_str(), nullptr);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (text.size() > kMaxValueLength) text.resize(kMaxValueLength);
  return text;
}

std::string SettingsFile::Read(const std::string& section, const std::string& key,
                               const std::string& default_value) const {
  return Lookup(section, key).value_or(default_value);
}

int SettingsFile::ReadInt(const std::string& section, const std::string& key,
                          int default_value) const {
  std::optional<std::string> text = Lookup(section, key);
  return text ? ParseSettingInt(*text) : default_value;
}

void SettingsFile::Write(const std::string& section, const std::string& key,
                         const std::string& value) {
  std::lock_guard lock(FileMutex());
  CSimpleIniA ini(false, false, false);
  Load(path_, ini);
  ini.SetSpaces(false);  // "key=value", as profile files have it
  ini.SetValue(section.c_str(), key.c_str(), value.c_str());
  std::string data;
  if (ini.Save(data) < 0) throw SettingsWriteError("cannot build " + path_);
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  if (!out) throw SettingsWriteError("cannot write " + path_);
  out << platform::Utf8ToCp1251(data);
  out.flush();
  if (!out) throw SettingsWriteError("cannot write " + path_);
}

int ParseSettingInt(const std::string& text) {
  return platform::ParseDecimal(text, {.blanks = true}).value_or(0);
}

}  // namespace kestrin::service
