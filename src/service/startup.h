#pragma once

#include <string>

#include "platform/shared_library.h"
#include "service/service_state.h"

namespace kestrin::service {

// Checks that the home folder holds a 64-bit libfbclient.so.2 and loads it
// (globally, for the database layer). Logs the matching error and returns
// false when it is missing, of the wrong kind or cannot be loaded.
bool LoadDatabaseClient(ServiceState& state, platform::SharedLibrary& library);

// The archive folder for the configured text `configured` (main/arch) and the
// home folder: the configured folder without its trailing separators when it
// exists; otherwise home/images, created when missing. `write_back` tells
// whether the default was applied and must be written to main/arch. Empty
// when neither folder is usable.
struct ArchiveResolution {
  std::string path;
  bool write_back = false;
};
ArchiveResolution ResolveArchiveFolder(const std::string& configured, const std::string& home);

// Reads the settings into the state: the server connection (password digest
// deciphered with `sekey`), the naming format, the archive limit and the
// archive folder, writing main/arch when the default folder was applied.
// Throws SettingsWriteError when that write fails.
void ReadSettings(ServiceState& state);

}  // namespace kestrin::service
