#include "foundation/KVVariant.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVText.h"

namespace {

constexpr int64_t kCurrencyScale = 10000;
constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

using TRel = TKVVariantRelation;

bool IsIntegerType(uint16_t t) {
  return t == varShortInt || t == varByte || t == varSmallint || t == varWord || t == varInteger ||
         t == varLongWord || t == varInt64 || t == varUInt64;
}

// The types that take part in arithmetic and numeric comparison.
bool IsNumberLike(uint16_t t) {
  return IsIntegerType(t) || t == varSingle || t == varDouble || t == varCurrency || t == varDate ||
         t == varBoolean;
}

// Width and signedness of an integer type (a Boolean counts as the Smallint it is added as).
void IntegerShape(uint16_t t, bool& isSigned, int& bytes) {
  switch (t) {
    case varShortInt: isSigned = true, bytes = 1; break;
    case varByte: isSigned = false, bytes = 1; break;
    case varWord: isSigned = false, bytes = 2; break;
    case varInteger: isSigned = true, bytes = 4; break;
    case varLongWord: isSigned = false, bytes = 4; break;
    case varInt64: isSigned = true, bytes = 8; break;
    case varUInt64: isSigned = false, bytes = 8; break;
    default: isSigned = true, bytes = 2; break;  // Smallint, Boolean
  }
}

uint16_t IntegerTypeOf(bool isSigned, int bytes) {
  switch (bytes) {
    case 1: return isSigned ? varShortInt : varByte;
    case 2: return isSigned ? varSmallint : varWord;
    case 4: return isSigned ? varInteger : varLongWord;
    default: return isSigned ? varInt64 : varUInt64;
  }
}

bool Fits(uint16_t type, bool negative, uint64_t magnitude) {
  bool isSigned;
  int bytes;
  IntegerShape(type, isSigned, bytes);
  const int bits = bytes * 8;
  if (!isSigned) return !negative && (bits == 64 || magnitude < (uint64_t{1} << bits));
  return magnitude <= (uint64_t{1} << (bits - 1)) - (negative ? 0 : 1);
}

// Rounds half away from zero; false for NaN, infinities and anything outside [-2^63, 2^64).
bool RoundReal(double d, bool& negative, uint64_t& magnitude) {
  const double r = std::round(d);
  if (!(r >= -kTwo63 && r < kTwo64)) return false;  // also catches NaN
  negative = r < 0;
  magnitude = static_cast<uint64_t>(std::fabs(r));
  if (magnitude == 0) negative = false;
  return true;
}

// Reads decimal text exactly into ten-thousandths, rounding further decimals half away from zero.
// No exponent, no hexadecimal: those go through a double.
bool ParseCurrencyText(std::string_view text, int64_t& out) {
  std::string_view s = KVTrim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  uint64_t whole = 0, fraction = 0;
  int fractionDigits = 0, digits = 0;
  bool separator = false, roundUp = false;
  for (char c : s) {
    if (c == '.' || c == ',') {
      if (separator) return false;
      separator = true;
    } else if (c >= '0' && c <= '9') {
      ++digits;
      if (!separator) {
        if (whole > (std::numeric_limits<uint64_t>::max() - 9) / 10) return false;
        whole = whole * 10 + static_cast<uint64_t>(c - '0');
      } else if (fractionDigits < 4) {
        fraction = fraction * 10 + static_cast<uint64_t>(c - '0');
        ++fractionDigits;
      } else if (fractionDigits++ == 4) {
        roundUp = c >= '5';
      }
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  for (int i = std::min(fractionDigits, 4); i < 4; ++i) fraction *= 10;
  const uint64_t limit = (uint64_t{1} << 63) - (negative ? 0 : 1);
  if (whole > limit / kCurrencyScale) return false;
  const uint64_t magnitude = whole * kCurrencyScale + fraction + (roundUp ? 1 : 0);
  if (magnitude > limit) return false;
  out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

std::string FormatCurrency(int64_t scaled) {
  const uint64_t magnitude = scaled < 0 ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string s = scaled < 0 ? "-" : "";
  s += std::to_string(magnitude / kCurrencyScale);
  uint64_t fraction = magnitude % kCurrencyScale;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%04u", static_cast<unsigned>(fraction));
    std::string_view d(digits);
    while (d.back() == '0') d.remove_suffix(1);
    s += d;
  }
  return s;
}

bool TextIsBoolean(std::string_view text, bool& value) {
  std::string_view s = KVTrim(text);
  if (KVSameText(s, "True")) return value = true, true;
  if (KVSameText(s, "False")) return value = false, true;
  return false;
}

TRel Invert(TRel r) {
  return r == TRel::LessThan ? TRel::GreaterThan : r == TRel::GreaterThan ? TRel::LessThan : r;
}

template <class T>
TRel Order(const T& a, const T& b) {
  return a < b ? TRel::LessThan : b < a ? TRel::GreaterThan : TRel::Equal;
}

// A number with as much exactness as its source had: integers as sign and magnitude (so Int64 and
// UInt64 meet without loss), Currency as ten-thousandths, the rest as double.
struct TNumber {
  enum TKind { Integer, Currency, Real } Kind = Integer;
  uint16_t Type = varInt64;  // the variant type the value counts as in arithmetic
  bool Negative = false;
  uint64_t Magnitude = 0;
  int64_t Scaled = 0;
  double Value = 0;

  static TNumber Signed(int64_t v, uint16_t type) {
    TNumber n;
    n.Type = type;
    n.Negative = v < 0;
    n.Magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return n;
  }
  static TNumber Unsigned(uint64_t v) {
    TNumber n;
    n.Type = varUInt64;
    n.Magnitude = v;
    return n;
  }
  static TNumber Money(int64_t scaled) {
    TNumber n;
    n.Kind = Currency;
    n.Type = varCurrency;
    n.Scaled = scaled;
    return n;
  }
  static TNumber Floating(double v, uint16_t type) {
    TNumber n;
    n.Kind = Real;
    n.Type = type;
    n.Value = v;
    return n;
  }

  double AsDouble() const {
    switch (Kind) {
      case Integer: return Negative ? -static_cast<double>(Magnitude) : static_cast<double>(Magnitude);
      case Currency: return static_cast<double>(Scaled) / kCurrencyScale;
      default: return Value;
    }
  }
  bool IsZero() const { return Kind == Integer ? Magnitude == 0 : Kind == Currency ? Scaled == 0 : Value == 0; }
};

TRel CompareIntegers(bool negA, uint64_t magA, bool negB, uint64_t magB) {
  if (negA != negB) return negA ? TRel::LessThan : TRel::GreaterThan;
  return negA ? Order(magB, magA) : Order(magA, magB);
}

// Exact: the double's integral part is compared as an integer, then its fraction decides.
TRel CompareIntegerReal(bool negative, uint64_t magnitude, double d) {
  if (std::isnan(d)) return TRel::NotEqual;
  if (d >= kTwo64) return TRel::LessThan;
  if (d <= -kTwo64) return TRel::GreaterThan;
  const double whole = std::trunc(d);
  const TRel r = CompareIntegers(negative, magnitude, whole < 0, static_cast<uint64_t>(std::fabs(whole)));
  if (r != TRel::Equal) return r;
  return Order(0.0, d - whole);
}

// Exact: the currency is split into a floored integer part and a non-negative remainder.
TRel CompareIntegerCurrency(bool negative, uint64_t magnitude, int64_t scaled) {
  int64_t q = scaled / kCurrencyScale, r = scaled % kCurrencyScale;
  if (r < 0) --q, r += kCurrencyScale;
  const TNumber floorPart = TNumber::Signed(q, varInt64);
  const TRel rel = CompareIntegers(negative, magnitude, floorPart.Negative, floorPart.Magnitude);
  if (rel != TRel::Equal) return rel;
  return r == 0 ? TRel::Equal : TRel::LessThan;
}

TRel CompareNumbers(const TNumber& a, const TNumber& b) {
  using K = TNumber::TKind;
  if (a.Kind == K::Integer && b.Kind == K::Integer)
    return CompareIntegers(a.Negative, a.Magnitude, b.Negative, b.Magnitude);
  if (a.Kind == K::Currency && b.Kind == K::Currency) return Order(a.Scaled, b.Scaled);
  if (a.Kind == K::Integer && b.Kind == K::Currency)
    return CompareIntegerCurrency(a.Negative, a.Magnitude, b.Scaled);
  if (a.Kind == K::Currency && b.Kind == K::Integer) return Invert(CompareNumbers(b, a));
  if (a.Kind == K::Integer) return CompareIntegerReal(a.Negative, a.Magnitude, b.Value);
  if (b.Kind == K::Integer) return Invert(CompareIntegerReal(b.Negative, b.Magnitude, a.Value));
  const double x = a.AsDouble(), y = b.AsDouble();
  if (std::isnan(x) || std::isnan(y)) return TRel::NotEqual;
  return Order(x, y);
}

// Text that reads as a decimal number (no hexadecimal, no "True"), exactly when it is an integer.
bool NumberFromText(std::string_view text, TNumber& n) {
  double d;
  if (!KVTryParseDouble(text, d)) return false;
  int64_t i;
  uint64_t u;
  if (KVTryParseInt64(text, i))
    n = TNumber::Signed(i, varInt64);
  else if (KVTryParseUInt64(text, u))
    n = TNumber::Unsigned(u);
  else
    n = TNumber::Floating(d, varDouble);
  return true;
}

TRel CompareBytes(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? TRel::LessThan : c > 0 ? TRel::GreaterThan : TRel::Equal;
}

}  // namespace

// The helpers that need the variant's storage.
class TKVVariantOps {
 public:
  // The numeric value of a number-like variant (Empty as 0).
  static TNumber NumberOf(const TKVVariant& v) {
    switch (v.m_Type) {
      case varEmpty: return TNumber::Signed(0, varEmpty);
      case varBoolean: return TNumber::Signed(std::get<bool>(v.m_Value) ? 1 : 0, varSmallint);
      case varUInt64: return TNumber::Unsigned(std::get<uint64_t>(v.m_Value));
      case varCurrency: return TNumber::Money(std::get<int64_t>(v.m_Value));
      case varSingle:
      case varDouble:
      case varDate: return TNumber::Floating(std::get<double>(v.m_Value), v.m_Type);
      default: return TNumber::Signed(std::get<int64_t>(v.m_Value), v.m_Type);
    }
  }

  // Any variant as a number on its way into `target`, reading strings as that target reads text.
  static TNumber NumberFor(const TKVVariant& v, uint16_t target, const char* routine) {
    if (IsNumberLike(v.m_Type) || v.m_Type == varEmpty) return NumberOf(v);
    if (!v.IsString()) v.CastError(target, routine);
    const std::string text = v.AsString();
    int32_t i32;
    int64_t i64, scaled;
    uint64_t u64;
    double d;
    bool b;
    if (IsIntegerType(target)) {
      // Hexadecimal fills the bits of the 32- and 64-bit types; other integers read it as a plain value.
      if (target == varInteger && KVTryParseInt32(text, i32)) return TNumber::Signed(i32, varInteger);
      if (target == varUInt64 && KVTryParseUInt64(text, u64)) return TNumber::Unsigned(u64);
      if (KVTryParseInt64(text, i64)) return TNumber::Signed(i64, varInt64);
      if (KVTryParseUInt64(text, u64)) return TNumber::Unsigned(u64);
      if (KVTryParseDouble(text, d)) return TNumber::Floating(d, varDouble);
      if (TextIsBoolean(text, b)) return TNumber::Signed(b ? 1 : 0, varSmallint);
    } else if (target == varCurrency) {
      if (ParseCurrencyText(text, scaled)) return TNumber::Money(scaled);
      if (KVTryParseDouble(text, d)) return TNumber::Floating(d, varDouble);
    } else if (target == varDate) {
      if (KVTryParseDateTimeText(text, d) || KVTryParseDouble(text, d)) return TNumber::Floating(d, varDate);
    } else if (KVTryParseDouble(text, d)) {
      return TNumber::Floating(d, varDouble);
    }
    v.CastError(target, routine);
  }

  static int64_t ToSigned(const TKVVariant& v, uint16_t target, int64_t min, int64_t max, const char* routine) {
    const TNumber n = NumberFor(v, target, routine);
    bool negative = n.Negative;
    uint64_t magnitude = n.Magnitude;
    if (n.Kind == TNumber::Currency) {
      // half away from zero on the magnitude
      magnitude = n.Scaled < 0 ? 0 - static_cast<uint64_t>(n.Scaled) : static_cast<uint64_t>(n.Scaled);
      magnitude = (magnitude + kCurrencyScale / 2) / kCurrencyScale;
      negative = n.Scaled < 0 && magnitude != 0;
    } else if (n.Kind == TNumber::Real && !RoundReal(n.Value, negative, magnitude)) {
      throw EVariantOverflowError(routine);
    }
    const uint64_t limit = negative ? 0 - static_cast<uint64_t>(min) : static_cast<uint64_t>(max);
    if (magnitude > limit) throw EVariantOverflowError(routine);
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  }

  static uint64_t ToUnsigned(const TKVVariant& v, const char* routine) {
    const TNumber n = NumberFor(v, varUInt64, routine);
    if (n.Kind == TNumber::Integer) {
      if (n.Negative) throw EVariantOverflowError(routine);
      return n.Magnitude;
    }
    if (n.Kind == TNumber::Currency) {
      if (n.Scaled <= -kCurrencyScale / 2) throw EVariantOverflowError(routine);
      return n.Scaled < 0 ? 0 : (static_cast<uint64_t>(n.Scaled) + kCurrencyScale / 2) / kCurrencyScale;
    }
    bool negative;
    uint64_t magnitude;
    if (!RoundReal(n.Value, negative, magnitude) || negative) throw EVariantOverflowError(routine);
    return magnitude;
  }

  static int64_t ToCurrency(const TNumber& n, const char* routine) {
    if (n.Kind == TNumber::Currency) return n.Scaled;
    if (n.Kind == TNumber::Integer) {
      const uint64_t limit = ((uint64_t{1} << 63) - (n.Negative ? 0 : 1)) / kCurrencyScale;
      if (n.Magnitude > limit) throw EVariantOverflowError(routine);
      const uint64_t scaled = n.Magnitude * kCurrencyScale;
      return n.Negative ? static_cast<int64_t>(0 - scaled) : static_cast<int64_t>(scaled);
    }
    const double r = std::round(n.Value * kCurrencyScale);
    if (!(r >= -kTwo63 && r < kTwo63)) throw EVariantOverflowError(routine);
    return static_cast<int64_t>(r);
  }

  static TKVVariant IntegerResult(uint16_t type, bool negative, uint64_t magnitude) {
    if (type == varUInt64) return TKVVariant(varUInt64, magnitude);
    return TKVVariant(type, negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude));
  }

  static TKVVariant AddIntegers(const TNumber& a, const TNumber& b) {
    bool signedA, signedB;
    int bytesA, bytesB;
    IntegerShape(a.Type, signedA, bytesA);
    IntegerShape(b.Type, signedB, bytesB);
    uint16_t type;
    if (signedA == signedB) {
      type = IntegerTypeOf(signedA, std::max(bytesA, bytesB));
    } else {
      const int signedBytes = signedA ? bytesA : bytesB, unsignedBytes = signedA ? bytesB : bytesA;
      type = signedBytes > unsignedBytes ? IntegerTypeOf(true, signedBytes)
                                         : IntegerTypeOf(true, std::min(8, unsignedBytes * 2));
    }
    bool negative;
    uint64_t magnitude;
    bool inRange = true;
    if (a.Negative == b.Negative) {
      negative = a.Negative;
      magnitude = a.Magnitude + b.Magnitude;
      inRange = magnitude >= a.Magnitude;
    } else if (a.Magnitude >= b.Magnitude) {
      negative = a.Negative;
      magnitude = a.Magnitude - b.Magnitude;
    } else {
      negative = b.Negative;
      magnitude = b.Magnitude - a.Magnitude;
    }
    if (magnitude == 0) negative = false;
    if (inRange && Fits(type, negative, magnitude)) return IntegerResult(type, negative, magnitude);
    if (inRange && Fits(varInt64, negative, magnitude)) return IntegerResult(varInt64, negative, magnitude);
    return TKVVariant(varDouble, a.AsDouble() + b.AsDouble());
  }

  static TKVVariant AddNumbers(const TNumber& a, const TNumber& b) {
    if (a.Type == varDate || b.Type == varDate) return TKVVariant(varDate, a.AsDouble() + b.AsDouble());
    if (a.Kind == TNumber::Real || b.Kind == TNumber::Real)
      return TKVVariant(varDouble, a.AsDouble() + b.AsDouble());
    if (a.Kind == TNumber::Currency || b.Kind == TNumber::Currency) {
      int64_t sum;
      if (__builtin_add_overflow(ToCurrency(a, "TKVVariant.Add"), ToCurrency(b, "TKVVariant.Add"), &sum))
        throw EVariantOverflowError("TKVVariant.Add");
      return TKVVariant(varCurrency, sum);
    }
    return AddIntegers(a, b);
  }
};

// --- Errors ------------------------------------------------------------------------------------------------

EVariantTypeCastError::EVariantTypeCastError(uint16_t sourceType, uint16_t targetType, std::string routineName)
    : EKVException("Could not convert variant of type (" + TKVVariant::TypeNameOf(sourceType) +
                       ") into type (" + TKVVariant::TypeNameOf(targetType) + ")",
                   std::string(), std::string(), std::move(routineName)),
      m_SourceType(sourceType),
      m_TargetType(targetType) {}

EVariantOverflowError::EVariantOverflowError(std::string routineName)
    : EKVException("Arithmetic overflow occurred", std::string(), std::string(), std::move(routineName)) {}

// --- TKVVariant ----------------------------------------------------------------------------------------------

void TKVVariant::CastError(uint16_t targetType, const char* routine) const {
  throw EVariantTypeCastError(m_Type, targetType, routine);
}

TKVVariant TKVVariant::FromCurrencyDouble(double v) {
  return FromCurrency(
      TKVVariantOps::ToCurrency(TNumber::Floating(v, varDouble), "TKVVariant.FromCurrencyDouble"));
}

bool TKVVariant::IsNumeric() const {
  return IsIntegerType(m_Type) || m_Type == varSingle || m_Type == varDouble || m_Type == varCurrency;
}

bool TKVVariant::IsOrdinal() const { return IsIntegerType(m_Type) || m_Type == varBoolean; }

std::string TKVVariant::TypeNameOf(uint16_t varType) {
  switch (varType) {
    case varEmpty: return "Empty";
    case varNull: return "Null";
    case varSmallint: return "Smallint";
    case varInteger: return "Integer";
    case varSingle: return "Single";
    case varDouble: return "Double";
    case varCurrency: return "Currency";
    case varDate: return "Date";
    case varOleStr: return "OleStr";
    case varBoolean: return "Boolean";
    case varShortInt: return "ShortInt";
    case varByte: return "Byte";
    case varWord: return "Word";
    case varLongWord: return "LongWord";
    case varInt64: return "Int64";
    case varUInt64: return "UInt64";
    case varString: return "String";
    case varByteArray: return "Array of Byte";
    default: {
      char text[24];
      std::snprintf(text, sizeof text, "Unknown ($%04X)", static_cast<unsigned>(varType));
      return text;
    }
  }
}

std::string TKVVariant::AsString() const {
  switch (m_Type) {
    case varEmpty: return {};
    case varUInt64: return std::to_string(std::get<uint64_t>(m_Value));
    case varSingle: return KVFormatSingleShortest(static_cast<float>(std::get<double>(m_Value)));
    case varDouble: return KVFormatDoubleShortest(std::get<double>(m_Value));
    case varCurrency: return FormatCurrency(std::get<int64_t>(m_Value));
    case varDate: {
      const double d = std::get<double>(m_Value);
      TKVDateTimeParts parts;
      if (!KVTryDecodeDateTime(d, parts)) CastError(varString, "TKVVariant.AsString");
      return KVFormatIsoDateTime(d);
    }
    case varBoolean: return std::get<bool>(m_Value) ? "True" : "False";
    case varString: return std::get<std::string>(m_Value);
    case varOleStr: return KVUtf16ToUtf8(std::get<std::u16string>(m_Value));
    case varByteArray: {
      const auto& bytes = std::get<std::vector<uint8_t>>(m_Value);
      return std::string(bytes.begin(), bytes.end());
    }
    default:
      if (IsIntegerType(m_Type)) return std::to_string(std::get<int64_t>(m_Value));
      CastError(varString, "TKVVariant.AsString");
  }
}

std::u16string TKVVariant::AsWideString() const {
  if (m_Type == varOleStr) return std::get<std::u16string>(m_Value);
  if (m_Type == varNull) CastError(varOleStr, "TKVVariant.AsWideString");
  return KVUtf8ToUtf16(AsString());
}

int32_t TKVVariant::AsInt32() const {
  return static_cast<int32_t>(TKVVariantOps::ToSigned(*this, varInteger, std::numeric_limits<int32_t>::min(),
                                                      std::numeric_limits<int32_t>::max(),
                                                      "TKVVariant.AsInt32"));
}

int64_t TKVVariant::AsInt64() const {
  return TKVVariantOps::ToSigned(*this, varInt64, std::numeric_limits<int64_t>::min(),
                                 std::numeric_limits<int64_t>::max(), "TKVVariant.AsInt64");
}

uint64_t TKVVariant::AsUInt64() const { return TKVVariantOps::ToUnsigned(*this, "TKVVariant.AsUInt64"); }

double TKVVariant::AsDouble() const {
  return TKVVariantOps::NumberFor(*this, varDouble, "TKVVariant.AsDouble").AsDouble();
}

int64_t TKVVariant::AsCurrency() const {
  return TKVVariantOps::ToCurrency(TKVVariantOps::NumberFor(*this, varCurrency, "TKVVariant.AsCurrency"),
                                   "TKVVariant.AsCurrency");
}

double TKVVariant::AsDateTime() const {
  const double d = TKVVariantOps::NumberFor(*this, varDate, "TKVVariant.AsDateTime").AsDouble();
  TKVDateTimeParts parts;
  if (!KVTryDecodeDateTime(d, parts)) throw EVariantOverflowError("TKVVariant.AsDateTime");
  return d;
}

bool TKVVariant::AsBoolean() const {
  bool b;
  if (m_Type == varBoolean) return std::get<bool>(m_Value);
  if (IsString() && TextIsBoolean(AsString(), b)) return b;
  return !TKVVariantOps::NumberFor(*this, varBoolean, "TKVVariant.AsBoolean").IsZero();
}

std::vector<uint8_t> TKVVariant::AsBytes() const {
  if (m_Type == varByteArray) return std::get<std::vector<uint8_t>>(m_Value);
  if (m_Type != varEmpty && !IsString()) CastError(varByteArray, "TKVVariant.AsBytes");
  const std::string s = AsString();
  return std::vector<uint8_t>(s.begin(), s.end());
}

TKVVariant TKVVariant::ChangeType(uint16_t varType) const {
  static constexpr const char* kRoutine = "TKVVariant.ChangeType";
  if (varType == m_Type) return *this;
  if (varType == varEmpty) return TKVVariant();
  if (varType == varNull) return Null();
  if (m_Type == varNull) CastError(varType, kRoutine);
  auto integer = [&](int64_t min, int64_t max) {
    return TKVVariant(varType, TKVVariantOps::ToSigned(*this, varType, min, max, kRoutine));
  };
  switch (varType) {
    case varShortInt: return integer(INT8_MIN, INT8_MAX);
    case varByte: return integer(0, UINT8_MAX);
    case varSmallint: return integer(INT16_MIN, INT16_MAX);
    case varWord: return integer(0, UINT16_MAX);
    case varInteger: return integer(INT32_MIN, INT32_MAX);
    case varLongWord: return integer(0, UINT32_MAX);
    case varInt64: return integer(INT64_MIN, INT64_MAX);
    case varUInt64: return FromUInt64(TKVVariantOps::ToUnsigned(*this, kRoutine));
    case varSingle: {
      double d;
      if (IsString()) {
        float f;  // read straight into float: going through a double could round twice
        if (KVTryParseSingle(AsString(), f)) return FromSingle(f);
      }
      d = TKVVariantOps::NumberFor(*this, varSingle, kRoutine).AsDouble();
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) throw EVariantOverflowError(kRoutine);
      return FromSingle(static_cast<float>(d));
    }
    case varDouble: return FromDouble(AsDouble());
    case varCurrency: return FromCurrency(AsCurrency());
    case varDate: return FromDateTime(AsDateTime());
    case varBoolean: return FromBoolean(AsBoolean());
    case varString: return FromString(AsString());
    case varOleStr: return FromWideString(AsWideString());
    case varByteArray: return FromBytes(AsBytes());
    default: CastError(varType, kRoutine);
  }
}

TKVVariant TKVVariant::FromText(uint16_t varType, std::string_view text) {
  return FromString(std::string(text)).ChangeType(varType);
}

TKVVariantRelation TKVVariant::Compare(const TKVVariant& a, const TKVVariant& b) {
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull() ? TRel::Equal : TRel::NotEqual;
  if (a.IsEmpty() && b.IsEmpty()) return TRel::Equal;
  const bool bytesA = a.m_Type == varByteArray, bytesB = b.m_Type == varByteArray;
  const bool textA = a.IsString() || a.IsEmpty() || bytesA, textB = b.IsString() || b.IsEmpty() || bytesB;
  if (bytesA || bytesB) return textA && textB ? CompareBytes(a.AsString(), b.AsString()) : TRel::NotEqual;
  if (textA && textB) return CompareBytes(a.AsString(), b.AsString());
  const bool numberA = IsNumberLike(a.m_Type) || a.IsEmpty(), numberB = IsNumberLike(b.m_Type) || b.IsEmpty();
  if (numberA && numberB) return CompareNumbers(TKVVariantOps::NumberOf(a), TKVVariantOps::NumberOf(b));
  if (!(a.IsString() && numberB) && !(b.IsString() && numberA)) return TRel::NotEqual;

  // One string, one number; worked out as number against string, then turned round if needed.
  const TKVVariant& str = a.IsString() ? a : b;
  const TKVVariant& num = a.IsString() ? b : a;
  const std::string text = str.AsString();
  const TNumber value = TKVVariantOps::NumberOf(num);
  TNumber parsed;
  double date;
  TRel r;
  if (NumberFromText(text, parsed)) {
    r = CompareNumbers(value, parsed);
  } else if (num.m_Type == varDate && KVTryParseDateTimeText(text, date)) {
    r = CompareNumbers(value, TNumber::Floating(date, varDate));
  } else {
    TKVDateTimeParts parts;
    if (num.m_Type == varDate && !KVTryDecodeDateTime(value.Value, parts)) return TRel::NotEqual;
    r = CompareBytes(num.AsString(), text);
  }
  return &num == &a ? r : Invert(r);
}

TKVVariant TKVVariant::Add(const TKVVariant& a, const TKVVariant& b) {
  if (a.IsNull() || b.IsNull()) return Null();
  if (a.IsEmpty() && b.IsEmpty()) return TKVVariant();
  if (a.IsEmpty() || b.IsEmpty()) {
    const TKVVariant& other = a.IsEmpty() ? b : a;
    return other.m_Type == varBoolean ? FromInt16(std::get<bool>(other.m_Value) ? 1 : 0) : other;
  }
  if (a.m_Type == varByteArray || b.m_Type == varByteArray) {
    if (a.m_Type != b.m_Type)
      throw EVariantTypeCastError(a.m_Type == varByteArray ? b.m_Type : a.m_Type, varByteArray,
                                  "TKVVariant.Add");
    std::vector<uint8_t> joined = std::get<std::vector<uint8_t>>(a.m_Value);
    const auto& tail = std::get<std::vector<uint8_t>>(b.m_Value);
    joined.insert(joined.end(), tail.begin(), tail.end());
    return FromBytes(std::move(joined));
  }
  if (a.IsString() && b.IsString()) {
    if (a.m_Type == varOleStr && b.m_Type == varOleStr)
      return FromWideString(std::get<std::u16string>(a.m_Value) + std::get<std::u16string>(b.m_Value));
    return FromString(a.AsString() + b.AsString());
  }
  auto operand = [](const TKVVariant& v) {
    if (IsNumberLike(v.m_Type)) return TKVVariantOps::NumberOf(v);
    TNumber n;
    if (!v.IsString() || !NumberFromText(v.AsString(), n)) v.CastError(varDouble, "TKVVariant.Add");
    return n;
  };
  return TKVVariantOps::AddNumbers(operand(a), operand(b));
}
