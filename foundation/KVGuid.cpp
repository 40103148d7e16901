#include "foundation/KVGuid.h"

#include <cstdio>

#include "foundation/KVExceptions.h"

std::string TGUID::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Data1, Data2, Data3,
                Data4[0], Data4[1], Data4[2], Data4[3], Data4[4], Data4[5], Data4[6], Data4[7]);
  return buf;
}

std::optional<TGUID> TGUID::TryParse(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  uint8_t digits[32];
  int n = 0;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    char c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != '-') return std::nullopt;
      continue;
    }
    int h = hex(c);
    if (h < 0 || n >= 32) return std::nullopt;
    digits[n++] = static_cast<uint8_t>(h);
  }
  if (n != 32) return std::nullopt;
  auto num = [&](int from, int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = v * 16 + digits[from + i];
    return v;
  };
  TGUID g;
  g.Data1 = num(0, 8);
  g.Data2 = static_cast<uint16_t>(num(8, 4));
  g.Data3 = static_cast<uint16_t>(num(12, 4));
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(num(16 + 2 * i, 2));
  return g;
}

TGUID TGUID::Parse(std::string_view text) {
  if (auto g = TryParse(text)) return *g;
  throw EKVException("'" + std::string(text) + "' is not a valid GUID value", nullptr, "TGUID.Parse");
}

std::array<uint8_t, 16> TGUID::ToBytes() const {
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(Data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[4 + i] = static_cast<uint8_t>(Data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) b[6 + i] = static_cast<uint8_t>(Data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) b[8 + i] = Data4[i];
  return b;
}

TGUID TGUID::FromBytes(const uint8_t* b) {
  TGUID g;
  g.Data1 = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
            static_cast<uint32_t>(b[3]) << 24;
  g.Data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  g.Data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  for (int i = 0; i < 8; ++i) g.Data4[i] = b[8 + i];
  return g;
}
