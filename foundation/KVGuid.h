#pragma once
// 16-byte globally unique identifiers, laid out as the Windows GUID structure so that the same bytes can
// cross a plug-in boundary or be written into a compound file's CLSID field unchanged.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TGUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  std::array<uint8_t, 8> Data4{};

  friend bool operator==(const TGUID&, const TGUID&) = default;
  friend auto operator<=>(const TGUID&, const TGUID&) = default;

  bool IsNull() const { return *this == TGUID{}; }

  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal.
  std::string ToString() const;

  // Accepts the braced form in any letter case (surrounding blanks allowed); nullopt for anything else.
  static std::optional<TGUID> TryParse(std::string_view text);
  // As TryParse, but a text that is not a GUID raises EKVException.
  static TGUID Parse(std::string_view text);

  // The 16 bytes in the little-endian layout of the Windows structure.
  std::array<uint8_t, 16> ToBytes() const;
  static TGUID FromBytes(const uint8_t* bytes16);
};
static_assert(sizeof(TGUID) == 16, "TGUID must keep the 16-byte Windows layout");

// Compile-time GUID from its braced text, for interface identifiers.
consteval TGUID KVGuid(const char (&s)[39]) {
  auto hex = [](char c) -> uint32_t {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    throw "not a hexadecimal digit";
  };
  auto num = [&](int from, int digits) -> uint32_t {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = v * 16 + hex(s[from + i]);
    return v;
  };
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
    throw "malformed GUID text";
  TGUID g;
  g.Data1 = num(1, 8);
  g.Data2 = static_cast<uint16_t>(num(10, 4));
  g.Data3 = static_cast<uint16_t>(num(15, 4));
  g.Data4[0] = static_cast<uint8_t>(num(20, 2));
  g.Data4[1] = static_cast<uint8_t>(num(22, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(num(25 + 2 * i, 2));
  return g;
}
