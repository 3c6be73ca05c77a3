#include "platform/machine_id.h"

#include <fstream>
#include <sstream>

namespace kestrin::platform {

std::string ReadMachineKey(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  std::string key;
  for (char c : text.str()) {
    if (c != '-') key += c;
  }
  size_t begin = key.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return kFallbackMachineKey;
  size_t end = key.find_last_not_of(" \t\r\n");
  return key.substr(begin, end - begin + 1);
}

}  // namespace kestrin::platform
