// The text forms of values: numbers, dates, UTF-8/UTF-16, typed variants and their stored "type,text" form.
// Every text that reads as a value is written back and must read as the same value (bit for bit for
// numbers; dates after the one rounding to milliseconds that writing does), and writing that again must
// give the same text. Comparing two values must be antisymmetric whatever their types.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVVariant.h"
#include "fuzz/FuzzSupport.h"
#include "storage/KVStorage.h"

namespace {

const uint16_t kTypes[] = {varEmpty,  varNull,    varSmallint, varInteger, varSingle, varDouble,
                           varCurrency, varDate,  varOleStr,   varBoolean, varShortInt, varByte,
                           varWord,   varLongWord, varInt64,   varUInt64,  varString, varByteArray};

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

void Numbers(const std::string& t) {
  double d;
  if (KVTryParseDouble(t, d)) {
    const std::string s = KVFormatDoubleShortest(d);
    double back;
    FUZZ_CHECK(KVTryParseDouble(s, back) && SameBits(back, d), FuzzQuote(t) + " written as " + s);
    const std::string f = KVFormatDouble15(d);
    FUZZ_CHECK(KVTryParseDouble(f, back) && KVFormatDouble15(back) == f, FuzzQuote(t) + " written as " + f);
  }
  float f;
  if (KVTryParseSingle(t, f)) {
    const std::string s = KVFormatSingleShortest(f);
    float back;
    FUZZ_CHECK(KVTryParseSingle(s, back) && (std::memcmp(&back, &f, sizeof f) == 0 || (std::isnan(f) && std::isnan(back))),
               FuzzQuote(t) + " written as " + s);
  }
  int32_t i;
  if (KVTryParseInt32(t, i)) {
    int32_t back;
    FUZZ_CHECK(KVTryParseInt32(std::to_string(i), back) && back == i, FuzzQuote(t));
  }
  int64_t l;
  if (KVTryParseInt64(t, l)) {
    int64_t back;
    FUZZ_CHECK(KVTryParseInt64(std::to_string(l), back) && back == l, FuzzQuote(t));
  }
  uint64_t u;
  if (KVTryParseUInt64(t, u)) {
    uint64_t back;
    FUZZ_CHECK(KVTryParseUInt64(std::to_string(u), back) && back == u, FuzzQuote(t));
  }
}

void Dates(const std::string& t) {
  double d;
  if (KVTryParseDateTimeText(t, d)) {
    std::string s;
    try {
      s = KVFormatIsoDateTime(d);
    } catch (const EKVException& e) {
      FuzzFail("a date that was read can be written", FuzzQuote(t) + " read as " + KVFormatDouble15(d) + ": " + e.what());
    }
    double back;
    FUZZ_CHECK(KVTryParseDateTimeText(s, back), FuzzQuote(t) + " written as " + s + " does not read");
    FUZZ_CHECK(KVFormatIsoDateTime(back) == s, FuzzQuote(t) + " written as " + s + ", then as " + KVFormatIsoDateTime(back));
  }
  if (KVTryParseFixedDateTime(t, d)) {
    std::string s;
    try {
      s = KVFormatFixedDateTime(d);
    } catch (const EKVException& e) {
      FuzzFail("a fixed date that was read can be written", FuzzQuote(t) + ": " + e.what());
    }
    double back;
    FUZZ_CHECK(KVTryParseFixedDateTime(s, back) && KVFormatFixedDateTime(back) == s, FuzzQuote(t) + " written as " + s);
  }
}

void Unicode(const std::string& t) {
  std::u16string u;
  if (KVTryUtf8ToUtf16(t, u)) FUZZ_CHECK(KVUtf16ToUtf8(u) == t, FuzzQuote(t));
  const std::u16string lenient = KVUtf8ToUtf16(t);
  std::string clean;
  FUZZ_CHECK(KVTryUtf16ToUtf8(lenient, clean), "the replaced form of " + FuzzQuote(t) + " is well-formed");
  std::u16string again;
  FUZZ_CHECK(KVTryUtf8ToUtf16(clean, again) && again == lenient, FuzzQuote(t));

  std::u16string units(t.size() / 2, u'\0');
  std::memcpy(units.data(), t.data(), units.size() * 2);
  std::string s;
  if (KVTryUtf16ToUtf8(units, s)) FUZZ_CHECK(KVUtf8ToUtf16(s) == units, FuzzQuote(t) + " as UTF-16");
}

std::optional<TKVVariant> FromText(uint16_t type, const std::string& t) {
  try {
    return TKVVariant::FromText(type, t);
  } catch (const EKVException&) {
    return std::nullopt;
  }
}

std::optional<std::string> AsString(const TKVVariant& v) {
  try {
    return v.AsString();
  } catch (const EKVException&) {
    return std::nullopt;
  }
}

bool IsNanValue(const TKVVariant& v) {
  return (v.VarType() == varDouble || v.VarType() == varSingle || v.VarType() == varDate) && std::isnan(v.AsDouble());
}

TKVVariantRelation Mirror(TKVVariantRelation r) {
  if (r == TKVVariantRelation::LessThan) return TKVVariantRelation::GreaterThan;
  if (r == TKVVariantRelation::GreaterThan) return TKVVariantRelation::LessThan;
  return r;
}

void Variants(uint16_t type, uint16_t otherType, const std::string& t, const std::string& other) {
  std::optional<TKVVariant> v = FromText(type, t);
  if (v) {
    FUZZ_CHECK(v->VarType() == type || type == varEmpty || type == varNull,
               FuzzQuote(t) + " as type " + std::to_string(type) + " has type " + std::to_string(v->VarType()));
    if (std::optional<std::string> s = AsString(*v)) {
      std::optional<TKVVariant> w = FromText(type, *s);
      FUZZ_CHECK(w.has_value(), FuzzQuote(t) + " as " + v->TypeName() + " is written as " + FuzzQuote(*s) +
                                    ", which does not read");
      FUZZ_CHECK(AsString(*w) == s, FuzzQuote(t) + " as " + v->TypeName() + ": " + FuzzQuote(*s) + " then " +
                                        FuzzQuote(AsString(*w).value_or("<none>")));
      if (type != varDate && !IsNanValue(*v))
        FUZZ_CHECK(TKVVariant::Compare(*v, *w) == TKVVariantRelation::Equal,
                   FuzzQuote(t) + " as " + v->TypeName() + " is unequal to its text " + FuzzQuote(*s));
    }
    if (std::optional<TKVVariant> o = FromText(otherType, other)) {
      TKVVariantRelation ab = TKVVariant::Compare(*v, *o), ba = TKVVariant::Compare(*o, *v);
      FUZZ_CHECK(ab == Mirror(ba), FuzzQuote(t) + " as " + v->TypeName() + " against " + FuzzQuote(other) + " as " +
                                       o->TypeName() + ": " + std::to_string(static_cast<int>(ab)) + " but " +
                                       std::to_string(static_cast<int>(ba)) + " the other way");
    }
  }

  // The stored "type,text" form.
  if (std::optional<TKVVariant> sv = KVStorageTextToVariant(t, type)) {
    const std::string stored = KVVariantToStorageText(*sv);
    std::optional<TKVVariant> back = KVStorageTextToVariant(stored, type);
    FUZZ_CHECK(back.has_value(), FuzzQuote(t) + " is stored as " + FuzzQuote(stored) + ", which does not read");
    FUZZ_CHECK(back->VarType() == sv->VarType() && KVVariantToStorageText(*back) == stored,
               FuzzQuote(t) + " is stored as " + FuzzQuote(stored) + ", then as " +
                   FuzzQuote(KVVariantToStorageText(*back)));
  }
  (void)KVTextToBoolean(t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  const uint16_t type = kTypes[in.Byte() % (sizeof kTypes / sizeof kTypes[0])];
  const uint16_t otherType = kTypes[in.Byte() % (sizeof kTypes / sizeof kTypes[0])];
  const std::string other = in.Piece('\0');
  const std::string t = in.Rest();
  Numbers(t);
  Dates(t);
  Unicode(t);
  Variants(type, otherType, t, other);
  return 0;
}
