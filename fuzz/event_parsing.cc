// Feeds the payload of one frame from the access-control server through the
// session's reading of it (text conversion, classification) and, as the
// event thread would, through the event parse and the photo naming built on
// its result. The raw bytes also go to the event parse directly, as a
// demonstration event or any queued text could reach it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "capture/event_parsing.h"
#include "capture/photo_naming.h"
#include "fuzz_support.h"
#include "link/session_messages.h"
#include "platform/codepage.h"

namespace {

using namespace kestrin;

constexpr std::string_view kArchive = "/var/lib/kestrin/images";

bool IsHexUpper(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void CheckEvent(const capture::Event& event) {
  const platform::LocalFields& t = event.time;
  FUZZ_CHECK(t.year >= 1 && t.year <= 9999 && t.month >= 1 && t.month <= 12);
  FUZZ_CHECK(t.day >= 1 && t.day <= 31 && t.hour >= 0 && t.hour <= 23);
  FUZZ_CHECK(t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59);

  // The time written in the message's own form reads back the same.
  std::string written = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", t.year, t.month, t.day,
                                    t.hour, t.minute, t.second);
  std::optional<platform::LocalFields> again = capture::ParseEventTime(written);
  FUZZ_CHECK(again && again->year == t.year && again->month == t.month && again->day == t.day &&
             again->hour == t.hour && again->minute == t.minute && again->second == t.second);

  // The event code: each half of at least two upper-case hexadecimal digits;
  // a four-digit code comes back from its two values.
  const std::string& code = event.event_code;
  FUZZ_CHECK(code.size() >= 4 && code.size() <= 16 && IsHexUpper(code));
  if (code.size() == 4) {
    uint64_t ev1 = capture::DecodeHexPair(code.substr(0, 2)).value();
    uint64_t ev2 = capture::DecodeHexPair(code.substr(2, 2)).value();
    FUZZ_CHECK(capture::MakeEventCode(std::to_string(ev1), std::to_string(ev2)) == code);
  }

  // The photo names of the event, in every name format.
  for (int name_format : {0, 1, 2}) {
    std::string name = capture::MakePhotoName(event.controller, t, name_format);
    FUZZ_CHECK(name.substr(0, event.controller.size() + 1) == event.controller + "_");
    std::string time_part = name.substr(event.controller.size() + 1);
    if (name_format != 0) {
      FUZZ_CHECK(time_part.size() == 12);
      continue;
    }
    if (t.year < 2000 || t.year > 2255) continue;
    // The hexadecimal time part decodes to the event time, and a client's
    // addressed name for a 12-character controller turns into the name a
    // saver of formats 1 and 2 writes.
    FUZZ_CHECK(time_part.size() == 12);
    std::optional<platform::LocalFields> decoded = capture::DecodeHexTime(time_part);
    FUZZ_CHECK(decoded && decoded->year == t.year && decoded->month == t.month &&
               decoded->day == t.day && decoded->hour == t.hour && decoded->minute == t.minute &&
               decoded->second == t.second);
    if (event.controller.size() == capture::kControllerIdLength) {
      for (int stored_format : {1, 2}) {
        FUZZ_CHECK(capture::StoredPhotoName(name, stored_format) ==
                   capture::MakePhotoName(event.controller, t, stored_format));
      }
    }
  }

  // A controller the event thread accepts keeps the photo in the archive.
  if (capture::IsSafeNamePart(event.controller)) {
    std::string path = capture::MakePhotoPath(
        kArchive, capture::MakePhotoName(event.controller, t, 0), capture::kSingleFrameKind);
    FUZZ_CHECK(path.substr(0, kArchive.size() + 1) == std::string(kArchive) + "/");
    FUZZ_CHECK(path.find('/', kArchive.size() + 1) == std::string::npos);
  }
  std::string last = capture::MakeLastFileName(event.controller, t);
  FUZZ_CHECK(last.size() == event.controller.size() + 14);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view payload(reinterpret_cast<const char*>(data), size);

  // The session's text: trimmed, UTF-8, and the same characters as the
  // eight-bit payload.
  std::string text = link::ReceivedText(payload);
  if (!text.empty()) {
    FUZZ_CHECK(static_cast<unsigned char>(text.front()) > 32);
    FUZZ_CHECK(static_cast<unsigned char>(text.back()) > 32);
  }
  FUZZ_CHECK(fuzz::IsValidUtf8(text));
  if (payload.find('\x98') == std::string_view::npos) {
    // Every other byte of the code page is a character: the conversion back
    // gives the trimmed payload.
    size_t begin = 0;
    size_t end = payload.size();
    while (begin < end && static_cast<unsigned char>(payload[begin]) <= 32) ++begin;
    while (end > begin && static_cast<unsigned char>(payload[end - 1]) <= 32) --end;
    FUZZ_CHECK(platform::Utf8ToCp1251(text) == payload.substr(begin, end - begin));
  }

  // The first piece in the order of the tests decides.
  link::MessageKind kind = link::ClassifyMessage(text);
  const bool event_piece = text.find(R"("type":"event")") != std::string::npos;
  FUZZ_CHECK((kind == link::MessageKind::kEvent) == event_piece);
  if (!event_piece && text.find(R"("answer":"welcome")") != std::string::npos)
    FUZZ_CHECK(kind == link::MessageKind::kWelcome);

  if (std::optional<capture::Event> event = capture::ParseEvent(text)) CheckEvent(*event);
  if (std::optional<capture::Event> event = capture::ParseEvent(payload)) CheckEvent(*event);

  // The time and code rules on their own, fed with the payload's pieces.
  size_t split = payload.find('\n');
  std::string_view first = payload.substr(0, split);
  std::string_view second =
      split == std::string_view::npos ? std::string_view() : payload.substr(split + 1);
  if (auto time = capture::ParseEventTime(first)) {
    FUZZ_CHECK(time->month >= 1 && time->month <= 12 && time->day >= 1 && time->day <= 31);
  }
  if (auto code = capture::MakeEventCode(first, second)) {
    FUZZ_CHECK(code->size() >= 4 && code->size() <= 16 && IsHexUpper(*code));
  }
  return 0;
}
