// bench_picture_stamp: prints the time stamps (tools/camsim/picture_stamp.h)
// of saved photos.
//
//   bench_picture_stamp FILE...
//
// One line per file: the file name, then the stamp of each picture in it (a
// plain JPEG holds one, a multi-frame file one per record), "-" for a picture
// without a readable stamp. A file that cannot be read or parsed gives the
// name and "unreadable". Exits 1 when any file gave no stamp at all.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/multi_frame.h"
#include "picture_stamp.h"

namespace {

// The pictures of a plain JPEG or a multi-frame file.
std::optional<std::vector<std::string_view>> Pictures(std::string_view file) {
  if (file.size() >= 2 && static_cast<uint8_t>(file[0]) == 0xFF &&
      static_cast<uint8_t>(file[1]) == 0xD8) {
    return std::vector<std::string_view>{file};
  }
  return kestrin::capture::ParseMultiFrame(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_picture_stamp FILE...\n");
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line = argv[i];
    const auto pictures = in.bad() ? std::nullopt : Pictures(file);
    bool any = false;
    if (!pictures || pictures->empty()) {
      line += " unreadable";
    } else {
      for (std::string_view picture : *pictures) {
        const std::optional<uint32_t> stamp = kestrin::camsim::ReadJpegStamp(picture);
        line += stamp ? " " + std::to_string(*stamp) : std::string(" -");
        any = any || stamp.has_value();
      }
    }
    if (!any) status = 1;
    std::printf("%s\n", line.c_str());
  }
  return status;
}
