#include "service/library_check.h"

#include <fstream>

namespace kestrin::service {

std::string LibraryArchitecture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char header[5] = {};
  if (!in || !in.read(header, sizeof(header))) return "unknown";
  if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
    return "unknown";
  }
  if (header[4] == 2) return "64-bit";
  if (header[4] == 1) return "32-bit";
  return "unknown";
}

}  // namespace kestrin::service
