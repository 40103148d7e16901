#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVExceptions.h"

namespace {

// --- Floating point text ----------------------------------------------------------------------------------

TEST(FormatDouble15, WritesGeneralFormWithPlainExponent) {
  const std::pair<double, const char*> cases[] = {
      {2.5, "2.5"},
      {0.1, "0.1"},
      {123456.789, "123456.789"},
      {-3, "-3"},
      {1e300, "1E300"},
      {1.5e20, "1.5E20"},
      {1e-5, "1E-5"},
      {0.0001, "0.0001"},
      {123456789012345.0, "123456789012345"},
      {1e15, "1E15"},
      {1.0 / 3, "0.333333333333333"},
      {-2.5e-10, "-2.5E-10"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (auto& [value, text] : cases) EXPECT_EQ(KVFormatDouble15(value), text);
}

TEST(FormatDouble15, TypicalValuesReadBack) {
  for (double v : {2.5, 0.1, 123456.789, -3.0, 1e300, 1e-300, 0.3, 1234.5678}) {
    double back = 0;
    ASSERT_TRUE(KVTryParseDouble(KVFormatDouble15(v), back)) << v;
    EXPECT_EQ(back, v);
  }
}

TEST(FormatDoubleShortest, RoundTripsEveryBit) {
  for (double v : {0.1 + 0.2, 1.0 / 3, 5e-324, std::numeric_limits<double>::max(), -1e20, 2.0 / 3e-300}) {
    double back = 0;
    ASSERT_TRUE(KVTryParseDouble(KVFormatDoubleShortest(v), back)) << v;
    EXPECT_EQ(back, v);
  }
  EXPECT_EQ(KVFormatDoubleShortest(1e20), "1E20");
  EXPECT_EQ(KVFormatSingleShortest(0.1f), "0.1");  // not the widened 0.10000000149011612
}

TEST(ParseDouble, AcceptsPointOrCommaSignsExponentsAndBlanks) {
  const std::pair<const char*, double> cases[] = {
      {"2.5", 2.5}, {"2,5", 2.5}, {" -2,5\t", -2.5}, {"+1e3", 1000}, {"1E-5", 1e-5},
      {".5", 0.5},  {",5", 0.5},  {"7", 7},          {"1,5E2", 150}, {"1e-400", 0},
  };
  for (auto& [text, value] : cases) {
    double d = -99;
    EXPECT_TRUE(KVTryParseDouble(text, d)) << text;
    EXPECT_EQ(d, value) << text;
  }
  double d = 0;
  ASSERT_TRUE(KVTryParseDouble("-1e-400", d));
  EXPECT_TRUE(d == 0 && std::signbit(d));
  ASSERT_TRUE(KVTryParseDouble("-INF", d));
  EXPECT_TRUE(std::isinf(d) && d < 0);
}

TEST(ParseDouble, RejectsGarbageAndLeavesTheOutputAlone) {
  for (const char* text : {"", "  ", "abc", "2.5x", "2.5 x", "1,234.5", "1,2,3", "1.2.3", "+-1", "- 1", "1e400",
                           "0x10", "$10", "e5", "1e"}) {
    double d = 42;
    EXPECT_FALSE(KVTryParseDouble(text, d)) << text;
    EXPECT_EQ(d, 42) << text;
  }
  float f = 1;
  EXPECT_FALSE(KVTryParseSingle("1e39", f));
}

// --- Integer text -------------------------------------------------------------------------------------------

TEST(ParseInteger, Int32BoundariesAndHexBits) {
  int32_t v = 0;
  EXPECT_TRUE(KVTryParseInt32(" 2147483647 ", v) && v == INT32_MAX);
  EXPECT_TRUE(KVTryParseInt32("-2147483648", v) && v == INT32_MIN);
  EXPECT_TRUE(KVTryParseInt32("$FFFFFFFF", v) && v == -1);
  EXPECT_TRUE(KVTryParseInt32("0x7fffffff", v) && v == INT32_MAX);
  EXPECT_TRUE(KVTryParseInt32("+42", v) && v == 42);
  for (const char* bad :
       {"2147483648", "-2147483649", "$100000000", "", "$", "0x", "-$1", "$-1", "4 2", "12abc", "1.0", "--1"})
    EXPECT_FALSE(KVTryParseInt32(bad, v)) << bad;
}

TEST(ParseInteger, SixtyFourBitBoundaries) {
  int64_t i = 0;
  EXPECT_TRUE(KVTryParseInt64("-9223372036854775808", i) && i == INT64_MIN);
  EXPECT_TRUE(KVTryParseInt64("9223372036854775807", i) && i == INT64_MAX);
  EXPECT_FALSE(KVTryParseInt64("9223372036854775808", i));
  EXPECT_TRUE(KVTryParseInt64("$FFFFFFFFFFFFFFFF", i) && i == -1);
  EXPECT_TRUE(KVTryParseInt64("$8000000000000000", i) && i == INT64_MIN);
  EXPECT_FALSE(KVTryParseInt64("$10000000000000000", i));

  uint64_t u = 0;
  EXPECT_TRUE(KVTryParseUInt64("18446744073709551615", u) && u == UINT64_MAX);
  EXPECT_FALSE(KVTryParseUInt64("18446744073709551616", u));
  EXPECT_FALSE(KVTryParseUInt64("-1", u));
  EXPECT_TRUE(KVTryParseUInt64("-0", u) && u == 0);
}

// --- UTF-8 / UTF-16 ----------------------------------------------------------------------------------------

TEST(Utf, SurrogatePairsBothWays) {
  const std::string utf8 = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, a-umlaut, euro sign, U+1F600
  const std::u16string utf16 = u"a\u00E4\u20AC\U0001F600";
  ASSERT_EQ(utf16.size(), 5u);
  EXPECT_EQ(KVUtf8ToUtf16(utf8), utf16);
  EXPECT_EQ(KVUtf16ToUtf8(utf16), utf8);
  EXPECT_EQ(KVUtf16ToUtf8(u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
}

TEST(Utf, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(KVUtf16ToUtf8(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");
  EXPECT_EQ(KVUtf16ToUtf8(std::u16string{u'\xDE00', u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(KVUtf16ToUtf8(std::u16string{u'\xD83D', u'x'}), "\xEF\xBF\xBDx");
}

TEST(Utf, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82", u"\uFFFD"},                            // cut off at the end
      {"\xE2\x82"
       "A",
       u"\uFFFDA"},  // cut off by the next character
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"x\xFFy", u"x\uFFFDy"},
  };
  for (auto& [in, out] : cases) EXPECT_EQ(KVUtf8ToUtf16(in), out) << testing::PrintToString(in);
}

// --- ASCII case ----------------------------------------------------------------------------------------------

TEST(TextCase, FoldsAsciiLettersOnly) {
  EXPECT_TRUE(KVSameText("Table_1", "tABLE_1"));
  EXPECT_FALSE(KVSameText("\xC3\x84", "\xC3\xA4"));  // A-umlaut vs a-umlaut stay different
  EXPECT_FALSE(KVSameText("ab", "abc"));
  EXPECT_EQ(KVCompareText("a", "B"), -1);
  EXPECT_EQ(KVCompareText("ABC", "abc"), 0);
  EXPECT_EQ(KVCompareText("_", "z"), 1);  // folded to upper case, "_" sorts after the letters
  EXPECT_EQ(KVCompareText("ab", "abc"), -1);
  EXPECT_EQ(KVCompareText("\xE9", "e"), 1);  // bytes above 127 compare unsigned
  EXPECT_EQ(KVUpperCase("M\xC3\xBCller-x"), "M\xC3\xBCLLER-X");
  EXPECT_EQ(KVLowerCase("M\xC3\x9CLLER"), "m\xC3\x9Cller");
}

// --- Date-time ---------------------------------------------------------------------------------------------

double Encode(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  double v = 0;
  EXPECT_TRUE(KVTryEncodeDateTime({y, m, d, h, n, s, ms}, v)) << y << "-" << m << "-" << d;
  return v;
}

void ExpectParts(double value, TKVDateTimeParts e) {
  TKVDateTimeParts p;
  ASSERT_TRUE(KVTryDecodeDateTime(value, p)) << value;
  EXPECT_EQ(std::tie(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.Millisecond),
            std::tie(e.Year, e.Month, e.Day, e.Hour, e.Minute, e.Second, e.Millisecond))
      << KVFormatDouble15(value);
}

TEST(DateTime, EncodesKnownDaysAndNegativeValues) {
  EXPECT_EQ(Encode(1899, 12, 30), 0);
  EXPECT_EQ(Encode(1900, 1, 1), 2);
  EXPECT_EQ(Encode(2000, 1, 1), 36526);
  EXPECT_EQ(Encode(1, 1, 1), -693593);
  EXPECT_EQ(Encode(9999, 12, 31), 2958465);
  EXPECT_EQ(Encode(1899, 12, 29, 6), -1.25);  // the fraction runs forward also before day 0
  ExpectParts(-1.25, {1899, 12, 29, 6, 0, 0, 0});
  ExpectParts(-0.5, {1899, 12, 30, 12, 0, 0, 0});
  ExpectParts(Encode(2000, 2, 29, 23, 59, 59, 999), {2000, 2, 29, 23, 59, 59, 999});
}

TEST(DateTime, RejectsFieldsOutOfRange) {
  const TKVDateTimeParts cases[] = {
      {2021, 2, 29, 0, 0, 0, 0},   {1900, 2, 29, 0, 0, 0, 0}, {2020, 13, 1, 0, 0, 0, 0},
      {2020, 4, 31, 0, 0, 0, 0},   {0, 1, 1, 0, 0, 0, 0},     {10000, 1, 1, 0, 0, 0, 0},
      {2020, 1, 1, 24, 0, 0, 0},   {2020, 1, 1, 0, 60, 0, 0}, {2020, 1, 1, 0, 0, 60, 0},
      {2020, 1, 1, 0, 0, 0, 1000}, {2020, 1, 1, -1, 0, 0, 0}, {2020, 0, 1, 0, 0, 0, 0}};
  double v = 0;
  for (const auto& p : cases)
    EXPECT_FALSE(KVTryEncodeDateTime(p, v)) << p.Year << "-" << p.Month << "-" << p.Day << " " << p.Hour;
}

TEST(DateTime, DecodeRoundsToMillisecondsWithCarry) {
  const double ms = 1.0 / 86400000;
  ExpectParts(Encode(2020, 5, 6, 12, 0, 59) + 0.9996 * 1000 * ms, {2020, 5, 6, 12, 1, 0, 0});
  ExpectParts(Encode(2020, 5, 6, 12, 0, 59) + 0.4 * ms + 999 * ms, {2020, 5, 6, 12, 0, 59, 999});
  ExpectParts(Encode(1999, 12, 31) + 1 - 0.4 * ms, {2000, 1, 1, 0, 0, 0, 0});
  ExpectParts(1 - 0.4 * ms, {1899, 12, 31, 0, 0, 0, 0});
  // before day 0 a time rounding up to midnight still moves forward in time
  ExpectParts(-1.9999999999, {1899, 12, 30, 0, 0, 0, 0});
  ExpectParts(-0.9999999999, {1899, 12, 31, 0, 0, 0, 0});
}

TEST(DateTime, DecodeRefusesValuesOutsideTheCalendar) {
  TKVDateTimeParts p;
  for (double v : {std::nan(""), std::numeric_limits<double>::infinity(), 2958466.0, -693594.0, 1e300})
    EXPECT_FALSE(KVTryDecodeDateTime(v, p)) << v;
  EXPECT_THROW(KVDecodeDateTime(1e300), EKVException);
  EXPECT_THROW(KVFormatIsoDateTime(std::nan("")), EKVException);
}

TEST(DateTime, NowIsToday) {
  const double before = KVNow();
  EXPECT_GT(before, Encode(2020, 1, 1));
  EXPECT_LE(before, KVNow());
}

TEST(DateTimeText, FixedFormWritesAndReads) {
  const double v = Encode(2020, 2, 1, 3, 4, 5, 999);
  EXPECT_EQ(KVFormatFixedDateTime(v), "01.02.2020 03:04:05");  // milliseconds cut, not rounded up
  double d = 0;
  ASSERT_TRUE(KVTryParseFixedDateTime("1.2.2020 3:4:5", d));
  EXPECT_EQ(d, Encode(2020, 2, 1, 3, 4, 5));
  ASSERT_TRUE(KVTryParseFixedDateTime(" 01.02.2020 ", d));
  EXPECT_EQ(d, Encode(2020, 2, 1));
  ASSERT_TRUE(KVTryParseFixedDateTime("31.12.1899 23:59", d));
  EXPECT_EQ(d, Encode(1899, 12, 31, 23, 59));
  for (const char* bad : {"1.2.20", "2020-02-01", "02/01/2020", "1.2.2020 3:04 PM", "31.2.2020",
                          "1.2.2020 24:00", "1.2.2020 3", "1.2.2020 3:4:5 x", "1.2.2020T03:04", ""})
    EXPECT_FALSE(KVTryParseFixedDateTime(bad, d)) << bad;
}

TEST(DateTimeText, IsoFormShowsOnlyWhatIsThere) {
  EXPECT_EQ(KVFormatIsoDateTime(Encode(2020, 2, 1)), "2020-02-01");
  EXPECT_EQ(KVFormatIsoDateTime(0.5), "12:00:00");
  EXPECT_EQ(KVFormatIsoDateTime(0), "00:00:00");
  EXPECT_EQ(KVFormatIsoDateTime(Encode(2020, 2, 1, 3, 4, 5)), "2020-02-01 03:04:05");
  EXPECT_EQ(KVFormatIsoDateTime(Encode(2020, 2, 1, 3, 4, 5, 7)), "2020-02-01 03:04:05.007");
  EXPECT_EQ(KVFormatIsoDateTime(Encode(1, 1, 1, 0, 0, 0, 1)), "0001-01-01 00:00:00.001");
  EXPECT_EQ(KVFormatIsoDateTime(-1.25), "1899-12-29 06:00:00");
}

TEST(DateTimeText, ReadsEveryAcceptedForm) {
  const double full = Encode(2020, 2, 1, 15, 4, 5);
  const std::pair<const char*, double> cases[] = {
      {"2020-02-01", Encode(2020, 2, 1)},
      {"2020-02-01 15:04:05", full},
      {"2020-02-01T15:04:05", full},
      {"2020-02-01 15:04:05.250", Encode(2020, 2, 1, 15, 4, 5, 250)},
      {"2020-02-01 15:04:05.2504999", Encode(2020, 2, 1, 15, 4, 5, 250)},
      {"2020-02-01 23:59:59.9995", Encode(2020, 2, 2)},
      {"01.02.2020 15:04:05", full},
      {"1.2.2020 15:04", Encode(2020, 2, 1, 15, 4)},
      {"02/01/2020 03:04:05 PM", full},
      {"2/1/2020 3:04:05pm", full},
      {"02/01/2020 12:00 AM", Encode(2020, 2, 1)},
      {"02/01/2020 12:30 PM", Encode(2020, 2, 1, 12, 30)},
      {"02/01/2020", Encode(2020, 2, 1)},
      {"15:04", (15 * 60 + 4) / 1440.0},
      {" 12:00:00 AM ", 0},
      {"06:00:00.5", (6 * 3600000 + 500) / 86400000.0},
  };
  for (auto& [text, value] : cases) {
    double d = -1;
    EXPECT_TRUE(KVTryParseDateTimeText(text, d)) << text;
    EXPECT_EQ(d, value) << text;
  }
  double d = 0;
  for (const char* bad : {"", "13:00 PM", "0:30 AM", "2020-13-01", "2020-02-30", "1/2/2020 PM", "2020-02-01T",
                          "24:00", "12:60", "2020-02-01 15:04:05.1234567890", "2,5", "12", "1.2"})
    EXPECT_FALSE(KVTryParseDateTimeText(bad, d)) << bad;
}

TEST(DateTimeText, IsoTextRoundTripsToTheMillisecond) {
  for (double v :
       {Encode(1, 1, 1, 0, 0, 0, 1), Encode(1899, 12, 29, 23, 59, 59, 999), Encode(1899, 12, 30, 0, 0, 1),
        Encode(1970, 1, 1, 12), Encode(2024, 2, 29, 7, 8, 9, 10), Encode(9999, 12, 31, 23, 59, 59, 999)}) {
    double back = 0;
    ASSERT_TRUE(KVTryParseDateTimeText(KVFormatIsoDateTime(v), back)) << KVFormatIsoDateTime(v);
    EXPECT_EQ(back, v) << KVFormatIsoDateTime(v);
  }
}

}  // namespace
