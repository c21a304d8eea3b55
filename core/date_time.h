// SPDX-License-Identifier: GPL-3.0-or-later
// The date-time value of the catalogue: days since 1899-12-30 00:00 as a double.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/found_files.h"

namespace pyralis {

// Encodes a calendar date and time; none when a field is out of range (month 0, day 31 in
// April, hour 24, ...).
std::optional<TDateTime> try_encode_date_time(int year, int month, int day, int hour, int minute,
                                              int second, int millisecond = 0);
// Seconds since 1970-01-01 00:00 UTC to a date-time in UTC (seconds / 86400 + 25569).
TDateTime unix_to_date_time(int64_t seconds);
// The same instant as a date-time of the local time zone (TZ, /etc/localtime).
TDateTime unix_to_local_date_time(int64_t seconds);
// A date-time of the local time zone as seconds since 1970-01-01 00:00 UTC (the zone's rule
// for that date decides summer time); none for 0.0 or when the system cannot place it.
std::optional<int64_t> local_date_time_to_unix(TDateTime value);

struct DateTimeParts {
  int year, month, day, hour, minute, second;
};
DateTimeParts decode_date_time(TDateTime value);

// "dd-mmm-yyyy hh:nn" with English short month names (05-Mar-2004 14:07).
std::string format_list_date(TDateTime value);
// "YYYY-MM-DD hh:mm:ss"; empty for 0.0.
std::string format_iso_date(TDateTime value);

}  // namespace pyralis
