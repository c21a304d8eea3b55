// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/date_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace pyralis {

namespace {

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

constexpr int64_t kEpochOffsetDays = 25569;  // 1899-12-30 to 1970-01-01

}  // namespace

std::optional<TDateTime> try_encode_date_time(int year, int month, int day, int hour, int minute,
                                              int second, int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || millisecond < 0 || millisecond > 999)
    return std::nullopt;
  const double days = static_cast<double>(days_from_civil(year, month, day) + kEpochOffsetDays);
  const double time = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) /
                      86400000.0;
  // The value runs on in one direction: before the epoch too, the day is the whole number
  // below the value and the time of day the fraction above it (-0.75 is 1899-12-29 06:00).
  return days + time;
}

TDateTime unix_to_date_time(int64_t seconds) {
  return static_cast<double>(seconds) / 86400.0 + kEpochOffsetDays;
}

TDateTime unix_to_local_date_time(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return unix_to_date_time(seconds);
  return unix_to_date_time(seconds + local.tm_gmtoff);
}

std::optional<int64_t> local_date_time_to_unix(TDateTime value) {
  if (value == 0.0) return std::nullopt;
  const DateTimeParts p = decode_date_time(value);
  std::tm local{};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;  // let the zone's rules say whether summer time applied then
  local.tm_wday = -1;   // set by a successful conversion: -1 is also a valid instant
  const std::time_t t = std::mktime(&local);
  if (local.tm_wday < 0) return std::nullopt;
  return static_cast<int64_t>(t);
}

DateTimeParts decode_date_time(TDateTime value) {
  // Values no calendar date stands for (NaN, infinities, beyond the years 1 to 9999) read as
  // the missing date instead of overflowing the integer conversions below.
  if (!std::isfinite(value) || value < -693594.0 || value > 2958466.0) value = 0.0;
  // The day is the whole number at or below the value, the time of day what lies above it,
  // before the epoch as after it. Whole milliseconds, rounded, so 0.5 s steps of DOS times
  // never show as :59.
  const double day_part = std::floor(value);
  int64_t ms = std::llround((value - day_part) * 86400000.0);
  int64_t days = static_cast<int64_t>(day_part);
  if (ms >= 86400000) {
    ms -= 86400000;
    ++days;
  }
  DateTimeParts p{};
  civil_from_days(days - kEpochOffsetDays, p.year, p.month, p.day);
  const int64_t secs = ms / 1000;
  p.hour = static_cast<int>(secs / 3600);
  p.minute = static_cast<int>(secs / 60 % 60);
  p.second = static_cast<int>(secs % 60);
  return p;
}

std::string format_list_date(TDateTime value) {
  static const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const DateTimeParts p = decode_date_time(value);
  char text[48];
  std::snprintf(text, sizeof text, "%02d-%s-%04d %02d:%02d", p.day, kMonths[(p.month + 11) % 12],
                p.year, p.hour, p.minute);
  return text;
}

std::string format_iso_date(TDateTime value) {
  if (value == 0.0) return "";
  const DateTimeParts p = decode_date_time(value);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return text;
}

}  // namespace pyralis
