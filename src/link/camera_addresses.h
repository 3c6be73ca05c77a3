#pragma once

#include <array>
#include <string>
#include <vector>

namespace kestrin::link {

inline constexpr int kCameraCount = 9;

// One row of the camera table FB_IPC.
struct CameraRow {
  int id = 0;
  std::string url;
};

// The addresses of camera numbers 1..9 (index 0..8) from the rows in the order
// returned: IDs outside 1..9 are ignored, a later row with the same ID
// replaces an earlier one, a number without a row gets an empty address.
std::array<std::string, kCameraCount> CameraAddresses(const std::vector<CameraRow>& rows);

}  // namespace kestrin::link
