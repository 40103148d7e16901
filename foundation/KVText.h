#pragma once
// Trimming, blank and prefix tests. Each caller names the characters it treats as blank: text of files,
// SQL and connection strings counts line breaks among them, a line of an INI file only spaces and tabs,
// and some callers strip quotes or separators as well.
#include <string_view>

#include "foundation/KVConvert.h"

inline constexpr std::string_view kKVWhiteSpace = " \t\r\n";
inline constexpr std::string_view kKVLineBlanks = " \t";

constexpr bool KVIsOneOf(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }
constexpr bool KVIsBlank(char c, std::string_view blanks = kKVWhiteSpace) { return KVIsOneOf(c, blanks); }

// The views returned point into `s`: keep what they view alive (or copy them into a string at once).
constexpr std::string_view KVTrimLeft(std::string_view s, std::string_view blanks = kKVWhiteSpace) {
  size_t b = s.find_first_not_of(blanks);
  return b == std::string_view::npos ? std::string_view() : s.substr(b);
}
constexpr std::string_view KVTrimRight(std::string_view s, std::string_view blanks = kKVWhiteSpace) {
  size_t e = s.find_last_not_of(blanks);
  return e == std::string_view::npos ? std::string_view() : s.substr(0, e + 1);
}
constexpr std::string_view KVTrim(std::string_view s, std::string_view blanks = kKVWhiteSpace) {
  return KVTrimRight(KVTrimLeft(s, blanks), blanks);
}
// Empty, or nothing but blanks.
constexpr bool KVIsBlankText(std::string_view s, std::string_view blanks = kKVWhiteSpace) {
  return s.find_first_not_of(blanks) == std::string_view::npos;
}

// Whether `text` begins with `prefix`, ASCII letter case ignored (KVSameText).
inline bool KVStartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && KVSameText(text.substr(0, prefix.size()), prefix);
}
