#include "link/camera_addresses.h"

namespace kestrin::link {

std::array<std::string, kCameraCount> CameraAddresses(const std::vector<CameraRow>& rows) {
  std::array<std::string, kCameraCount> addresses;
  for (const CameraRow& row : rows) {
    if (row.id >= 1 && row.id <= kCameraCount) addresses[row.id - 1] = row.url;
  }
  return addresses;
}

}  // namespace kestrin::link
