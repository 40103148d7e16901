#include "foundation/KVConvert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "foundation/KVText.h"

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Turns the C-locale output of to_chars ("1e+20", "-inf") into this program's form ("1E20", "-INF").
std::string Restyle(const char* first, const char* last) {
  std::string_view s(first, static_cast<size_t>(last - first));
  if (s == "nan" || s == "-nan") return "NAN";
  if (s == "inf") return "INF";
  if (s == "-inf") return "-INF";
  size_t e = s.find('e');
  if (e == std::string_view::npos) return std::string(s);
  std::string r(s.substr(0, e));
  r += 'E';
  size_t p = e + 1;
  if (s[p] == '-') r += '-';
  if (s[p] == '-' || s[p] == '+') ++p;
  while (p + 1 < s.size() && s[p] == '0') ++p;
  r.append(s.substr(p));
  return r;
}

// Decides whether a number that from_chars found out of range was too small rather than too large:
// the power of ten of its first significant digit is negative. `s` is already known to be a well-formed
// unsigned number with "." as separator.
bool IsUnderflow(std::string_view s) {
  int intDigits = 0, lead = std::numeric_limits<int>::min(), pos = 0;
  size_t i = 0;
  bool fraction = false;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      fraction = true;
      continue;
    }
    if (!fraction) ++intDigits;
    if (s[i] != '0' && lead == std::numeric_limits<int>::min()) lead = pos;
    ++pos;
  }
  if (lead == std::numeric_limits<int>::min()) return true;
  long long power = intDigits - 1 - lead;
  if (i < s.size()) {
    long long exponent = 0;
    bool negative = false;
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '-' || s[j] == '+')) negative = s[j++] == '-';
    for (; j < s.size(); ++j) exponent = std::min(exponent * 10 + (s[j] - '0'), 100000LL);
    power += negative ? -exponent : exponent;
  }
  return power < 0;
}

template <class F>
bool ParseFloating(std::string_view text, F& out) {
  std::string_view s = KVTrim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.front() == '+' || s.front() == '-' || KVIsBlank(s.front())) return false;
  size_t comma = s.find(',');
  std::string buffer;
  if (comma != std::string_view::npos) {
    if (s.find(',', comma + 1) != std::string_view::npos || s.find('.') != std::string_view::npos) return false;
    buffer.assign(s);
    buffer[comma] = '.';
    s = buffer;
  }
  F value{};
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ptr != s.data() + s.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    if (!IsUnderflow(s)) return false;
    value = 0;
  } else if (ec != std::errc()) {
    return false;
  }
  out = negative ? -value : value;
  return true;
}

// Sign and magnitude of an integer text; hexadecimal text has no sign. Fails on more than 64 bits.
bool ScanInteger(std::string_view text, bool& negative, uint64_t& magnitude, bool& hex) {
  std::string_view s = KVTrim(text);
  negative = hex = false;
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    s.remove_prefix(1);
    base = 16;
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  } else if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  // from_chars would take a second sign itself
  if (s.empty() || s.front() == '+' || s.front() == '-') return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
  hex = base == 16;
  return ec == std::errc() && ptr == s.data() + s.size();
}

template <class T>
bool ParseSigned(std::string_view text, T& out) {
  using U = std::make_unsigned_t<T>;
  bool negative, hex;
  uint64_t magnitude;
  if (!ScanInteger(text, negative, magnitude, hex)) return false;
  if (hex) {
    if (magnitude > std::numeric_limits<U>::max()) return false;
    out = static_cast<T>(static_cast<U>(magnitude));
    return true;
  }
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u);
  if (magnitude > limit) return false;
  // 0 - magnitude in unsigned arithmetic, then the two's complement reading, avoids negating T's minimum
  out = negative ? static_cast<T>(static_cast<U>(0u - static_cast<U>(magnitude))) : static_cast<T>(magnitude);
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string KVFormatDouble15(double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  return Restyle(buf, r.ptr);
}

std::string KVFormatDoubleShortest(double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return Restyle(buf, r.ptr);
}

std::string KVFormatSingleShortest(float value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return Restyle(buf, r.ptr);
}

bool KVTryParseDouble(std::string_view text, double& out) { return ParseFloating(text, out); }
bool KVTryParseSingle(std::string_view text, float& out) { return ParseFloating(text, out); }

bool KVTryParseInt32(std::string_view text, int32_t& out) { return ParseSigned(text, out); }
bool KVTryParseInt64(std::string_view text, int64_t& out) { return ParseSigned(text, out); }

bool KVTryParseUInt64(std::string_view text, uint64_t& out) {
  bool negative, hex;
  uint64_t magnitude;
  if (!ScanInteger(text, negative, magnitude, hex)) return false;
  if (negative && magnitude != 0) return false;
  out = magnitude;
  return true;
}

namespace {
// Lenient conversions; `valid` turns false at the first ill-formed input that had to be replaced.
std::string Utf16ToUtf8(std::u16string_view text, bool& valid) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
      valid = false;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text, bool& valid) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i++]);
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
      continue;
    }
    // The second byte's allowed range excludes overlong forms, surrogates and values above U+10FFFF.
    int follow;
    uint32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      follow = 1;
      cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      follow = 2;
      cp = c & 0x0Fu;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      follow = 3;
      cp = c & 0x07u;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out += u'\xFFFD';
      valid = false;
      continue;
    }
    bool complete = true;
    for (int k = 0; k < follow; ++k) {
      const auto b = i < n ? static_cast<unsigned char>(text[i]) : 0;
      if (i >= n || b < lo || b > hi) {
        complete = false;  // the offending byte starts the next sequence
        break;
      }
      cp = (cp << 6) | (b & 0x3Fu);
      lo = 0x80;
      hi = 0xBF;
      ++i;
    }
    if (!complete) {
      out += u'\xFFFD';
      valid = false;
    } else if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}
}  // namespace

std::string KVUtf16ToUtf8(std::u16string_view text) {
  bool valid = true;
  return Utf16ToUtf8(text, valid);
}

std::u16string KVUtf8ToUtf16(std::string_view text) {
  bool valid = true;
  return Utf8ToUtf16(text, valid);
}

bool KVTryUtf16ToUtf8(std::u16string_view text, std::string& out) {
  bool valid = true;
  out = Utf16ToUtf8(text, valid);
  return valid;
}

bool KVTryUtf8ToUtf16(std::string_view text, std::u16string& out) {
  bool valid = true;
  out = Utf8ToUtf16(text, valid);
  return valid;
}

bool KVSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Names are mostly looked up as they were written: equal bytes settle it at memory speed.
  if (a == b) return true;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

int KVCompareText(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(Upper(a[i])), y = static_cast<unsigned char>(Upper(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string KVUpperCase(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = Upper(c);
  return r;
}

std::string KVLowerCase(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = Lower(c);
  return r;
}
