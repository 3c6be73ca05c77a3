#pragma once

#include <chrono>
#include <string>

namespace kestrin::platform {

// A point in time; shown and split in the machine's local time zone.
using DateTime = std::chrono::system_clock::time_point;

// The parts of a DateTime in local time.
struct LocalFields {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Whether `year` of the Gregorian calendar has a 29 February.
bool IsLeapYear(int year);

// The number of days of `month` (1..12) of `year`.
int DaysInMonth(int year, int month);

DateTime Now();

// The local date-time of the given parts (normalised like mktime does).
DateTime MakeLocalDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                           int second = 0, int millisecond = 0);

LocalFields ToLocalFields(DateTime t);

// Russian regional format "dd.mm.yyyy hh:nn:ss"; exactly midnight gives the
// date alone.
std::string FormatDateTime(DateTime t);

// The never mark: local 2020-01-01 00:00:00, standing for "no session".
DateTime NeverMark();

// Readers treat any time in 2020 or earlier as absent.
bool IsAbsentTime(DateTime t);

}  // namespace kestrin::platform
