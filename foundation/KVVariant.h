#pragma once
// The value of one field as it travels between databases: a type code as OLE variants number them plus
// the value. Empty (no value given) and Null (the database's NULL) are different things.
//
// Every conversion here is locale independent: numbers are written with "." and read with "." or ",",
// dates are written in ISO form and read in the forms listed at KVTryParseDateTimeText.
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "foundation/KVExceptions.h"

constexpr uint16_t varEmpty = 0x0000;
constexpr uint16_t varNull = 0x0001;
constexpr uint16_t varSmallint = 0x0002;  // int16
constexpr uint16_t varInteger = 0x0003;   // int32
constexpr uint16_t varSingle = 0x0004;
constexpr uint16_t varDouble = 0x0005;
constexpr uint16_t varCurrency = 0x0006;  // int64 counting ten-thousandths
constexpr uint16_t varDate = 0x0007;      // days since 1899-12-30, see KVDateTime.h
constexpr uint16_t varOleStr = 0x0008;    // UTF-16
constexpr uint16_t varBoolean = 0x000B;
constexpr uint16_t varShortInt = 0x0010;  // int8
constexpr uint16_t varByte = 0x0011;      // uint8
constexpr uint16_t varWord = 0x0012;      // uint16
constexpr uint16_t varLongWord = 0x0013;  // uint32
constexpr uint16_t varInt64 = 0x0014;
constexpr uint16_t varUInt64 = 0x0015;
constexpr uint16_t varString = 0x0100;     // UTF-8
constexpr uint16_t varByteArray = 0x2011;  // array of varByte

// "Could not convert variant of type (Null) into type (Integer)"
class EVariantTypeCastError : public EKVException {
 public:
  EVariantTypeCastError(uint16_t sourceType, uint16_t targetType, std::string routineName = {});
  KV_EXCEPTION_CLASS(EVariantTypeCastError, EKVException)
  uint16_t SourceType() const { return m_SourceType; }
  uint16_t TargetType() const { return m_TargetType; }

 private:
  uint16_t m_SourceType, m_TargetType;
};

// A number that does not fit the type asked for (also NaN or an infinity into an integer).
class EVariantOverflowError : public EKVException {
 public:
  explicit EVariantOverflowError(std::string routineName = {});
  KV_EXCEPTION_CLASS(EVariantOverflowError, EKVException)
};

enum class TKVVariantRelation { LessThan, Equal, GreaterThan, NotEqual };

class TKVVariant {
 public:
  TKVVariant() = default;  // Empty
  TKVVariant(int32_t v) : m_Type(varInteger), m_Value(int64_t{v}) {}
  TKVVariant(int64_t v) : m_Type(varInt64), m_Value(v) {}
  TKVVariant(double v) : m_Type(varDouble), m_Value(v) {}
  // A template so that pointers and numbers never turn into a Boolean on the way.
  template <std::same_as<bool> B>
  TKVVariant(B v) : m_Type(varBoolean), m_Value(v) {}
  TKVVariant(const char* v) : m_Type(varString), m_Value(std::string(v ? v : "")) {}
  TKVVariant(std::string v) : m_Type(varString), m_Value(std::move(v)) {}
  TKVVariant(const char16_t* v) : m_Type(varOleStr), m_Value(std::u16string(v ? v : u"")) {}
  TKVVariant(std::u16string v) : m_Type(varOleStr), m_Value(std::move(v)) {}

  static TKVVariant Null() { return TKVVariant(varNull, std::monostate{}); }
  static TKVVariant FromInt8(int8_t v) { return TKVVariant(varShortInt, int64_t{v}); }
  static TKVVariant FromInt16(int16_t v) { return TKVVariant(varSmallint, int64_t{v}); }
  static TKVVariant FromInt32(int32_t v) { return TKVVariant(varInteger, int64_t{v}); }
  static TKVVariant FromInt64(int64_t v) { return TKVVariant(varInt64, v); }
  static TKVVariant FromUInt8(uint8_t v) { return TKVVariant(varByte, int64_t{v}); }
  static TKVVariant FromUInt16(uint16_t v) { return TKVVariant(varWord, int64_t{v}); }
  static TKVVariant FromUInt32(uint32_t v) { return TKVVariant(varLongWord, int64_t{v}); }
  static TKVVariant FromUInt64(uint64_t v) { return TKVVariant(varUInt64, v); }
  static TKVVariant FromSingle(float v) { return TKVVariant(varSingle, double{v}); }
  static TKVVariant FromDouble(double v) { return TKVVariant(varDouble, v); }
  // `scaled` counts ten-thousandths: 12.5 is 125000.
  static TKVVariant FromCurrency(int64_t scaled) { return TKVVariant(varCurrency, scaled); }
  // Rounded half away from zero to four decimals; raises EVariantOverflowError when out of range.
  static TKVVariant FromCurrencyDouble(double v);
  static TKVVariant FromDateTime(double v) { return TKVVariant(varDate, v); }
  static TKVVariant FromBoolean(bool v) { return TKVVariant(varBoolean, v); }
  static TKVVariant FromString(std::string v) { return TKVVariant(varString, std::move(v)); }
  static TKVVariant FromWideString(std::u16string v) { return TKVVariant(varOleStr, std::move(v)); }
  static TKVVariant FromBytes(std::vector<uint8_t> v) { return TKVVariant(varByteArray, std::move(v)); }
  // The text converted into `varType` as ChangeType converts a string, which accepts what a file from a
  // machine with another locale may hold: decimal commas, the fixed and US date forms, "True"/"False" and
  // numbers for Booleans. Blank text is no number either: callers that read blank as NULL decide so first.
  static TKVVariant FromText(uint16_t varType, std::string_view text);

  uint16_t VarType() const { return m_Type; }
  bool IsEmpty() const { return m_Type == varEmpty; }
  bool IsNull() const { return m_Type == varNull; }
  bool IsEmptyOrNull() const { return m_Type == varEmpty || m_Type == varNull; }
  bool IsNumeric() const;  // the integer types, Single, Double, Currency
  bool IsOrdinal() const;  // the integer types and Boolean
  bool IsString() const { return m_Type == varString || m_Type == varOleStr; }

  // Empty converts to 0, "", False or no bytes; Null and other impossible conversions raise
  // EVariantTypeCastError, numbers out of the target's range EVariantOverflowError.
  //
  // Doubles and Singles are written as the shortest text that reads back as the same value, Currency with
  // up to four decimals and no trailing zeros, Dates by KVFormatIsoDateTime, Booleans as "True"/"False",
  // byte arrays as their raw bytes.
  std::string AsString() const;
  std::u16string AsWideString() const;
  // Fractions are rounded half away from zero. True is 1, not the -1 of some older conventions, so that
  // a Boolean column lands in a numeric one as the 0/1 that databases use. Strings are read as integers
  // (decimal or hexadecimal), then as decimal numbers, then as "True"/"False".
  int32_t AsInt32() const;
  int64_t AsInt64() const;
  uint64_t AsUInt64() const;
  // Strings must be numbers; "True" is not.
  double AsDouble() const;
  // Ten-thousandths, as FromCurrency takes them. Decimal text is read exactly, not through a double.
  int64_t AsCurrency() const;
  // Numbers count days; strings are read as date-time text first, then as numbers. Raises
  // EVariantOverflowError outside the years 1..9999.
  double AsDateTime() const;
  // Numbers are True when not zero; strings are "True"/"False" in any case, or numbers.
  bool AsBoolean() const;
  // Strings give their UTF-8 bytes.
  std::vector<uint8_t> AsBytes() const;

  // Into any of the type codes above. Anything may become Empty or Null.
  TKVVariant ChangeType(uint16_t varType) const;

  std::string TypeName() const { return TypeNameOf(m_Type); }
  // "Empty", "Null", "Smallint", ..., "Array of Byte"; codes not listed above give "Unknown ($xxxx)".
  static std::string TypeNameOf(uint16_t varType);

  // Null equals only Null and is NotEqual to everything else. Empty is 0 against numbers and "" against
  // strings. Numbers of all kinds (with Dates and Booleans) compare by value, two 64-bit integers exactly;
  // NaN is NotEqual to everything. Strings of either kind compare by their UTF-8 bytes, case-sensitively.
  // A string against a number compares as a number when it reads as one; a string against a Date also
  // when it reads as date-time text; otherwise the number's AsString text is compared with it. Byte arrays
  // compare bytewise with each other and with strings, and are NotEqual to numbers.
  static TKVVariantRelation Compare(const TKVVariant& a, const TKVVariant& b);
  friend bool operator==(const TKVVariant& a, const TKVVariant& b) {
    return Compare(a, b) == TKVVariantRelation::Equal;
  }

  // Null with anything gives Null; Empty with Empty stays Empty; Empty with anything else gives the other
  // value (a Boolean as the Smallint it counts as). Strings concatenate (wide only when both are);
  // byte arrays concatenate. A string added to a number must read as a number (else
  // EVariantTypeCastError) and is added as one. Then, in this order: a Date makes the sum a Date; a
  // Double or Single makes it a Double; a Currency with Currency or integers stays Currency (raising
  // EVariantOverflowError when it leaves the range, since silently turning money into a Double would lose
  // cents). Integers (Booleans as Smallint 1/0) give the wider type of the two, for a signed/unsigned pair
  // the signed type that holds both; a sum that does not fit becomes Int64, one that does not fit that
  // either a Double.
  static TKVVariant Add(const TKVVariant& a, const TKVVariant& b);
  friend TKVVariant operator+(const TKVVariant& a, const TKVVariant& b) { return Add(a, b); }

 private:
  friend class TKVVariantOps;  // the conversion and arithmetic helpers in KVVariant.cpp
  using TStorage = std::variant<std::monostate, int64_t, uint64_t, double, bool, std::string, std::u16string,
                                std::vector<uint8_t>>;
  TKVVariant(uint16_t type, TStorage value) : m_Type(type), m_Value(std::move(value)) {}
  [[noreturn]] void CastError(uint16_t targetType, const char* routine) const;

  // Empty and Null hold monostate; the integer types and Currency int64_t; UInt64 uint64_t; Single,
  // Double and Date double (a Single keeps its float value exactly); Boolean bool; varString std::string;
  // varOleStr std::u16string; varByteArray the byte vector.
  uint16_t m_Type = varEmpty;
  TStorage m_Value;
};
