#include "db/KVConnectionString.h"

#include <algorithm>

#include "foundation/KVConvert.h"
#include "foundation/KVText.h"

namespace {

size_t NextSeparator(std::string_view s, size_t from) {
  size_t e = s.find(';', from);
  return e == std::string_view::npos ? s.size() : e;
}

// Position of the "}" that closes the braced value opening at `open`, or npos; "}}" is an escaped brace.
size_t ClosingBrace(std::string_view s, size_t open) {
  size_t i = open + 1;
  while (i < s.size()) {
    if (s[i] == '}') {
      if (i + 1 < s.size() && s[i + 1] == '}') {
        i += 2;
        continue;
      }
      return i;
    }
    ++i;
  }
  return std::string_view::npos;
}

std::string Unbraced(std::string_view inner) {
  std::string out;
  out.reserve(inner.size());
  for (size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (inner[i] == '}' && i + 1 < inner.size() && inner[i + 1] == '}') ++i;
  }
  return out;
}

// The part after the last "/" or "\".
std::string_view LastPathPart(std::string_view path) {
  size_t p = path.find_last_of("/\\");
  return p == std::string_view::npos ? path : path.substr(p + 1);
}

}  // namespace

void TKVConnectionStringParser::Parse(std::string_view text) {
  m_Entries.clear();
  size_t i = 0;
  while (i < text.size()) {
    const size_t itemEnd = NextSeparator(text, i);
    const size_t eq = text.find('=', i);
    if (eq == std::string_view::npos || eq >= itemEnd) {
      std::string_view item = KVTrim(text.substr(i, itemEnd - i));
      if (!item.empty()) m_Entries.push_back({std::string(item), {}, {}});
      i = itemEnd + 1;
      continue;
    }
    TEntry entry;
    entry.Name = std::string(KVTrim(text.substr(i, eq - i)));
    size_t valueStart = eq + 1;
    while (valueStart < text.size() && KVIsBlank(text[valueStart])) ++valueStart;
    size_t end = itemEnd;
    size_t close = std::string_view::npos;
    if (valueStart < text.size() && text[valueStart] == '{') {
      close = ClosingBrace(text, valueStart);
      if (close != std::string_view::npos) end = NextSeparator(text, close + 1);
    }
    entry.RawValue = std::string(KVTrim(text.substr(eq + 1, end - eq - 1)));
    // Only a value that is exactly one braced section is unbraced. A brace that is never closed, or text
    // after the closing brace, makes the value malformed: it is taken as written, and written back in
    // proper braces so that a rebuilt string cannot pair its brace with one of a later entry.
    if (close != std::string_view::npos && entry.RawValue.size() == close - valueStart + 1) {
      entry.Value = Unbraced(text.substr(valueStart + 1, close - valueStart - 1));
    } else {
      entry.Value = entry.RawValue;
      if (!entry.RawValue.empty() && entry.RawValue.front() == '{') entry.RawValue = EncodeValue(entry.Value);
    }
    m_Entries.push_back(std::move(entry));
    i = end + 1;
  }
}

bool TKVConnectionStringParser::Contains(std::string_view name) const {
  return std::any_of(m_Entries.begin(), m_Entries.end(), [&](const TEntry& e) { return KVSameText(e.Name, name); });
}

std::string TKVConnectionStringParser::Value(std::string_view name, std::string_view defaultValue) const {
  for (const TEntry& e : m_Entries)
    if (KVSameText(e.Name, name)) return e.Value;
  return std::string(defaultValue);
}

std::string TKVConnectionStringParser::EncodeValue(std::string_view value) {
  const bool braced = value.find(';') != std::string_view::npos || (!value.empty() && value.front() == '{') ||
                      (!value.empty() && (KVIsBlank(value.front()) ||
                                          KVIsBlank(value.back())));
  if (!braced) return std::string(value);
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

void TKVConnectionStringParser::SetValue(std::string_view name, std::string_view value) {
  Remove(name);
  m_Entries.push_back({std::string(KVTrim(name)), EncodeValue(value), std::string(value)});
}

bool TKVConnectionStringParser::Remove(std::string_view name) {
  const std::string_view key = KVTrim(name);
  auto it = std::remove_if(m_Entries.begin(), m_Entries.end(), [&](const TEntry& e) { return KVSameText(e.Name, key); });
  const bool removed = it != m_Entries.end();
  m_Entries.erase(it, m_Entries.end());
  return removed;
}

std::string TKVConnectionStringParser::Text() const {
  std::string out;
  for (size_t i = 0; i < m_Entries.size(); ++i) {
    if (i) out += ';';
    out += m_Entries[i].Name;
    out += '=';
    out += m_Entries[i].RawValue;
  }
  return out;
}

std::string KVAddOrReplaceValueInConnectionString(std::string_view connectionString, std::string_view name,
                                                  std::string_view value) {
  TKVConnectionStringParser parser(connectionString);
  parser.SetValue(name, value);
  return parser.Text();
}

std::string KVDataSourceNameOfConnectionString(std::string_view connectionString) {
  const TKVConnectionStringParser parser(connectionString);
  std::string name = parser.Value("DSN");
  if (name.empty()) name = parser.Value("FILEDSN");
  if (name.empty()) name = std::string(LastPathPart(parser.Value("DBQ")));
  for (const char* key : {"DIR", "DEFAULTDIR"}) {
    if (!name.empty()) break;
    std::string dir = parser.Value(key);
    while (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    name = std::string(LastPathPart(dir));
  }
  return name;
}
