#include "link/session_messages.h"

#include <nlohmann/json.hpp>

#include "platform/codepage.h"
#include "service/bounded_json.h"

namespace kestrin::link {
namespace {

// A JSON value as text: strings as they are, everything else as written.
std::string ValueText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

}  // namespace

MessageKind ClassifyMessage(std::string_view text) {
  if (text.find(R"("type":"event")") != std::string_view::npos) return MessageKind::kEvent;
  if (text.find(R"("answer":"welcome")") != std::string_view::npos) return MessageKind::kWelcome;
  if (text.find(R"("atype":401)") != std::string_view::npos) return MessageKind::kDatabaseAnswer;
  return MessageKind::kOther;
}

std::string ReceivedText(std::string_view payload) {
  size_t begin = 0;
  size_t end = payload.size();
  while (begin < end && static_cast<unsigned char>(payload[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(payload[end - 1]) <= 32) --end;
  return platform::Cp1251ToUtf8(payload.substr(begin, end - begin));
}

std::string LoginMessage(const std::string& login, const std::string& digest) {
  return R"({"command":"login","user":)" + nlohmann::json(login).dump() + R"(,"password":)" +
         nlohmann::json(digest).dump() + "}";
}

DatabaseAnswer ParseDatabaseAnswer(const std::string& text) {
  DatabaseAnswer answer;
  nlohmann::json root = service::ParseBoundedJson(text);
  if (root.is_discarded() || !root.is_object()) return answer;
  auto outer = root.find("answer");
  if (outer == root.end() || !outer->is_object()) return answer;
  std::string* targets[] = {&answer.path, &answer.user, &answer.password};
  const char* names[] = {"path", "user", "password"};
  for (int i = 0; i < 3; ++i) {
    auto member = outer->find(names[i]);
    if (member == outer->end()) break;
    *targets[i] = ValueText(*member);
  }
  return answer;
}

}  // namespace kestrin::link
