#include "web/event_codes.h"

#include <array>

namespace kestrin::web {
namespace {

struct EventKind {
  std::string_view name;
  std::string_view code_direct;   // direction flag 1
  std::string_view code_swapped;  // any other direction flag
};

constexpr std::array<EventKind, kEventKindCount> kEventKinds = {{
    {"доступ разрешен - вход", "0002", "0004"},
    {"доступ разрешен - выход", "0004", "0002"},
    {"проход - вход", "0003", "0005"},
    {"проход - выход", "0005", "0003"},
    {"неизвестный ключ - вход", "0202", "0204"},
    {"неизвестный ключ - выход", "0204", "0202"},
    {"отказ в доступе (ключ) - вход", "0102", "0104"},
    {"отказ в доступе (ключ) - выход", "0104", "0102"},
    {"отказ в доступе (лимит проходов) - вход", "0802", "0804"},
    {"отказ в доступе (лимит проходов) - выход", "0804", "0802"},
    {"отказ в доступе (график) - вход", "0502", "0504"},
    {"отказ в доступе (график) - выход", "0504", "0502"},
    {"отказ в доступе (режим) - вход", "0602", "0604"},
    {"отказ в доступе (режим) - выход", "0604", "0602"},
    {"отказ в доступе (повторный проход) - вход", "0702", "0704"},
    {"отказ в доступе (повторный проход) - выход", "0704", "0702"},
    {"открытие с пульта - вход", "0901", "0902"},
    {"открытие с пульта - выход", "0902", "0901"},
    {"открытие корпуса (тампер)", "D001", "D001"},
    {"закрытие корпуса (тампер)", "D000", "D000"},
    {"взлом", "0001", "0001"},
    {"нажата кнопка", "0008", "0008"},
    {"нажата кнопка (программно)", "0A08", "0A08"},
    {"проход по кнопке", "0009", "0009"},
    {"контроллер включен", "FF80", "FF80"},
    {"пожарная тревога", "FAFA", "FAFA"},
    {"ожидание подтверждения доступа - вход", "CF02", "CF04"},
    {"ожидание подтверждения доступа - выход", "CF04", "CF02"},
}};

// The rules list shows the break-in code in capitals, unlike the event list.
constexpr std::string_view kBreakInCode = "0001";
constexpr std::string_view kBreakInName = "ВЗЛОМ";

// Index (1-based) of the kind whose code for `direction` is `code`; 0 when none.
int FindKind(std::string_view code, int direction) {
  for (int i = 0; i < kEventKindCount; ++i) {
    const EventKind& kind = kEventKinds[i];
    if ((direction == 1 ? kind.code_direct : kind.code_swapped) == code) return i + 1;
  }
  return 0;
}

}  // namespace

std::string_view EventListName(int index) {
  if (index < 1 || index > kEventKindCount) return {};
  return kEventKinds[index - 1].name;
}

std::string_view EventCodeOf(int index, int direction) {
  if (index < 1 || index > kEventKindCount) return {};
  const EventKind& kind = kEventKinds[index - 1];
  return direction == 1 ? kind.code_direct : kind.code_swapped;
}

int EventIndexOfCode(std::string_view code, int direction) {
  int index = FindKind(code, direction);
  return index == 0 ? 1 : index;
}

std::string_view EventNameOfCode(std::string_view code, int direction) {
  int index = FindKind(code, direction);
  if (index == 0) return {};
  if (code == kBreakInCode) return kBreakInName;
  return kEventKinds[index - 1].name;
}

}  // namespace kestrin::web
