#include "platform/local_time.h"

#include <ctime>

#include <fmt/format.h>

namespace kestrin::platform {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

DateTime Now() {
  return std::chrono::system_clock::now();
}

DateTime MakeLocalDateTime(int year, int month, int day, int hour, int minute, int second,
                           int millisecond) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(millisecond);
}

LocalFields ToLocalFields(DateTime t) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(t);
  std::time_t tt = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  localtime_r(&tt, &tm);
  LocalFields f;
  f.year = tm.tm_year + 1900;
  f.month = tm.tm_mon + 1;
  f.day = tm.tm_mday;
  f.hour = tm.tm_hour;
  f.minute = tm.tm_min;
  f.second = tm.tm_sec;
  f.millisecond =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - seconds).count());
  return f;
}

std::string FormatDateTime(DateTime t) {
  LocalFields f = ToLocalFields(t);
  std::string date = fmt::format("{:02}.{:02}.{:04}", f.day, f.month, f.year);
  if (f.hour == 0 && f.minute == 0 && f.second == 0 && f.millisecond == 0) return date;
  return fmt::format("{} {:02}:{:02}:{:02}", date, f.hour, f.minute, f.second);
}

DateTime NeverMark() {
  return MakeLocalDateTime(2020, 1, 1);
}

bool IsAbsentTime(DateTime t) {
  return ToLocalFields(t).year <= 2020;
}

}  // namespace kestrin::platform
