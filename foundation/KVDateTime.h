#pragma once
// Date-time values in the OLE automation layout that drivers and files hand over: a double counting
// days since 1899-12-30, the fraction being the time of day. Before that day the sign applies to the day count
// only, the fraction still runs forward: -1.25 is 1899-12-29 06:00. Valid values cover the years 1 to 9999.
//
// All formatting and parsing here is fixed, never taken from the C/C++ locale, so that text written on
// one machine reads the same on any other.
#include <string>
#include <string_view>

struct TKVDateTimeParts {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Fails for any field out of its range (year 1..9999, day within the month, 24-hour clock).
bool KVTryEncodeDateTime(const TKVDateTimeParts& parts, double& out);
// Rounds to the nearest millisecond, carrying into the next second/day (23:59:59.9996 is the next day's
// midnight). Fails for NaN, infinities and values outside the years 1..9999.
bool KVTryDecodeDateTime(double value, TKVDateTimeParts& out);
// As KVTryDecodeDateTime; a value it cannot decode raises EKVException.
TKVDateTimeParts KVDecodeDateTime(double value);
// The local wall-clock time, to the millisecond.
double KVNow();

// "dd.mm.yyyy hh:nn:ss" on a 24-hour clock; milliseconds are cut off, not rounded, so a time never shows
// a later second than it has reached. Raises EKVException for a value KVDecodeDateTime refuses.
std::string KVFormatFixedDateTime(double value);
// Day, month, year in that order with "." between them, 4-digit year, optionally followed by blanks and
// "hh:nn[:ss[.fraction]]"; day, month and time fields take one or two digits ("1.2.2020 3:4:5").
// No AM/PM. Surrounding blanks are allowed.
bool KVTryParseFixedDateTime(std::string_view text, double& out);

// "yyyy-mm-dd" when the time of day is zero, "hh:nn:ss" when the day is 1899-12-30 (so the value 0 is
// "00:00:00": a bare time is far more common than that date), otherwise "yyyy-mm-dd hh:nn:ss"; the time
// gains ".zzz" only when its milliseconds are not zero. Raises EKVException like KVFormatFixedDateTime.
std::string KVFormatIsoDateTime(double value);
// Reads any of
//   "yyyy-mm-dd[(T| )hh:nn[:ss[.fraction]]]"         the ISO forms
//   "dd.mm.yyyy[ hh:nn[:ss[.fraction]]]"             the fixed form
//   "mm/dd/yyyy[ hh:nn[:ss[.fraction]][ AM|PM]]"     the US form
//   "hh:nn[:ss[.fraction]][ AM|PM]"                  a time alone, on day 0
// A fraction of a second may have up to 9 digits (database timestamps carry more than milliseconds); it
// is rounded to the millisecond. With AM/PM the hour runs 1..12 and 12 AM is midnight.
bool KVTryParseDateTimeText(std::string_view text, double& out);
