#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <type_traits>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVVariant.h"

// Readable failure output for EXPECT_EQ on variants.
void PrintTo(const TKVVariant& v, std::ostream* os) {
  *os << v.TypeName();
  if (!v.IsNull()) *os << "(" << v.AsString() << ")";
}

namespace {

using TRel = TKVVariantRelation;

double Date(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  double v = 0;
  EXPECT_TRUE(KVTryEncodeDateTime({y, m, d, h, n, s, ms}, v));
  return v;
}

// Text of the thrown error, or "" when nothing was thrown.
template <class F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const EKVException& e) {
    return e.ClassName() + ": " + e.Message();
  }
  return {};
}

// --- Types ------------------------------------------------------------------------------------------------

TEST(VariantType, ConstructorsPickTheExpectedTypeCodes) {
  EXPECT_EQ(TKVVariant().VarType(), varEmpty);
  EXPECT_EQ(TKVVariant::Null().VarType(), varNull);
  EXPECT_EQ(TKVVariant(5).VarType(), varInteger);
  EXPECT_EQ(TKVVariant(int64_t{5}).VarType(), varInt64);
  EXPECT_EQ(TKVVariant(short{5}).VarType(), varInteger);
  EXPECT_EQ(TKVVariant(2.5f).VarType(), varDouble);
  EXPECT_EQ(TKVVariant(true).VarType(), varBoolean);
  EXPECT_EQ(TKVVariant("x").VarType(), varString);
  EXPECT_EQ(TKVVariant(std::u16string(u"x")).VarType(), varOleStr);
  EXPECT_EQ(TKVVariant(static_cast<const char*>(nullptr)).AsString(), "");
  // A pointer must never quietly become a Boolean.
  static_assert(!std::is_convertible_v<int*, TKVVariant>);
  static_assert(!std::is_convertible_v<void*, TKVVariant>);
}

TEST(VariantType, ClassificationAndNames) {
  const TKVVariant cur = TKVVariant::FromCurrency(1), date = TKVVariant::FromDateTime(1), b = true;
  EXPECT_TRUE(cur.IsNumeric() && !cur.IsOrdinal());
  EXPECT_TRUE(!date.IsNumeric() && !date.IsOrdinal());
  EXPECT_TRUE(!b.IsNumeric() && b.IsOrdinal());
  EXPECT_TRUE(TKVVariant::FromUInt64(1).IsNumeric() && TKVVariant::FromUInt64(1).IsOrdinal());
  EXPECT_TRUE(TKVVariant(u"x").IsString() && TKVVariant("x").IsString());
  EXPECT_TRUE(TKVVariant().IsEmptyOrNull() && TKVVariant::Null().IsEmptyOrNull());
  EXPECT_FALSE(TKVVariant().IsNull());
  EXPECT_EQ(TKVVariant::FromBytes({}).TypeName(), "Array of Byte");
  EXPECT_EQ(TKVVariant::TypeNameOf(varShortInt), "ShortInt");
  EXPECT_EQ(TKVVariant::TypeNameOf(0x4242), "Unknown ($4242)");
}

// --- Text round trips ---------------------------------------------------------------------------------------

class VariantTextRoundTrip : public testing::TestWithParam<TKVVariant> {};

TEST_P(VariantTextRoundTrip, FromTextRestoresTypeAndValue) {
  const TKVVariant& v = GetParam();
  const std::string text = v.AsString();
  const TKVVariant back = TKVVariant::FromText(v.VarType(), text);
  EXPECT_EQ(back.VarType(), v.VarType()) << text;
  EXPECT_EQ(back, v) << text;
  EXPECT_EQ(back.AsString(), text);
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, VariantTextRoundTrip,
    testing::Values(
        TKVVariant::FromInt8(-128), TKVVariant::FromUInt8(255), TKVVariant::FromInt16(-32768),
        TKVVariant::FromUInt16(65535), TKVVariant::FromInt32(INT32_MIN), TKVVariant::FromUInt32(UINT32_MAX),
        TKVVariant::FromInt64(INT64_MIN), TKVVariant::FromInt64(INT64_MAX), TKVVariant::FromUInt64(UINT64_MAX),
        TKVVariant::FromSingle(0.1f), TKVVariant::FromSingle(std::numeric_limits<float>::max()),
        TKVVariant::FromSingle(1e-45f), TKVVariant::FromDouble(0.1 + 0.2), TKVVariant::FromDouble(1e300),
        TKVVariant::FromDouble(5e-324), TKVVariant::FromDouble(-1.0 / 3), TKVVariant::FromCurrency(INT64_MIN),
        TKVVariant::FromCurrency(INT64_MAX), TKVVariant::FromCurrency(-1),
        TKVVariant::FromDateTime(Date(2020, 2, 1)), TKVVariant::FromDateTime(Date(2020, 2, 1, 3, 4, 5, 6)),
        TKVVariant::FromDateTime(Date(1899, 12, 29, 6)), TKVVariant::FromDateTime(0.75),
        TKVVariant::FromBoolean(true), TKVVariant::FromBoolean(false),
        TKVVariant::FromString("Gr\xC3\xBC\xC3\x9F"
                               "e \xF0\x9F\x98\x80"),
        TKVVariant::FromWideString(u"\U0001F600 x"), TKVVariant::FromBytes({0x00, 0xFF, 0x80, 0x0A})));

TEST(VariantText, AsStringForms) {
  EXPECT_EQ(TKVVariant::FromCurrency(125000).AsString(), "12.5");
  EXPECT_EQ(TKVVariant::FromCurrency(-1).AsString(), "-0.0001");
  EXPECT_EQ(TKVVariant::FromCurrency(INT64_MIN).AsString(), "-922337203685477.5808");
  EXPECT_EQ(TKVVariant(1e20).AsString(), "1E20");
  EXPECT_EQ(TKVVariant(2.5).AsString(), "2.5");
  EXPECT_EQ(TKVVariant::FromDateTime(Date(2020, 2, 1)).AsString(), "2020-02-01");
  EXPECT_EQ(TKVVariant(false).AsString(), "False");
  EXPECT_EQ(TKVVariant().AsString(), "");
  EXPECT_EQ(TKVVariant::FromBytes({'a', 0, 'b'}).AsString(), std::string("a\0b", 3));
  EXPECT_EQ(ErrorOf([] { TKVVariant::Null().AsString(); }),
            "EVariantTypeCastError: Could not convert variant of type (Null) into type (String)");
  EXPECT_EQ(ErrorOf([] { TKVVariant::FromDateTime(1e10).AsString(); }),
            "EVariantTypeCastError: Could not convert variant of type (Date) into type (String)");
}

TEST(VariantText, FromTextReadsForeignLocaleForms) {
  EXPECT_EQ(TKVVariant::FromText(varDouble, "2,5").AsDouble(), 2.5);
  EXPECT_EQ(TKVVariant::FromText(varSingle, " 2,5 ").AsDouble(), 2.5);
  EXPECT_EQ(TKVVariant::FromText(varCurrency, "1234,5678").AsCurrency(), 12345678);
  EXPECT_EQ(TKVVariant::FromText(varCurrency, "922337203685477.5807").AsCurrency(),
            INT64_MAX);  // no double on the way
  EXPECT_EQ(TKVVariant::FromText(varCurrency, "0.00005").AsCurrency(), 1);
  EXPECT_EQ(TKVVariant::FromText(varCurrency, "-0.00005").AsCurrency(), -1);
  EXPECT_EQ(TKVVariant::FromText(varCurrency, "1.5E3").AsCurrency(), 15000000);
  const double feb1 = Date(2020, 2, 1);
  for (const char* text : {"2020-02-01", "01.02.2020", "02/01/2020", "43862", "43862,0"})
    EXPECT_EQ(TKVVariant::FromText(varDate, text).AsDateTime(), feb1) << text;
  for (const char* text : {"True", "TRUE", " true ", "-1", "1", "0,5"})
    EXPECT_TRUE(TKVVariant::FromText(varBoolean, text).AsBoolean()) << text;
  for (const char* text : {"False", "false", "0", "0,0"})
    EXPECT_FALSE(TKVVariant::FromText(varBoolean, text).AsBoolean()) << text;
  EXPECT_EQ(TKVVariant::FromText(varInteger, "2,5").AsInt32(), 3);
  EXPECT_EQ(TKVVariant::FromText(varInteger, "-2.5").AsInt32(), -3);
  EXPECT_EQ(TKVVariant::FromText(varSmallint, "True").AsInt32(), 1);
  EXPECT_TRUE(TKVVariant::FromText(varNull, "x").IsNull());
  for (uint16_t type : {varInteger, varDouble, varCurrency, varDate, varBoolean, varUInt64})
    for (const char* text : {"", "abc", "1.2.3"})
      EXPECT_THROW(TKVVariant::FromText(type, text), EVariantTypeCastError) << type << " " << text;
  EXPECT_THROW(TKVVariant::FromText(varDouble, "True"), EVariantTypeCastError);
}

// The C locale of a machine with a decimal comma must not leak into any of these.
TEST(VariantText, IndependentOfTheNumericLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  const char* comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "fr_FR"})
    if (std::setlocale(LC_NUMERIC, name)) {
      comma = name;
      break;
    }
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
  struct Restore {
    std::string name;
    ~Restore() { std::setlocale(LC_NUMERIC, name.c_str()); }
  } restore{saved};
  double d = 0;
  EXPECT_TRUE(KVTryParseDouble("2.5", d) && d == 2.5);
  EXPECT_TRUE(KVTryParseDouble("2,5", d) && d == 2.5);
  EXPECT_EQ(KVFormatDouble15(2.5), "2.5");
  EXPECT_EQ(TKVVariant(2.5).AsString(), "2.5");
  EXPECT_EQ(TKVVariant::FromSingle(0.5f).AsString(), "0.5");
  EXPECT_EQ(TKVVariant::FromText(varDouble, "1234.5").AsDouble(), 1234.5);
}

// --- Numbers
// ---------------------------------------------------------------------------------------------------

TEST(VariantNumber, SixtyFourBitBoundaries) {
  EXPECT_EQ(TKVVariant::FromInt64(INT64_MAX).AsUInt64(), uint64_t{INT64_MAX});
  EXPECT_EQ(TKVVariant::FromUInt64(UINT64_MAX).AsString(), "18446744073709551615");
  EXPECT_THROW(TKVVariant::FromUInt64(UINT64_MAX).AsInt64(), EVariantOverflowError);
  EXPECT_THROW(TKVVariant::FromUInt64(uint64_t{1} << 63).AsInt64(), EVariantOverflowError);
  EXPECT_EQ(TKVVariant(-9223372036854775808.0).AsInt64(), INT64_MIN);
  EXPECT_THROW(TKVVariant(9223372036854775808.0).AsInt64(), EVariantOverflowError);
  EXPECT_EQ(TKVVariant(18446744073709549568.0).AsUInt64(), 18446744073709549568u);
  EXPECT_THROW(TKVVariant(18446744073709551616.0).AsUInt64(), EVariantOverflowError);
  EXPECT_THROW(TKVVariant(-1).AsUInt64(), EVariantOverflowError);
  EXPECT_THROW(TKVVariant(std::nan("")).AsInt64(), EVariantOverflowError);
  EXPECT_EQ(TKVVariant("18446744073709551615").AsUInt64(), UINT64_MAX);
  EXPECT_THROW(TKVVariant("9223372036854775808").AsInt64(), EVariantOverflowError);
  EXPECT_EQ(TKVVariant("-9223372036854775808").AsInt64(), INT64_MIN);
  EXPECT_EQ(TKVVariant("$FFFFFFFF").AsInt32(), -1);
  EXPECT_EQ(TKVVariant("$FFFFFFFF").AsInt64(), 4294967295);
  EXPECT_EQ(TKVVariant("$FFFFFFFFFFFFFFFF").AsUInt64(), UINT64_MAX);
  EXPECT_EQ(TKVVariant("$FFFFFFFFFFFFFFFF").AsInt64(), -1);
}

TEST(VariantNumber, NarrowingRoundsThenChecksTheRange) {
  EXPECT_EQ(TKVVariant(2147483647.4).AsInt32(), INT32_MAX);
  EXPECT_THROW(TKVVariant(2147483647.5).AsInt32(), EVariantOverflowError);
  EXPECT_EQ(TKVVariant(-2147483648.4).AsInt32(), INT32_MIN);
  EXPECT_EQ(TKVVariant(0.5).AsInt32(), 1);  // half away from zero, not to even
  EXPECT_EQ(TKVVariant(-0.5).AsInt32(), -1);
  EXPECT_EQ(TKVVariant::FromCurrency(25000).AsInt64(), 3);
  EXPECT_EQ(TKVVariant::FromCurrency(-25000).AsInt64(), -3);
  EXPECT_EQ(TKVVariant::FromCurrency(24999).AsInt64(), 2);
  EXPECT_EQ(TKVVariant::FromCurrency(-4999).AsUInt64(), 0u);  // rounds to zero, which fits
  EXPECT_THROW(TKVVariant::FromCurrency(-5000).AsUInt64(), EVariantOverflowError);
  EXPECT_EQ(TKVVariant(-0.4).AsUInt64(), 0u);
  EXPECT_EQ(TKVVariant(true).AsInt32(), 1);
}

TEST(VariantNumber, ChangeTypeChecksEachTargetRange) {
  const std::tuple<uint16_t, int64_t, int64_t> ranges[] = {
      {varShortInt, INT8_MIN, INT8_MAX},   {varByte, 0, UINT8_MAX},
      {varSmallint, INT16_MIN, INT16_MAX}, {varWord, 0, UINT16_MAX},
      {varInteger, INT32_MIN, INT32_MAX},  {varLongWord, 0, UINT32_MAX}};
  for (auto [type, lo, hi] : ranges) {
    SCOPED_TRACE(TKVVariant::TypeNameOf(type));
    EXPECT_EQ(TKVVariant(int64_t{lo}).ChangeType(type).AsInt64(), lo);
    EXPECT_EQ(TKVVariant(int64_t{hi}).ChangeType(type).AsInt64(), hi);
    EXPECT_EQ(TKVVariant(int64_t{hi}).ChangeType(type).VarType(), type);
    EXPECT_THROW(TKVVariant(int64_t{lo} - 1).ChangeType(type), EVariantOverflowError);
    EXPECT_THROW(TKVVariant(int64_t{hi} + 1).ChangeType(type), EVariantOverflowError);
  }
  EXPECT_THROW(TKVVariant(1e39).ChangeType(varSingle), EVariantOverflowError);
  EXPECT_THROW(TKVVariant(1e16).ChangeType(varCurrency), EVariantOverflowError);
  EXPECT_THROW(TKVVariant::FromCurrencyDouble(1e16), EVariantOverflowError);
  EXPECT_EQ(TKVVariant::FromCurrencyDouble(12.345).AsCurrency(), 123450);
  EXPECT_EQ(TKVVariant(12).ChangeType(varCurrency).AsString(), "12");
  EXPECT_THROW(TKVVariant(1e7).ChangeType(varDate), EVariantOverflowError);
  EXPECT_EQ(TKVVariant(true).ChangeType(varDouble).AsDouble(), 1);
  EXPECT_EQ(TKVVariant(u"7").ChangeType(varWord).AsInt32(), 7);
  EXPECT_TRUE(TKVVariant::Null().ChangeType(varEmpty).IsEmpty());
  EXPECT_TRUE(TKVVariant(5).ChangeType(varNull).IsNull());
  EXPECT_EQ(TKVVariant().ChangeType(varInteger).AsInt32(), 0);
  EXPECT_EQ(ErrorOf([] { TKVVariant::Null().ChangeType(varInteger); }),
            "EVariantTypeCastError: Could not convert variant of type (Null) into type (Integer)");
  EXPECT_EQ(ErrorOf([] { TKVVariant::FromBytes({1}).ChangeType(varDouble); }),
            "EVariantTypeCastError: Could not convert variant of type (Array of Byte) into type (Double)");
  EXPECT_EQ(ErrorOf([] { TKVVariant(1).ChangeType(varByteArray); }),
            "EVariantTypeCastError: Could not convert variant of type (Integer) into type (Array of Byte)");
  EXPECT_EQ(ErrorOf([] { TKVVariant(1e300).AsInt64(); }),
            "EVariantOverflowError: Arithmetic overflow occurred");
  EXPECT_THROW(TKVVariant(1).ChangeType(0x4242), EVariantTypeCastError);
  try {
    TKVVariant::Null().AsDouble();
    ADD_FAILURE() << "Null read as a Double";
  } catch (const EVariantTypeCastError& e) {
    EXPECT_TRUE(KVIsExceptionClass(e, "EKVException"));
    EXPECT_EQ(e.SourceType(), varNull);
    EXPECT_EQ(e.TargetType(), varDouble);
  }
}

// --- Comparison ----------------------------------------------------------------------------------------------

TEST(VariantCompare, NullAndEmpty) {
  const TKVVariant null = TKVVariant::Null(), empty;
  EXPECT_EQ(TKVVariant::Compare(null, null), TRel::Equal);
  for (const TKVVariant& other : {empty, TKVVariant(0), TKVVariant(""), TKVVariant::FromBytes({})}) {
    EXPECT_EQ(TKVVariant::Compare(null, other), TRel::NotEqual);
    EXPECT_EQ(TKVVariant::Compare(other, null), TRel::NotEqual);
  }
  EXPECT_EQ(TKVVariant::Compare(empty, empty), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(empty, 0), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(empty, ""), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(empty, 1), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare(empty, -0.5), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare("a", empty), TRel::GreaterThan);
  EXPECT_TRUE(null == null && empty == empty && !(null == empty));
}

TEST(VariantCompare, NumbersCompareExactlyAcrossTypes) {
  const auto two63 = TKVVariant::FromUInt64(uint64_t{1} << 63);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromInt64(INT64_MAX), two63), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromUInt64(UINT64_MAX), -1), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromInt64((int64_t{1} << 53) + 1), double(int64_t{1} << 53)),
            TRel::GreaterThan);  // would be Equal through a double
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromInt64(INT64_MAX), 9223372036854775808.0), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare(two63, 9223372036854775808.0), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromInt8(-3), -2.5), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromCurrency(125000), 12.5), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromCurrency(25000), 2), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromCurrency(25000), 3), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromCurrency(-25000), -3), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare(-2, TKVVariant::FromCurrency(-25000)), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromCurrency(-30000), -3), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(true, 1), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromDateTime(2.5), 2.5), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(TKVVariant::FromSingle(0.5f), TKVVariant::FromUInt8(0)), TRel::GreaterThan);
  const TKVVariant nan = std::nan("");
  EXPECT_EQ(TKVVariant::Compare(nan, nan), TRel::NotEqual);
  EXPECT_EQ(TKVVariant::Compare(nan, 1), TRel::NotEqual);
  EXPECT_TRUE(TKVVariant::FromUInt16(5) == 5.0 && 5 == TKVVariant::FromUInt16(5));
}

TEST(VariantCompare, StringsAndMixedStringNumber) {
  EXPECT_EQ(TKVVariant::Compare("a", "B"), TRel::GreaterThan);         // case-sensitive, by bytes
  EXPECT_EQ(TKVVariant::Compare("\xC3\xA9", "z"), TRel::GreaterThan);  // UTF-8 bytes compare unsigned
  EXPECT_EQ(TKVVariant::Compare(u"\U0001F600", "\xF0\x9F\x98\x80"), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(u"\U0001F600", u"\uFFFF"), TRel::GreaterThan);  // code point, not UTF-16 order
  EXPECT_EQ(TKVVariant::Compare("10", 9), TRel::GreaterThan);  // numerically, though "10" < "9" as text
  EXPECT_EQ(TKVVariant::Compare(9, "10"), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare("2,5", 2.5), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare("18446744073709551615", TKVVariant::FromUInt64(UINT64_MAX)), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(5, "abc"), TRel::LessThan);  // "5" against "abc" as text
  EXPECT_EQ(TKVVariant::Compare("abc", 5), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare(true, "True"), TRel::Equal);
  const TKVVariant feb1 = TKVVariant::FromDateTime(Date(2020, 2, 1));
  EXPECT_EQ(TKVVariant::Compare(feb1, "2020-02-01"), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(feb1, "01.02.2020"), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare("2020-02-02", feb1), TRel::GreaterThan);
}

TEST(VariantCompare, ByteArrays) {
  const auto bytes = [](std::vector<uint8_t> v) { return TKVVariant::FromBytes(std::move(v)); };
  EXPECT_EQ(TKVVariant::Compare(bytes({1, 2}), bytes({1, 2})), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(bytes({1, 2}), bytes({1, 2, 0})), TRel::LessThan);
  EXPECT_EQ(TKVVariant::Compare(bytes({0x80}), bytes({0x7F, 0xFF})), TRel::GreaterThan);
  EXPECT_EQ(TKVVariant::Compare(bytes({'a', 'b'}), "ab"), TRel::Equal);
  EXPECT_EQ(TKVVariant::Compare(bytes({1}), 1), TRel::NotEqual);
}

// --- Addition ------------------------------------------------------------------------------------------------

void ExpectSum(const TKVVariant& a, const TKVVariant& b, uint16_t type, const std::string& text) {
  const TKVVariant sum = a + b;
  EXPECT_EQ(sum.TypeName(), TKVVariant::TypeNameOf(type)) << a.TypeName() << " + " << b.TypeName();
  EXPECT_EQ(sum.AsString(), text) << a.TypeName() << " + " << b.TypeName();
  EXPECT_EQ((b + a).VarType(), sum.VarType()) << "addition must not depend on the order";
}

TEST(VariantAdd, NullEmptyAndStrings) {
  EXPECT_TRUE((TKVVariant::Null() + 1).IsNull());
  EXPECT_TRUE(("x" + TKVVariant::Null()).IsNull());
  EXPECT_TRUE((TKVVariant() + TKVVariant()).IsEmpty());
  ExpectSum(TKVVariant(), 7, varInteger, "7");
  ExpectSum(TKVVariant(), true, varSmallint, "1");
  ExpectSum(TKVVariant(), "ab", varString, "ab");
  EXPECT_EQ(TKVVariant("a") + TKVVariant("b"), TKVVariant("ab"));
  ExpectSum(u"a", u"b", varOleStr, "ab");
  EXPECT_EQ((TKVVariant(u"a") + "b").VarType(), varString);
  ExpectSum(TKVVariant::FromBytes({1}), TKVVariant::FromBytes({}), varByteArray, "\x01");
  EXPECT_THROW(TKVVariant::FromBytes({1}) + 1, EVariantTypeCastError);
}

TEST(VariantAdd, IntegersWidenAndPromoteOnOverflow) {
  ExpectSum(TKVVariant::FromInt16(1), TKVVariant::FromUInt8(2), varSmallint, "3");
  ExpectSum(TKVVariant::FromInt8(1), TKVVariant::FromUInt8(2), varSmallint, "3");
  ExpectSum(TKVVariant::FromUInt8(200), TKVVariant::FromUInt8(55), varByte, "255");
  ExpectSum(TKVVariant::FromUInt8(200), TKVVariant::FromUInt8(100), varInt64, "300");
  ExpectSum(TKVVariant::FromInt32(1), TKVVariant::FromUInt32(2), varInt64, "3");
  ExpectSum(INT32_MAX, 1, varInt64, "2147483648");
  ExpectSum(INT32_MIN, -1, varInt64, "-2147483649");
  ExpectSum(TKVVariant::FromUInt16(1), TKVVariant::FromInt8(-2), varInteger, "-1");
  ExpectSum(TKVVariant::FromUInt64(uint64_t{1} << 63), -1, varInt64, "9223372036854775807");
  ExpectSum(TKVVariant::FromUInt64(UINT64_MAX - 1), TKVVariant::FromUInt64(1), varUInt64,
            "18446744073709551615");
  ExpectSum(TKVVariant::FromInt64(INT64_MAX), 1, varDouble, "9223372036854775808");
  ExpectSum(TKVVariant::FromUInt64(UINT64_MAX), TKVVariant::FromUInt64(1), varDouble, "18446744073709551616");
  ExpectSum(TKVVariant::FromInt64(INT64_MIN), TKVVariant::FromUInt64(UINT64_MAX), varInt64,
            "9223372036854775807");
  ExpectSum(true, true, varSmallint, "2");
}

TEST(VariantAdd, MixedKinds) {
  ExpectSum(1, 0.5, varDouble, "1.5");
  ExpectSum(TKVVariant::FromSingle(0.5f), TKVVariant::FromSingle(0.25f), varDouble, "0.75");
  ExpectSum(TKVVariant::FromCurrency(1), TKVVariant::FromCurrency(2), varCurrency, "0.0003");
  ExpectSum(TKVVariant::FromCurrency(5000), 2, varCurrency, "2.5");
  ExpectSum(TKVVariant::FromCurrency(5000), 0.25, varDouble, "0.75");
  EXPECT_THROW(TKVVariant::FromCurrency(INT64_MAX) + TKVVariant::FromCurrency(1), EVariantOverflowError);
  EXPECT_THROW(TKVVariant::FromCurrency(0) + TKVVariant::FromInt64(INT64_MAX), EVariantOverflowError);
  const double feb1 = Date(2020, 2, 1);
  ExpectSum(TKVVariant::FromDateTime(feb1), 1, varDate, "2020-02-02");
  ExpectSum(TKVVariant::FromDateTime(feb1), 0.25, varDate, "2020-02-01 06:00:00");
  ExpectSum(TKVVariant::FromDateTime(feb1), TKVVariant::FromCurrency(5000), varDate, "2020-02-01 12:00:00");
  ExpectSum("1,5", 1, varDouble, "2.5");
  ExpectSum("2", 3, varInt64, "5");
  ExpectSum("2", TKVVariant::FromDateTime(feb1), varDate, "2020-02-03");
  EXPECT_THROW(TKVVariant("abc") + 1, EVariantTypeCastError);
  EXPECT_THROW(TKVVariant("$10") + 1, EVariantTypeCastError);
}

}  // namespace
