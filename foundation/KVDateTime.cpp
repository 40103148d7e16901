#include "foundation/KVDateTime.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Day number of a proleptic Gregorian date, counted from 1970-01-01.
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr int64_t kEpoch = DaysFromCivil(1899, 12, 30);
constexpr int64_t kFirstDay = DaysFromCivil(1, 1, 1) - kEpoch;
constexpr int64_t kLastDay = DaysFromCivil(9999, 12, 31) - kEpoch;

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// `ms` may be a whole day when a parsed fraction rounded up; that carries into the next day.
double JoinDayAndTime(int64_t day, int64_t ms) {
  if (ms >= kMsPerDay) {
    ++day;
    ms -= kMsPerDay;
  }
  const double time = static_cast<double>(ms) / kMsPerDay;
  return day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
}

bool SplitDayAndTime(double value, int64_t& day, int64_t& ms) {
  if (!std::isfinite(value) || value < kFirstDay - 1 || value > kLastDay + 1) return false;
  const double whole = std::trunc(value);
  day = static_cast<int64_t>(whole);
  ms = std::llround(std::fabs(value - whole) * kMsPerDay);
  if (ms >= kMsPerDay) {  // the time of day always runs forward, also before 1899-12-30
    ++day;
    ms -= kMsPerDay;
  }
  return day >= kFirstDay && day <= kLastDay;
}

void Append2(std::string& s, int v) {
  s += static_cast<char>('0' + v / 10);
  s += static_cast<char>('0' + v % 10);
}

void Append4(std::string& s, int v) {
  Append2(s, v / 100);
  Append2(s, v % 100);
}

std::string FormatDate(const TKVDateTimeParts& p) {
  std::string s;
  Append4(s, p.Year);
  s += '-';
  Append2(s, p.Month);
  s += '-';
  Append2(s, p.Day);
  return s;
}

std::string FormatTime(const TKVDateTimeParts& p, bool milliseconds) {
  std::string s;
  Append2(s, p.Hour);
  s += ':';
  Append2(s, p.Minute);
  s += ':';
  Append2(s, p.Second);
  if (milliseconds && p.Millisecond != 0) {
    s += '.';
    s += static_cast<char>('0' + p.Millisecond / 100);
    Append2(s, p.Millisecond % 100);
  }
  return s;
}

// A forward-only reader over the text being parsed.
class TScanner {
 public:
  explicit TScanner(std::string_view s) : m_Text(s) {}
  bool AtEnd() const { return m_Pos == m_Text.size(); }
  bool Eat(char c) {
    if (AtEnd() || m_Text[m_Pos] != c) return false;
    ++m_Pos;
    return true;
  }
  bool EatNoCase(char upper) {
    if (AtEnd() || (m_Text[m_Pos] & ~0x20) != upper) return false;
    ++m_Pos;
    return true;
  }
  int SkipBlanks() {
    int n = 0;
    while (!AtEnd() && (m_Text[m_Pos] == ' ' || m_Text[m_Pos] == '\t')) ++m_Pos, ++n;
    return n;
  }
  // Between minDigits and maxDigits decimal digits; more digits fail rather than being left over.
  bool Number(int minDigits, int maxDigits, int& value, int* digits = nullptr) {
    int n = 0;
    value = 0;
    while (!AtEnd() && m_Text[m_Pos] >= '0' && m_Text[m_Pos] <= '9') {
      if (++n > maxDigits) return false;
      value = value * 10 + (m_Text[m_Pos++] - '0');
    }
    if (digits) *digits = n;
    return n >= minDigits;
  }
  char Peek() const { return AtEnd() ? '\0' : m_Text[m_Pos]; }

 private:
  std::string_view m_Text;
  size_t m_Pos = 0;
};

// "hh:nn[:ss[.fraction]]" and, when allowed, a trailing AM/PM. Gives the milliseconds of the day, which
// may be a whole day when the fraction rounds up from 23:59:59.9995.
bool ParseTime(TScanner& sc, bool allowAmPm, int64_t& ms) {
  int h, n, s = 0, fraction = 0, digits = 0;
  if (!sc.Number(1, 2, h) || !sc.Eat(':') || !sc.Number(1, 2, n)) return false;
  if (sc.Eat(':')) {
    if (!sc.Number(1, 2, s)) return false;
    if (sc.Eat('.') && !sc.Number(1, 9, fraction, &digits)) return false;
  }
  if (allowAmPm) {
    sc.SkipBlanks();
    const bool am = sc.EatNoCase('A'), pm = !am && sc.EatNoCase('P');
    if (am || pm) {
      if (!sc.EatNoCase('M') || h < 1 || h > 12) return false;
      h = (h % 12) + (pm ? 12 : 0);
    }
  }
  if (h > 23 || n > 59 || s > 59) return false;
  int64_t scale = 1;
  for (int i = 0; i < digits; ++i) scale *= 10;
  const int64_t fractionMs = (fraction * int64_t{2000} + scale) / (2 * scale);  // rounded half up
  ms = ((h * int64_t{60} + n) * 60 + s) * 1000 + fractionMs;
  return true;
}

bool DayOf(int y, int m, int d, int64_t& day) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  day = DaysFromCivil(y, m, d) - kEpoch;
  return true;
}

enum class TDateOrder { Iso, Fixed, Us };

// One date form with an optional time after it; the whole text must be consumed.
bool ParseDateForm(std::string_view text, TDateOrder order, double& out) {
  TScanner sc(text);
  sc.SkipBlanks();
  int a = 0, b = 0, c = 0;
  bool ok = false;
  switch (order) {
    case TDateOrder::Iso:
      ok = sc.Number(4, 4, a) && sc.Eat('-') && sc.Number(1, 2, b) && sc.Eat('-') && sc.Number(1, 2, c);
      break;
    case TDateOrder::Fixed:
      ok = sc.Number(1, 2, c) && sc.Eat('.') && sc.Number(1, 2, b) && sc.Eat('.') && sc.Number(4, 4, a);
      break;
    case TDateOrder::Us:
      ok = sc.Number(1, 2, b) && sc.Eat('/') && sc.Number(1, 2, c) && sc.Eat('/') && sc.Number(4, 4, a);
      break;
  }
  int64_t day, ms = 0;
  if (!ok || !DayOf(a, b, c, day)) return false;
  const bool timeFollows = (order == TDateOrder::Iso && sc.Eat('T')) || (sc.SkipBlanks() > 0 && !sc.AtEnd());
  if (timeFollows) {
    if (!ParseTime(sc, order == TDateOrder::Us, ms)) return false;
    sc.SkipBlanks();
  }
  if (!sc.AtEnd()) return false;
  out = JoinDayAndTime(day, ms);
  return true;
}

}  // namespace

bool KVTryEncodeDateTime(const TKVDateTimeParts& p, double& out) {
  int64_t day;
  if (!DayOf(p.Year, p.Month, p.Day, day)) return false;
  if (p.Hour < 0 || p.Hour > 23 || p.Minute < 0 || p.Minute > 59 || p.Second < 0 || p.Second > 59 ||
      p.Millisecond < 0 || p.Millisecond > 999)
    return false;
  out = JoinDayAndTime(day, ((p.Hour * int64_t{60} + p.Minute) * 60 + p.Second) * 1000 + p.Millisecond);
  return true;
}

bool KVTryDecodeDateTime(double value, TKVDateTimeParts& out) {
  int64_t day, ms;
  if (!SplitDayAndTime(value, day, ms)) return false;
  CivilFromDays(day + kEpoch, out.Year, out.Month, out.Day);
  out.Millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  out.Second = static_cast<int>(ms % 60);
  ms /= 60;
  out.Minute = static_cast<int>(ms % 60);
  out.Hour = static_cast<int>(ms / 60);
  return true;
}

TKVDateTimeParts KVDecodeDateTime(double value) {
  TKVDateTimeParts p;
  if (!KVTryDecodeDateTime(value, p))
    throw EKVException("The value " + KVFormatDouble15(value) + " is not a valid date-time", nullptr,
                       "KVDecodeDateTime");
  return p;
}

double KVNow() {
  const auto since =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const std::time_t seconds = static_cast<std::time_t>(since / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  TKVDateTimeParts p{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                     // a leap second shows as the last second of its minute
                     local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<int>(since % 1000)};
  double value = 0;
  KVTryEncodeDateTime(p, value);
  return value;
}

std::string KVFormatFixedDateTime(double value) {
  const TKVDateTimeParts p = KVDecodeDateTime(value);
  std::string s;
  Append2(s, p.Day);
  s += '.';
  Append2(s, p.Month);
  s += '.';
  Append4(s, p.Year);
  s += ' ';
  return s + FormatTime(p, false);
}

bool KVTryParseFixedDateTime(std::string_view text, double& out) {
  return ParseDateForm(text, TDateOrder::Fixed, out);
}

std::string KVFormatIsoDateTime(double value) {
  const TKVDateTimeParts p = KVDecodeDateTime(value);
  const bool midnight = p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.Millisecond == 0;
  if (p.Year == 1899 && p.Month == 12 && p.Day == 30) return FormatTime(p, true);
  if (midnight) return FormatDate(p);
  return FormatDate(p) + ' ' + FormatTime(p, true);
}

bool KVTryParseDateTimeText(std::string_view text, double& out) {
  if (ParseDateForm(text, TDateOrder::Iso, out) || ParseDateForm(text, TDateOrder::Fixed, out) ||
      ParseDateForm(text, TDateOrder::Us, out))
    return true;
  TScanner sc(text);
  sc.SkipBlanks();
  int64_t ms;
  if (!ParseTime(sc, true, ms)) return false;
  sc.SkipBlanks();
  if (!sc.AtEnd()) return false;
  out = JoinDayAndTime(0, ms);
  return true;
}
