// What each function of DabrixPlugin.qxp does to a value, called through the contract with host-made
// argument lists.
#include <chrono>
#include <ctime>
#include <set>

#include "PluginTestHost.h"

using namespace plugintest;

using FunctionTextTest = PluginFixture;

TEST_F(FunctionTextTest, ReplaceCharacters) {
  EXPECT_EQ(Call("Replace Characters", Text("cab"), {Text("abc"), Text("xy")}).Text(), "cxy");
  EXPECT_EQ(Call("Replace Characters", Text("aabbcc"), {Text("abc"), Text("xy")}).Text(), "xxyycc");
  // Membership is case-sensitive and the first occurrence in the find set decides.
  EXPECT_EQ(Call("Replace Characters", Text("Aa"), {Text("aa"), Text("12")}).Text(), "A1");
  // Non-ASCII characters are characters, not bytes.
  EXPECT_EQ(Call("Replace Characters", Text("Müller"), {Text("ü"), Text("u")}).Text(), "Muller");
  // The program's own 8-bit strings are read and written back as BSTR.
  TCallResult r = Call("Replace Characters", HostText("a-b"), {Text("-"), Text("_")});
  EXPECT_EQ(r.Value.vt(), VT_BSTR);
  EXPECT_EQ(r.Text(), "a_b");
  // Numbers are converted to text first.
  EXPECT_EQ(Call("Replace Characters", Int(1203), {Text("0"), Text("9")}).Text(), "1293");
}

TEST_F(FunctionTextTest, TrimCharacters) {
  EXPECT_EQ(Call("Trim Characters", Text(" \tx \r\n")).Text(), "x");
  EXPECT_EQ(Call("Trim Characters", Text("ab12cd"), {Text("0123456789"), Bool(true)}).Text(), "12");
  EXPECT_EQ(Call("Trim Characters", Text("--a--"), {Text("-"), Bool(false), Bool(true)}).Text(), "a--");
  EXPECT_EQ(Call("Trim Characters", Text("--a--"), {Text("-"), Bool(false), Bool(false), Bool(true)}).Text(), "--a");
  EXPECT_EQ(Call("Trim Characters", Text("--a--"), {Text("-"), Bool(false), Bool(true), Bool(true)}).Text(), "a");
  TCallResult all = Call("Trim Characters", Text("----"), {Text("-")});
  EXPECT_EQ(all.Value.vt(), VT_BSTR);
  EXPECT_EQ(all.Text(), "");
}

TEST_F(FunctionTextTest, RemoveCharactersAndMakeNumber) {
  EXPECT_EQ(Call("Remove Characters", Text("12-34-5"), {Text("-")}).Text(), "12345");
  EXPECT_EQ(Call("Remove Characters", Text("12-34-5"), {Text("-"), Bool(true)}).Text(), "--");

  EXPECT_EQ(Call("Make Number", Text("  -12a3")).Text(), "-123");
  EXPECT_EQ(Call("Make Number", Text("a-1")).Text(), "1");
  EXPECT_EQ(Call("Make Number", Text(" -7 kg")).Text(), "-7");
  EXPECT_TRUE(Call("Make Number", Text("abc")).IsNull());
  EXPECT_EQ(Call("Make Number", Text("abc"), {Text("0")}).Text(), "0");
  // The default gets no sign.
  EXPECT_EQ(Call("Make Number", Text("-x"), {Text("0")}).Text(), "0");
}

TEST_F(FunctionTextTest, ReplaceNullValues) {
  EXPECT_EQ(Call("Replace NULL Values", Null()).Text(), "?");
  EXPECT_EQ(Call("Replace NULL Values", Empty()).Text(), "?");
  EXPECT_EQ(Call("Replace NULL Values", Text("   ")).Text(), "?");
  EXPECT_EQ(Call("Replace NULL Values", HostText(" \t")).Text(), "?");
  EXPECT_EQ(Call("Replace NULL Values", Text("   "), {Text("?"), Bool(false)}).Text(), "   ");
  EXPECT_EQ(Call("Replace NULL Values", Text(" a ")).Text(), " a ");
  TCallResult zero = Call("Replace NULL Values", Int(0));
  EXPECT_EQ(zero.Value.vt(), VT_I4);
  EXPECT_EQ(zero.Value.get()->lVal, 0);
  // The replacement keeps its own type.
  TCallResult n = Call("Replace NULL Values", Null(), {Int(42)});
  EXPECT_EQ(n.Value.vt(), VT_I4);
  EXPECT_EQ(n.Value.get()->lVal, 42);
}

TEST_F(FunctionTextTest, RandomString) {
  for (int i = 0; i < 20; ++i) {
    TCallResult r = Call("Random String", Null(), {Int(5), Int(5)});
    ASSERT_EQ(r.Text().size(), 5u);
    EXPECT_TRUE(r.Text()[0] >= 'A' && r.Text()[0] <= 'Z');
    for (size_t k = 1; k < 5; ++k) EXPECT_TRUE(r.Text()[k] >= 'a' && r.Text()[k] <= 'z') << r.Text();
    EXPECT_EQ(Call("Random String", Int(1), {Int(3), Int(4)}).Text().size(), 3u);
    EXPECT_EQ(Call("Random String", Empty(), {Int(7), Int(5)}).Text().size(), 7u);
  }
  std::set<size_t> lengths;
  for (int i = 0; i < 200; ++i) lengths.insert(Call("Random String", Null()).Text().size());
  EXPECT_EQ(*lengths.begin(), 5u);
  EXPECT_EQ(*lengths.rbegin(), 9u);  // the maximum itself is never drawn

  std::string digits = Call("Random String", Null(), {Int(30), Int(30), Bool(true), Bool(false), Bool(true)}).Text();
  EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << digits;
  std::string upper = Call("Random String", Null(), {Int(30), Int(30), Bool(false), Bool(true)}).Text();
  EXPECT_EQ(upper.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << upper;
  TCallResult none = Call("Random String", Null(), {Int(-3), Int(-3)});
  EXPECT_EQ(none.Value.vt(), VT_BSTR);
  EXPECT_EQ(none.Text(), "");
}

TEST_F(FunctionTextTest, PrefixAndPostfix) {
  EXPECT_EQ(Call("Prefix & Postfix", Text("")).Text(), "");
  EXPECT_TRUE(Call("Prefix & Postfix", Null()).IsNull());
  EXPECT_EQ(Call("Prefix & Postfix", Text("abc")).Text(), "\"abc");
  EXPECT_EQ(Call("Prefix & Postfix", Text("+4912"), {Text("+49"), Text("+49")}).Text(), "+4912");
  EXPECT_EQ(Call("Prefix & Postfix", Text("0171"), {Text("+49"), Text("+49")}).Text(), "+490171");
  EXPECT_EQ(Call("Prefix & Postfix", Text("Xab"), {Text("x"), Text("x")}).Text(), "Xab");
  EXPECT_EQ(Call("Prefix & Postfix", Text("Xab"), {Text("x"), Text("x"), Bool(false)}).Text(), "xXab");
  // A value shorter than the prevent prefix does not start with it.
  EXPECT_EQ(Call("Prefix & Postfix", Text("+4"), {Text("+49"), Text("+49")}).Text(), "+49+4");
}

TEST_F(FunctionTextTest, ExtractHouseNumberAndStreetName) {
  EXPECT_EQ(Call("Extract House No", Text("Main Street 12a")).Text(), "12a");
  EXPECT_EQ(Call("Extract House No", Text("12 Main Street")).Text(), "12");
  EXPECT_EQ(Call("Extract House No", Text("Hauptstr. 5")).Text(), "5");
  TCallResult none = Call("Extract House No", Text("Hauptstrasse"));
  EXPECT_EQ(none.Value.vt(), VT_BSTR);
  EXPECT_EQ(none.Text(), "");

  EXPECT_EQ(Call("Extract Street Name", Text("Main Street 12a")).Text(), "Main Street");
  EXPECT_EQ(Call("Extract Street Name", Text("12 Main Street")).Text(), "Main Street");
  EXPECT_EQ(Call("Extract Street Name", Text("5 Hauptstr.")).Text(), "Hauptstr.");
  EXPECT_EQ(Call("Extract Street Name", Text("  Hauptstrasse ")).Text(), "Hauptstrasse");
  EXPECT_EQ(Call("Extract Street Name", Text("")).Text(), "");
}

TEST_F(FunctionTextTest, SetIfRegExMatch) {
  EXPECT_TRUE(Call("Set if regEx match", Text("abc")).IsNull());
  EXPECT_EQ(Call("Set if regEx match", Text("")).Text(), "");
  EXPECT_TRUE(Call("Set if regEx match", Null()).IsNull());
  EXPECT_EQ(Call("Set if regEx match", Text("a\nb")).Text(), "a\nb");
  // NULL is tested as an empty text, so "does not match" replaces it.
  EXPECT_EQ(Call("Set if regEx match", Null(), {Text(".*"), Text("none"), Bool(true)}).Text(), "none");
  EXPECT_EQ(Call("Set if regEx match", Text("ABC"), {Text("abc"), Text("hit")}).Text(), "hit");
  // The whole value must be covered by the first match.
  EXPECT_EQ(Call("Set if regEx match", Text("aa"), {Text("a"), Text("hit")}).Text(), "aa");
  EXPECT_TRUE(Call("Set if regEx match", Text("x"), {Text("x"), Text("<null>")}).IsNull());
  EXPECT_EQ(Call("Set if regEx match", Text("x"), {Text("y"), Text("no"), Bool(true)}).Text(), "no");
  EXPECT_EQ(Call("Set if regEx match", Text("x"), {Text("x"), Text("no"), Bool(true)}).Text(), "x");
}

TEST_F(FunctionTextTest, RemoveAndKeepWords) {
  EXPECT_EQ(Call("Remove Words", Text("a b c"), {Text("b"), Text(" ")}).Text(), "a  c");
  EXPECT_EQ(Call("Remove Words", Text("abc"), {Text("b"), Text(" ")}).Text(), "abc");
  EXPECT_EQ(Call("Remove Words", Text("b B c b"), {Text("b"), Text(" ")}).Text(), "c");
  EXPECT_EQ(Call("Remove Words", Text("b B c"), {Text("b"), Text(" "), Bool(false)}).Text(), "B c");
  // A blank among the separators brings the other whitespace along.
  EXPECT_EQ(Call("Remove Words", Text("x\tGmbH\ny"), {Text("gmbh"), Text(" ")}).Text(), "x\t\ny");
  // Without separators the words are one entry, removed wherever it occurs.
  EXPECT_EQ(Call("Remove Words", Text("xabyab"), {Text("ab")}).Text(), "xy");
  EXPECT_TRUE(Call("Remove Words", Text("b b"), {Text("b"), Text(" ")}).IsNull());
  EXPECT_TRUE(Call("Remove Words", Null(), {Text("b"), Text(" ")}).IsNull());

  EXPECT_EQ(Call("Keep Words", Text("a b c"), {Text("c a"), Text(" ")}).Text(), "c a");
  EXPECT_EQ(Call("Keep Words", Text("A b"), {Text("a"), Text(" ")}).Text(), "a");
  EXPECT_TRUE(Call("Keep Words", Text("A b"), {Text("a"), Text(" "), Bool(false)}).IsNull());
  EXPECT_TRUE(Call("Keep Words", Text("abc"), {Text("b"), Text(" ")}).IsNull());
  EXPECT_EQ(Call("Keep Words", Text("x,y;z"), {Text("z,x"), Text(",;")}).Text(), "z x");
}

TEST_F(FunctionTextTest, NthWordAndSubstring) {
  EXPECT_EQ(Call("n'th word", Text("one two  three"), {Int(2)}).Text(), "two");
  EXPECT_EQ(Call("n'th word", Text("one two  three"), {Int(3)}).Text(), "three");
  EXPECT_TRUE(Call("n'th word", Text("one two  three"), {Int(4)}).IsNull());
  EXPECT_TRUE(Call("n'th word", Text("one two  three"), {Int(0)}).IsNull());
  EXPECT_EQ(Call("n'th word", Text("one two  three"), {Int(65537)}).Text(), "one");
  EXPECT_TRUE(Call("n'th word", Text("one two"), {Int(-1)}).IsNull());
  EXPECT_EQ(Call("n'th word", Text("a;b"), {Int(2), Text(";")}).Text(), "b");

  EXPECT_EQ(Call("Substring", Text("abcdef"), {Int(0), Int(3)}).Text(), "abc");
  EXPECT_EQ(Call("Substring", Text("abcdef"), {Int(2), Int(3)}).Text(), "bcd");
  EXPECT_EQ(Call("Substring", Text("abcdef"), {Int(5), Int(100)}).Text(), "ef");
  EXPECT_TRUE(Call("Substring", Text("abcdef"), {Int(7), Int(3)}).IsNull());
  EXPECT_TRUE(Call("Substring", Text("abcdef"), {Int(1), Int(-1)}).IsNull());
  EXPECT_EQ(Call("Substring", Text("äöü"), {Int(2), Int(1)}).Text(), "ö");
}

TEST_F(FunctionTextTest, RegExReplace) {
  EXPECT_EQ(Call("RegEx Replace", Text("abcb"), {Text("b"), Text("")}).Text(), "ac");
  EXPECT_EQ(Call("RegEx Replace", Text("aaax"), {Text("(:1a+)x"), Text("<%1>"), Bool(true)}).Text(), "<aaa>");
  EXPECT_EQ(Call("RegEx Replace", Text("aaax"), {Text("(:1a+)x"), Text("<%1>")}).Text(), "<%1>");
  EXPECT_EQ(Call("RegEx Replace", Text("10:30"), {Text("\\:"), Text(".")}).Text(), "10.30");
  EXPECT_TRUE(Call("RegEx Replace", Text("bbb"), {Text("b+"), Text("")}).IsNull());
  // The default pattern replaces the whole line.
  EXPECT_EQ(Call("RegEx Replace", Text("abc"), {Text(".*"), Text("x")}).Text(), "x");
  // An empty pattern leaves the value alone.
  EXPECT_EQ(Call("RegEx Replace", Text("abc"), {Text("")}).Text(), "abc");
}

TEST_F(FunctionTextTest, RegExGroupsThatCanMatchNothingKeepTheValue) {
  EXPECT_EQ(Call("RegEx Replace", Text("aaa"), {Text("(b*)*"), Text("X"), Bool(false)}).Text(), "aaa");
  EXPECT_EQ(Call("RegEx Replace", Text("a  b"), {Text("( *)*"), Text("_")}).Text(), "a_b");
  EXPECT_EQ(Call("RegEx Replace", Text("xc"), {Text("(b*)*c"), Text("!")}).Text(), "x!");
  EXPECT_EQ(Call("Set if regEx match", Text("aaa"), {Text("(b*)*"), Text("hit")}).Text(), "aaa");
  EXPECT_EQ(Call("Set if regEx match", Text("xc"), {Text("((b*)*)*c"), Text("hit")}).Text(), "xc");
  EXPECT_EQ(Call("Set if regEx match", Text("c"), {Text("((b*)*)*c"), Text("hit")}).Text(), "hit");
}

TEST_F(FunctionTextTest, RegExReplaceWithoutAMatchKeepsTheValue) {
  TCallResult r = Call("RegEx Replace", Text("hello"), {Text("x+"), Text("y")});
  EXPECT_EQ(r.Error, "");
  EXPECT_EQ(r.Value.vt(), VT_BSTR);
  EXPECT_EQ(r.Text(), "hello");
  // Not even the type changes.
  TCallResult n = Call("RegEx Replace", Int(123), {Text("x"), Text("y")});
  EXPECT_EQ(n.Value.vt(), VT_I4);
  EXPECT_EQ(n.Value.get()->lVal, 123);
  TCallResult h = Call("RegEx Replace", HostText("host"), {Text("x"), Text("y")});
  EXPECT_EQ(h.Value.vt(), VT_KVSTRING);
  EXPECT_EQ(h.Text(), "host");
}

TEST_F(FunctionTextTest, NowIsTheLocalTimeAsADate) {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  TCallResult r = Call("Now", Text("anything"));
  ASSERT_EQ(r.Value.vt(), VT_DATE);
  // Days since 1899-12-30: compare the time of day (within a minute, midnight aside).
  double secondsOfDay = (r.Value.get()->date - static_cast<long long>(r.Value.get()->date)) * 86400.0;
  double expected = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  EXPECT_NEAR(secondsOfDay, expected, 60.0);
  EXPECT_GT(r.Value.get()->date, 45000.0);  // after 2023
  EXPECT_EQ(Call("Now", Null()).Value.vt(), VT_DATE);
}

TEST_F(FunctionTextTest, NullValuesAcrossAllFunctions) {
  const std::set<std::string> keepNull = {"Replace Characters",  "Trim Characters",  "Remove Characters",
                                          "Make Number",         "Prefix & Postfix", "Extract House No",
                                          "Extract Street Name", "Remove Words",     "Keep Words",
                                          "n'th word",           "Substring",        "RegEx Replace"};
  for (auto& [name, f] : m_ByName) {
    SCOPED_TRACE(name);
    TCallResult r = Call(name, Null());
    EXPECT_EQ(r.Error, "");
    if (keepNull.count(name)) {
      EXPECT_TRUE(r.IsNull());
      EXPECT_EQ(Call(name, Empty()).Value.vt(), VT_EMPTY);
    } else if (name == "Replace NULL Values" || name == "Random String" || name == "Now") {
      EXPECT_FALSE(r.IsNull());
    }
  }
}
