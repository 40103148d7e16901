#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/KVExceptions.h"
#include "foundation/KVRefObject.h"
#include "plugin_functions/KVRegExp.h"

namespace {

struct TFound {
  int32_t start;
  int32_t length;
  friend bool operator==(const TFound&, const TFound&) = default;
};

// Every match of `pattern` in `subject`, FindFirst then FindNext.
std::vector<TFound> AllMatches(const std::string& pattern, const std::string& subject, bool firstCharSet = true) {
  TKVRegExprMatcher m;
  m.SetUseFirstCharSet(firstCharSet);
  m.SetPattern(pattern);
  m.SetSubject(subject);
  std::vector<TFound> found;
  for (bool ok = m.FindFirst(); ok && found.size() < 1000; ok = m.FindNext())
    found.push_back({m.MatchStart(), m.MatchLength()});
  return found;
}

// The first match's text, or "<none>".
std::string FirstText(const std::string& pattern, const std::string& subject) {
  TKVRegExprMatcher m(pattern);
  m.SetSubject(subject);
  return m.FindFirst() ? m.MatchText() : "<none>";
}

// The code and message a pattern's compile error gives; code -1 when it compiles.
std::pair<int32_t, std::string> CompileError(const std::string& pattern) {
  try {
    TKVRegExprMatcher m(pattern);
    return {-1, ""};
  } catch (const ERegExpr& e) {
    return {e.ErrorCode(), e.GetMessageText()};
  }
}

std::string Nested(int depth) { return std::string(depth, '(') + "a" + std::string(depth, ')'); }

TEST(RegExprErrors, EveryCompileErrorHasItsCodeMessageAndPosition) {
  const struct {
    const char* pattern;
    int32_t code;
    const char* message;
  } cases[] = {
      {"", 1, "Expression pattern cannot be blank"},
      {"^", 2, "Invalid pattern expression"},
      {"$", 2, "Invalid pattern expression"},
      {"$abc", 2, "Invalid pattern expression"},
      {"\\b", 2, "Invalid pattern expression"},
      {"\\B", 2, "Invalid pattern expression"},
      {"ab\\", 3, "Unexpected end of expression at position (4)"},
      {"[ab", 3, "Unexpected end of expression at position (4)"},
      {"a{2", 3, "Unexpected end of expression at position (4)"},
      {"a{2,5", 3, "Unexpected end of expression at position (6)"},
      {"(?", 3, "Unexpected end of expression at position (3)"},
      {"a-b", 4, "Unexpected meta character at position (2)"},
      {"10:30", 4, "Unexpected meta character at position (3)"},
      {"a**", 4, "Unexpected meta character at position (3)"},
      {"a+?", 4, "Unexpected meta character at position (3)"},
      {"a|b", 4, "Unexpected meta character at position (2)"},
      {"a)", 4, "Unexpected meta character at position (2)"},
      {"a^", 4, "Unexpected meta character at position (2)"},
      {"[-a]", 4, "Unexpected meta character at position (2)"},
      {"[a-]", 4, "Unexpected meta character at position (4)"},
      {"(a(b)$)", 4, "Unexpected meta character at position (6)"},
      {"a$b", 5, "Characters after end anchor at position (3)"},
      {"a\\bc", 6, "Invalid use of escape sequence at position (2)"},
      {"[\\b]", 6, "Invalid use of escape sequence at position (2)"},
      {"[a-\\d]", 6, "Invalid use of escape sequence at position (4)"},
      {"[\\1]", 6, "Invalid use of escape sequence at position (2)"},
      {"[]", 7, "Invalid empty set at position (2)"},
      {"[^]", 7, "Invalid empty set at position (3)"},
      {"a{2,2}", 8, "Min count must be less than max count (2)"},
      {"a{5,3}", 8, "Min count must be less than max count (2)"},
      {"a{2x}", 9, "Expected a closing brace at position (4)"},
      {"a{2,5x", 9, "Expected a closing brace at position (6)"},
      {"a{0}", 10, "Exact match count cannot be set to zero (3)"},
      {"a{x}", 11, "Expected a numeric at position (3)"},
      {"a{  2}", 11, "Expected a numeric at position (4)"},
      {"@z", 11, "Expected a numeric at position (2)"},
      {"a{99999999999}", 12, "Invalid numeric expression at position (3)"},
      {"(a", 13, "Unexpected terminator found in sub expression (3)"},
      {"(a$)", 13, "Unexpected terminator found in sub expression (3)"},
      {"(a(b)", 14, "Expected a closing paren at position (6)"},
      {"(a|b", 14, "Expected a closing paren at position (5)"},
      {"(#note", 14, "Expected a closing paren at position (7)"},
      {"@12", 15, "Bead markers must be bewteen 0 and 9"},
      {"()", 17, "Empty sub expressesion encountered (2)"},
      {"(|a)", 17, "Empty sub expressesion encountered (2)"},
      {"\\xG1", 18, "Invalid hex char encounter (3)"},
      {"\\x4", 18, "Invalid hex char encounter (4)"},
      {"!a", 19, "Expected a starting paren at position (2)"},
      {"(a!b)", 19, "Expected a starting paren at position (4)"},
      {"(:x)", 21, "Backreference markers must be bewteen 0 and 9"},
      {"(?x)", 23, "Unexpected mode character at position (3)"},
      {"(?-j)", 23, "Unexpected mode character at position (4)"},
      {"(?)", 23, "Unexpected mode character at position (3)"},
      {"a\\<abc", 24, "Unterminated backreference name at position (3)"},
      {"(:<abc)", 24, "Unterminated backreference name at position (3)"},
  };
  for (const auto& c : cases) {
    auto [code, message] = CompileError(c.pattern);
    EXPECT_EQ(code, c.code) << "pattern '" << c.pattern << "'";
    EXPECT_EQ(message, c.message) << "pattern '" << c.pattern << "'";
  }
}

TEST(RegExprErrors, RuntimeErrorsAndUnknownCodes) {
  TKVRegExprMatcher idle;
  idle.SetSubject("abc");
  try {
    idle.FindFirst();
    FAIL() << "searching without a pattern must raise";
  } catch (const ERegExpr& e) {
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_EQ(e.GetMessageText(), "Expression pattern has not been set");
    EXPECT_TRUE(KVIsExceptionClass(e, "EKVException"));
    EXPECT_EQ(e.GetObjectClassName(), "TKVRegExprMatcher");
  }
  EXPECT_THROW(idle.FindNext(), ERegExpr);

  TKVRegExprMatcher m("(:1a)");
  m.SetSubject("a");
  ASSERT_TRUE(m.FindFirst());
  try {
    m.GroupText(10);
    FAIL() << "group numbers above 9 must raise";
  } catch (const ERegExpr& e) {
    EXPECT_EQ(e.ErrorCode(), 21);
    EXPECT_EQ(m.LastErrorText(), "Backreference markers must be bewteen 0 and 9");
  }
  EXPECT_THROW(m.GroupText(-1), ERegExpr);
  EXPECT_THROW(m.Marker(10), ERegExpr);

  EXPECT_EQ(KVRegExprErrorText(16, 3), "Unknown Error Code");
  EXPECT_EQ(KVRegExprErrorText(22, 3), "Unknown Error Code");
  EXPECT_EQ(KVRegExprErrorText(99, 3), "Unknown Error Code");
}

TEST(RegExprErrors, FailedCompileLeavesMatcherUnusable) {
  TKVRegExprMatcher m("(:1a)b");
  ASSERT_TRUE(m.Compiled());
  EXPECT_THROW(m.SetPattern("^a|"), ERegExpr);
  EXPECT_FALSE(m.Compiled());
  EXPECT_EQ(m.StartAnchor(), 0);
  EXPECT_EQ(m.ProgramSize(), 0u);
  m.SetSubject("ab");
  EXPECT_THROW(m.FindFirst(), ERegExpr);
  // The same bad text again is compiled again, and fails again.
  EXPECT_THROW(m.SetPattern("^a|"), ERegExpr);
  m.SetPattern("b");
  EXPECT_TRUE(m.IsMatch("B"));
  // A bad pattern gives no reference-counted matcher at all.
  EXPECT_THROW(KVMakeRef<TKVRegExprMatcher>("a{0}"), ERegExpr);
}

TEST(RegExprErrors, NestingIsLimitedAtCompileAndTheFrameStackNeverOverflows) {
  const std::string deepest = Nested(TKVRegExprMatcher::kMaxNesting);
  TKVRegExprMatcher m(deepest);
  EXPECT_TRUE(m.IsMatch("A"));
  // Quantified deep nesting over a long subject still runs in the fixed stack.
  TKVRegExprMatcher q(std::string(63, '(') + "a" + std::string(62, ')') + ")+");
  EXPECT_TRUE(q.IsMatch(std::string(5000, 'a')));

  auto [code, message] = CompileError(Nested(TKVRegExprMatcher::kMaxNesting + 1));
  EXPECT_EQ(code, 20);
  EXPECT_EQ(message, "Too many nested sub expressions (64)");
  EXPECT_EQ(CompileError(Nested(1000)).first, 20);
  // Non-nesting groups are not limited.
  std::string many;
  for (int i = 0; i < 200; ++i) many += "(a)";
  TKVRegExprMatcher wide(many);
  EXPECT_TRUE(wide.IsMatch(std::string(200, 'a')));
}

TEST(RegExprDialect, CaseIsIgnoredUnlessThePatternSaysOtherwise) {
  TKVRegExprMatcher m("abc");
  EXPECT_TRUE(m.IsMatch("ABC"));
  m.SetSubject("xAbCx");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.MatchStart(), 1);
  EXPECT_EQ(m.MatchLength(), 3);

  EXPECT_FALSE(TKVRegExprMatcher("(?-i)abc").IsMatch("ABC"));
  EXPECT_TRUE(TKVRegExprMatcher("(?-i)abc").IsMatch("abc"));
  // The switch holds for the rest of the pattern, also beyond the group it stands in.
  EXPECT_TRUE(TKVRegExprMatcher("(?-i)a(?i)bc").IsMatch("aBC"));
  EXPECT_FALSE(TKVRegExprMatcher("(?-i)a(?i)bc").IsMatch("ABC"));
  EXPECT_FALSE(TKVRegExprMatcher("(x(?-i)y)z").IsMatch("XyZ"));
  EXPECT_TRUE(TKVRegExprMatcher("(? \t-i)a").IsMatch("a"));
  EXPECT_EQ(CompileError("( ?-i)").first, 4);  // "?" directly after "(" or it is a quantifier

  TKVRegExprMatcher p("[a-c]x");
  EXPECT_TRUE(p.IsMatch("BX"));
  p.SetCaseSensitive(true);
  EXPECT_FALSE(p.IsMatch("BX"));
  EXPECT_TRUE(p.IsMatch("bx"));
  EXPECT_TRUE(TKVRegExprMatcher("\\w+").IsMatch("aZ_9"));
}

TEST(RegExprDialect, RepetitionNeverGivesBackAndAlternationCommits) {
  EXPECT_TRUE(AllMatches("a*a", "aaa").empty());
  EXPECT_TRUE(AllMatches("a+ab", "aaab").empty());
  EXPECT_EQ(FirstText("(a|ab)c", "abc"), "<none>");
  EXPECT_EQ(FirstText("(ab|a)c", "abc"), "abc");
  // A failing alternative falls through to the next one from the same position.
  EXPECT_EQ(FirstText("(ax|ay|az)", "--az"), "az");
  EXPECT_EQ(FirstText("x(ab|cd)*y", "xabcdaby"), "xabcdaby");
  EXPECT_EQ(FirstText("x(ab|cd)*y", "xabcy"), "<none>");

  EXPECT_EQ(FirstText("a{2}", "aaaa"), "aa");
  EXPECT_EQ(FirstText("a{2,}", "aaaa"), "aaaa");
  EXPECT_EQ(FirstText("a{1,3}", "aaaaa"), "aaa");
  EXPECT_EQ(FirstText("a{ 2}", "aaa"), "aa");
  EXPECT_EQ(FirstText("ba?c", "bc"), "bc");
  EXPECT_EQ(FirstText("(ab){2}", "abababab"), "abab");
  EXPECT_EQ(FirstText("(ab){2,}c", "ababc"), "ababc");
  EXPECT_EQ(FirstText("(ab){3,}c", "ababc"), "<none>");
  EXPECT_EQ(FirstText("x(ab)?y", "xy"), "xy");
}

// A repeated group whose body can match nothing: an empty iteration ends the repetition and never makes the
// group consume characters its body did not match.
TEST(RegExprDialect, RepeatedGroupsThatCanMatchNothingConsumeOnlyWhatTheyMatch) {
  const std::vector<TFound> none;
  EXPECT_EQ(AllMatches("(b*)*", "aaa"), none);
  EXPECT_EQ(AllMatches("(z*)*", "hello world"), none);
  EXPECT_EQ(AllMatches("(x?)+", "abc"), none);
  EXPECT_EQ(AllMatches("((b*)*)*", "aaa"), none);
  EXPECT_EQ(AllMatches("(b*)*", "abba"), (std::vector<TFound>{{1, 2}}));
  EXPECT_EQ(AllMatches("(x?)+", "axxbx"), (std::vector<TFound>{{1, 2}, {4, 1}}));
  EXPECT_FALSE(TKVRegExprMatcher("(b*)*").IsMatch("aaa"));
  EXPECT_TRUE(TKVRegExprMatcher("(b*)*").IsMatch("bbb"));

  // What follows the group is found right where the group matched nothing.
  EXPECT_EQ(AllMatches("(b*)*c", "xc"), (std::vector<TFound>{{1, 1}}));
  EXPECT_EQ(AllMatches("((b*)*)*c", "xc xbbc"), (std::vector<TFound>{{1, 1}, {4, 3}}));
  EXPECT_EQ(FirstText("(a*)*b", "aab"), "aab");
  EXPECT_EQ(FirstText("(a*)*b", "xb"), "b");
  EXPECT_EQ(FirstText("(a*)*b", "aax"), "<none>");
  EXPECT_EQ(FirstText("(a?)*b", "aab"), "aab");
  EXPECT_EQ(FirstText("(a?)*b", "cb"), "b");
  EXPECT_EQ(FirstText("(a|b*)*c", "abbac"), "abbac");
  EXPECT_EQ(FirstText("x(a|b*)+y", "xy"), "xy");

  // Anchors around such a group.
  EXPECT_EQ(FirstText("^(b*)*c", "c"), "c");
  EXPECT_EQ(FirstText("^(b*)*c", "xc"), "<none>");
  EXPECT_EQ(AllMatches("^(b*)*", "aaa\nbb"), (std::vector<TFound>{{4, 2}}));
  EXPECT_EQ(AllMatches("(b*)*$", "aaa"), none);
  EXPECT_EQ(AllMatches("(a*)*$", "baa"), (std::vector<TFound>{{1, 2}}));
  EXPECT_EQ(AllMatches("(a*)*b$", "ab\nxb"), (std::vector<TFound>{{0, 2}, {4, 1}}));
  EXPECT_TRUE(TKVRegExprMatcher("^(a?)*b$").IsMatch("aab"));
  EXPECT_TRUE(TKVRegExprMatcher("^((b*)*)*c$").IsMatch("c"));
  EXPECT_FALSE(TKVRegExprMatcher("^((b*)*)*c$").IsMatch("xc"));

  // An empty iteration stands for every further one, so a minimum count is met by it as well.
  EXPECT_EQ(FirstText("(b*){2}c", "xc"), "c");
  EXPECT_EQ(FirstText("(b*){3,}c", "bbc"), "bbc");
  EXPECT_EQ(FirstText("(a?){3}b", "ab"), "ab");
  EXPECT_TRUE(TKVRegExprMatcher("(a?){3}").IsMatch("a"));
  EXPECT_TRUE(TKVRegExprMatcher("(a?){2,4}").IsMatch("aaaa"));
  EXPECT_FALSE(TKVRegExprMatcher("(a?){2,4}").IsMatch("aaaaa"));
  // Groups that always consume keep their minimum.
  EXPECT_EQ(FirstText("(ab){3}", "abab"), "<none>");

  // Replacing: only the characters the group matched go.
  TKVRegExprMatcher spaces("( *)*");
  EXPECT_EQ(spaces.ReplaceAll("a  b c", "", false), "abc");
  EXPECT_EQ(TKVRegExprMatcher("(b*)*").ReplaceAll("aaa", "X", false), "aaa");
  EXPECT_EQ(TKVRegExprMatcher("(z*)*").ReplaceAll("hello world", "X", false), "hello world");
  EXPECT_EQ(TKVRegExprMatcher("(x?)+").ReplaceAll("abc", "X", false), "abc");
  EXPECT_EQ(TKVRegExprMatcher("(b*)*").ReplaceAll("abbab", "X", false), "aXaX");
  // A capture around the repetition holds what all its iterations matched.
  EXPECT_EQ(TKVRegExprMatcher("(:1(b*)*)c").ReplaceAll("abbc", "<%1>", true), "a<bb>");
  EXPECT_EQ(TKVRegExprMatcher("(:1(b*)*)c").ReplaceAll("ac", "<%1>", true), "a<>");

  // A long subject with no character the group can take stays quick and finds nothing.
  EXPECT_EQ(AllMatches("((b*)*)*", std::string(20000, 'a')), none);
}

TEST(RegExprDialect, PunctuationMustBeEscapedAndParenthesesOnlyGroup) {
  EXPECT_TRUE(TKVRegExprMatcher("a\\-b").IsMatch("a-b"));
  EXPECT_TRUE(TKVRegExprMatcher("10\\:30").IsMatch("10:30"));
  EXPECT_TRUE(TKVRegExprMatcher("\\(\\.\\)\\\\\\!").IsMatch("(.)\\!"));
  EXPECT_TRUE(TKVRegExprMatcher("#1 a,b=c").IsMatch("#1 A,B=C"));
  EXPECT_EQ(FirstText("(a|b)+", "xxabbax"), "abba");

  TKVRegExprMatcher plain("(a)(b)");
  plain.SetSubject("ab");
  ASSERT_TRUE(plain.FindFirst());
  for (int i = 0; i < 10; ++i) EXPECT_EQ(plain.GroupText(i), "") << i;

  EXPECT_TRUE(TKVRegExprMatcher("(#a comment)abc").IsMatch("abc"));
  EXPECT_TRUE(TKVRegExprMatcher("[a-z_]+").IsMatch("snake_case"));
  EXPECT_EQ(AllMatches("[z-a]+", "1xyz2"), AllMatches("[a-z]+", "1xyz2"));
  EXPECT_EQ(FirstText("[^a-c\\-]+", "ab-xyz-c"), "xyz");
  EXPECT_EQ(FirstText("[\\d\\-]+", "tel 12-34 x"), "12-34");
  EXPECT_EQ(FirstText("\\h+", "zz1aFg"), "1aF");
  EXPECT_EQ(FirstText("\\d+\\s\\w", "ab 12 x"), "12 x");
  EXPECT_EQ(FirstText(".+", "ab\ncd"), "ab");
}

TEST(RegExprDialect, EscapesAndTheZeroTerminatedSubject) {
  EXPECT_TRUE(TKVRegExprMatcher("\\x41\\x62").IsMatch("ab"));
  EXPECT_TRUE(TKVRegExprMatcher("a\\tb\\r\\n").IsMatch("a\tb\r\n"));
  EXPECT_TRUE(TKVRegExprMatcher("\\a\\e\\f\\v").IsMatch("\a\x1b\f\v"));
  EXPECT_TRUE(TKVRegExprMatcher("[\\x30-\\x32]+").IsMatch("0120"));
  TKVRegExprMatcher m("b+");
  EXPECT_TRUE(m.IsMatch(std::string("bb\0cc", 5)));  // the subject ends at its NUL
  EXPECT_EQ(m.Subject(), "bb");
  EXPECT_TRUE(TKVRegExprMatcher("\xe9+").IsMatch("\xe9\xe9"));
}

TEST(RegExprDialect, NegativeSubExpressionConsumesNothing) {
  TKVRegExprMatcher m("!(ab)a");
  m.SetSubject("aab");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.MatchStart(), 0);
  EXPECT_EQ(m.MatchLength(), 1);
  EXPECT_FALSE(m.FindNext());
  EXPECT_TRUE(AllMatches("!(ab)a", "ab").empty());
  EXPECT_EQ(FirstText("x!(y|z)\\w", "xyxzxw"), "xw");
}

TEST(RegExprMatching, IsMatchNeedsTheFirstMatchToCoverEverything) {
  EXPECT_FALSE(TKVRegExprMatcher("a").IsMatch("aa"));
  EXPECT_TRUE(TKVRegExprMatcher("a+").IsMatch("aa"));
  EXPECT_FALSE(TKVRegExprMatcher(".*").IsMatch(""));
  EXPECT_FALSE(TKVRegExprMatcher(".*").IsMatch("a\nb"));
  EXPECT_TRUE(TKVRegExprMatcher(".*").IsMatch("any text"));
  // Empty matches are never reported.
  EXPECT_TRUE(AllMatches("x*", "abc").empty());
  EXPECT_EQ(AllMatches("x*", "axxb"), (std::vector<TFound>{{1, 2}}));
}

TEST(RegExprMatching, FindNextWalksMatchesAndRestartsAfterTheLast) {
  TKVRegExprMatcher m("an");
  m.SetSubject("Banana");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.MatchStart(), 1);
  ASSERT_TRUE(m.FindNext());
  EXPECT_EQ(m.MatchStart(), 3);
  EXPECT_FALSE(m.FindNext());
  EXPECT_FALSE(m.Matched());
  ASSERT_TRUE(m.FindNext());  // a failed search starts over at the subject start
  EXPECT_EQ(m.MatchStart(), 1);
  m.SetSubject("an");
  ASSERT_TRUE(m.FindNext());
  EXPECT_EQ(m.MatchStart(), 0);
}

TEST(RegExprAnchors, LineAnchors) {
  TKVRegExprMatcher m("^b");
  m.SetSubject("a\nb");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.MatchStart(), 2);
  EXPECT_EQ(AllMatches("^\\w", "ab\ncd\n\nef"), (std::vector<TFound>{{0, 1}, {3, 1}, {7, 1}}));
  EXPECT_TRUE(AllMatches("^b", "ab").empty());

  TKVRegExprMatcher e("x$");
  e.SetSubject("ax\r\nb");
  ASSERT_TRUE(e.FindFirst());
  EXPECT_EQ(e.MatchStart(), 1);
  EXPECT_EQ(AllMatches("\\d+$", "12a\n34\n56"), (std::vector<TFound>{{4, 2}, {7, 2}}));
  EXPECT_TRUE(AllMatches("x$", "xa").empty());
  EXPECT_EQ(m.StartAnchor(), 1);
  EXPECT_EQ(e.EndAnchor(), 1);
}

TEST(RegExprAnchors, WordBoundaries) {
  EXPECT_EQ(AllMatches("\\bcat", "concat cat catalog"), (std::vector<TFound>{{7, 3}, {11, 3}}));
  EXPECT_EQ(AllMatches("cat\\b", "cats cat,concat"), (std::vector<TFound>{{5, 3}, {12, 3}}));
  EXPECT_EQ(AllMatches("\\bcat\\b", "cats cat concat"), (std::vector<TFound>{{5, 3}}));
  EXPECT_EQ(AllMatches("\\Bat", "at cat"), (std::vector<TFound>{{4, 2}}));
  EXPECT_EQ(AllMatches("ca\\B", "ca cat"), (std::vector<TFound>{{3, 2}}));
  TKVRegExprMatcher m("\\bx\\B");
  EXPECT_EQ(m.StartAnchor(), 2);
  EXPECT_EQ(m.EndAnchor(), 3);
}

TEST(RegExprAnchors, EmptyLinePattern) {
  TKVRegExprMatcher m("^$");
  EXPECT_TRUE(m.EmptyLineMode());
  EXPECT_TRUE(m.IsMatch(""));
  EXPECT_FALSE(m.IsMatch("a"));
  m.SetSubject("a\n\nb");
  EXPECT_TRUE(m.FindFirst());
  EXPECT_EQ(m.MatchStart(), 0);
  EXPECT_EQ(m.MatchLength(), 0);
  EXPECT_FALSE(m.FindNext());
  m.SetSubject("a\r\n\r\nb\n\n");
  EXPECT_TRUE(m.FindFirst());
  EXPECT_TRUE(m.FindNext());
  EXPECT_FALSE(m.FindNext());
  m.SetSubject("a\nb\n");  // the empty last line after the final line feed does not count
  EXPECT_FALSE(m.FindFirst());
  m.SetSubject("\nx");
  EXPECT_TRUE(m.FindFirst());
  EXPECT_FALSE(TKVRegExprMatcher("^a$").EmptyLineMode());
}

TEST(RegExprGroups, NumberedNamedBackReferencesAndMarkers) {
  TKVRegExprMatcher m("(:1a+)(:2b+)");
  m.SetSubject("xaabbbc");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.GroupText(1), "aa");
  EXPECT_EQ(m.GroupText(2), "bbb");
  EXPECT_EQ(m.GroupText(0), "");

  TKVRegExprMatcher n("(:<Word>\\w+) (:<num>\\d+)");
  n.SetSubject("-- Item 42 --");
  ASSERT_TRUE(n.FindFirst());
  EXPECT_EQ(n.GroupText("word"), "Item");
  EXPECT_EQ(n.GroupText("NUM"), "42");
  EXPECT_EQ(n.GroupText("other"), "");
  // A group is captured anew on each match.
  n.SetSubject("a 1 b 2");
  ASSERT_TRUE(n.FindFirst());
  ASSERT_TRUE(n.FindNext());
  EXPECT_EQ(n.GroupText("word"), "b");

  EXPECT_EQ(FirstText("(:1\\w)\\1", "abccd"), "cc");
  EXPECT_EQ(FirstText("(:1a)\\1", "xaA"), "aA");
  EXPECT_EQ(FirstText("(?-i)(:1a)\\1", "xaA"), "<none>");
  EXPECT_EQ(FirstText("(:<x>b)\\<X>", "abb"), "bb");
  EXPECT_EQ(FirstText("a\\<never>b", "ab"), "ab");  // an empty capture always matches
  EXPECT_EQ(FirstText("(:3(x|y)+)\\-\\3", "xy-xy"), "xy-xy");

  TKVRegExprMatcher b("a@1b+@2c");
  b.SetSubject("xabbbc");
  ASSERT_TRUE(b.FindFirst());
  EXPECT_EQ(b.Marker(1), 2);
  EXPECT_EQ(b.Marker(2), 5);
  EXPECT_EQ(b.Marker(0), 0);
  b.SetSubject("abc");
  ASSERT_TRUE(b.FindFirst());
  EXPECT_EQ(b.Marker(2), 2);
}

// A capture keeps what it took on the way to the match; what it took on a path that failed afterwards is
// undone, so neither a failed last iteration nor a given-up alternative wipes or fakes it.
TEST(RegExprGroups, CapturesFromFailedPathsAreUndone) {
  const struct {
    const char* pattern;
    const char* subject;
    const char* match;
    const char* group1;
  } cases[] = {
      {"((:1a))*", "aab", "aa", "a"},           // the third iteration fails at "b"
      {"((:1\\w)\\-)+", "a-b-c", "a-b-", "b"},  // the third fails at the end
      {"((:1a)|b)*", "ab", "ab", "a"},          // the second iteration gives up its first alternative
      {"((:1a)x|ay)", "ay", "ay", ""},          // the alternative that captured failed
      {"(b|x(:1a)c)", "xa b", "b", ""},         // the start that captured failed
      {"!((:1a)b)a", "ac", "a", ""},            // a negative look-ahead's body never matches
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    TKVRegExprMatcher m(c.pattern);
    m.SetSubject(c.subject);
    ASSERT_TRUE(m.FindFirst());
    EXPECT_EQ(m.MatchText(), c.match);
    EXPECT_EQ(m.GroupText(1), c.group1);
  }
  // A back-reference sees the capture of the last completed iteration, not an emptied one.
  TKVRegExprMatcher ref("((:1\\d)|\\-)*x\\1");
  EXPECT_TRUE(ref.IsMatch("1-x1"));
  EXPECT_FALSE(ref.IsMatch("1-x2"));
  // After a failed search nothing is left captured.
  TKVRegExprMatcher none("(:1a)b");
  none.SetSubject("aaac");
  EXPECT_FALSE(none.FindFirst());
  EXPECT_EQ(none.GroupText(1), "");
}

// Bead markers keep what the search passed, on failed paths too, whether or not the search skips a failure
// it has met before. The reference is the same pattern ending in a back-reference to a group never
// captured: it matches the same (an empty capture always matches) but keeps the search from remembering
// failures.
TEST(RegExprSearch, MarkersAreAlikeWhetherFailuresAreRememberedOrNot) {
  auto repeat = [](const std::string& unit, size_t n) {
    std::string r;
    for (size_t i = 0; i < n; ++i) r += unit;
    return r;
  };
  std::vector<std::pair<std::string, std::string>> cases = {
      {"@1(a|b)*c", repeat("ab", 300)},
      {"@1(a|b)*c", repeat("ab", 300) + "c"},
      {"(b|a@2)*c", repeat("a", 300) + "b"},
      {"(a*@3x|a)*d", repeat("a", 300) + "d"},
      {"a*@4(b|@5c)*d", repeat("abcbc", 80) + "d"},
      {"(x|a@6b|a)*@7c", repeat("aab", 100) + "xc" + repeat("ab", 50)},
  };
  // Short subjects over few letters reach every mix of paths.
  uint32_t seed = 12345;
  for (int i = 0; i < 200; ++i) {
    std::string subject;
    for (int k = 0; k < 40; ++k) {
      seed = seed * 1103515245u + 12345u;
      subject += "abcdx"[(seed >> 16) % 5];
    }
    for (const char* pattern : {"(a@1|b)*c", "@2(a|b@3)*(c|d)", "(a*@4b|a)+x", "(b|a@5)*@6d"})
      cases.emplace_back(pattern, subject);
  }
  for (const auto& [pattern, subject] : cases) {
    SCOPED_TRACE(pattern + " on " + subject);
    TKVRegExprMatcher fast(pattern), reference(pattern + "\\9");
    fast.SetSubject(subject);
    reference.SetSubject(subject);
    bool more = fast.FindFirst();
    bool referenceMore = reference.FindFirst();
    for (int round = 0;; ++round) {
      ASSERT_EQ(more, referenceMore) << "match " << round;
      for (int32_t m = 0; m < 10; ++m) ASSERT_EQ(fast.Marker(m), reference.Marker(m)) << "marker " << m;
      if (!more) break;
      ASSERT_EQ(fast.MatchStart(), reference.MatchStart());
      ASSERT_EQ(fast.MatchLength(), reference.MatchLength());
      more = fast.FindNext();
      referenceMore = reference.FindNext();
    }
  }
}

// The poll stops a long search by raising; the matcher stays usable.
TEST(RegExprSearch, ThePollStopsALongSearch) {
  struct EStop {};
  // A back-reference in a repeated group keeps the search quadratic: long enough to need stopping.
  TKVRegExprMatcher m("(:1a)(\\1)*b");
  int polls = 0;
  m.SetPoll([&] {
    if (++polls == 3) throw EStop();
  });
  m.SetSubject(std::string(200000, 'a'));
  EXPECT_THROW(m.FindFirst(), EStop);
  EXPECT_EQ(polls, 3);
  EXPECT_FALSE(m.Matched());
  m.SetPoll({});
  m.SetSubject("xaab");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.MatchText(), "aab");
}

// Inputs that a start-by-start search takes quadratic time over; kept as tests of the result (the time is
// the benchmark's business).
TEST(RegExprSearch, LongRunsGiveTheSameResults) {
  const std::string run(100000, 'a');
  EXPECT_EQ(AllMatches("a*b", run).size(), 0u);
  EXPECT_EQ(AllMatches("a*b", run + "b"), (std::vector<TFound>{{0, 100001}}));
  EXPECT_EQ(AllMatches("(a*c|a)*d", run + "d"), (std::vector<TFound>{{0, 100001}}));
  std::string ab;
  for (int i = 0; i < 50000; ++i) ab += "ab";
  EXPECT_EQ(AllMatches("(a|b)*c", ab).size(), 0u);
  EXPECT_EQ(AllMatches("(a|b)*c", ab + "c"), (std::vector<TFound>{{0, 100001}}));
  EXPECT_EQ(AllMatches("b(a|b)*c", ab + "c"), (std::vector<TFound>{{1, 100000}}));
  // A mode switch left behind by a failed alternative still holds when the same place is reached again.
  EXPECT_EQ(AllMatches("(a*(?-i)b|a*B)", "aaBaab"), (std::vector<TFound>{{0, 3}, {3, 3}}));
  EXPECT_EQ(AllMatches("(a*(?-i)b|a*B)", "AaB aB"), (std::vector<TFound>{{1, 2}, {4, 2}}));
}

TEST(RegExprReplace, ExpandTemplates) {
  TKVRegExprMatcher m("(:1\\w+)\\@(:<host>\\w+)");
  m.SetSubject("mail jo@example now");
  ASSERT_TRUE(m.FindFirst());
  EXPECT_EQ(m.Expand("no percent %"), "no percent ");
  EXPECT_EQ(m.Expand("plain"), "plain");
  EXPECT_EQ(m.Expand("%1 at %<HOST>"), "jo at example");
  EXPECT_EQ(m.Expand("100%% %x"), "100% x");
  EXPECT_EQ(m.Expand("%<host"), "<host");
  EXPECT_EQ(m.Expand("[%0][%9]"), "[][]");  // no implicit whole-match group
  EXPECT_EQ(m.Expand("%<nobody>!"), "!");
}

TEST(RegExprReplace, ReplaceAll) {
  TKVRegExprMatcher b("b");
  EXPECT_EQ(b.ReplaceAll("abcb", "", false), "ac");
  EXPECT_EQ(b.Subject(), "ac");

  TKVRegExprMatcher g("(:1a+)x");
  EXPECT_EQ(g.ReplaceAll("aaax", "<%1>", true), "<aaa>");
  EXPECT_EQ(g.ReplaceAll("aaax", "<%1>", false), "<%1>");
  EXPECT_EQ(g.ReplaceAll("ax-aax-x", "[%1]", true), "[a]-[aa]-x");

  std::string result = "caller's value";
  EXPECT_FALSE(g.ReplaceAll("nothing here", "y", true, result));
  EXPECT_EQ(result, "caller's value");
  EXPECT_EQ(g.ReplaceAll("nothing here", "y", true), "nothing here");
  EXPECT_TRUE(g.ReplaceAll("AX", "", false, result));
  EXPECT_EQ(result, "");

  TKVRegExprMatcher w("\\bcat");
  EXPECT_EQ(w.ReplaceAll("cat concat cat", "dog", false), "dog concat dog");
}

TEST(RegExprFirstCharSet, CollectsPossibleStartsAndNeverHidesAMatch) {
  TKVRegExprMatcher lit("abc");
  EXPECT_TRUE(lit.FirstCharSetHas('a'));
  EXPECT_TRUE(lit.FirstCharSetHas('A'));
  EXPECT_FALSE(lit.FirstCharSetHas('b'));
  TKVRegExprMatcher cs("(?-i)abc");
  EXPECT_TRUE(cs.FirstCharSetHas('a'));
  EXPECT_FALSE(cs.FirstCharSetHas('A'));
  TKVRegExprMatcher alt("(ab|cd)?x*e");
  for (char c : std::string("aAcCxXeE")) EXPECT_TRUE(alt.FirstCharSetHas(c)) << c;
  EXPECT_FALSE(alt.FirstCharSetHas('b'));
  TKVRegExprMatcher any(".b");
  EXPECT_FALSE(any.FirstCharSetHas('\n'));
  EXPECT_TRUE(any.FirstCharSetHas('z'));
  // A group that can match nothing lets what follows it start the match.
  TKVRegExprMatcher opt("(b*)*c");
  for (char c : std::string("bBcC")) EXPECT_TRUE(opt.FirstCharSetHas(c)) << c;
  EXPECT_FALSE(opt.FirstCharSetHas('x'));
  TKVRegExprMatcher neg("!(a)b");
  EXPECT_TRUE(neg.FirstCharSetHas('a'));
  EXPECT_TRUE(neg.FirstCharSetHas('#'));

  // Whatever the set holds, searching with it finds exactly what searching without it finds.
  const char* patterns[] = {"abc",        "(?-i)Abc",   "x*y",          "(ab|cd)?e",      "[a-c]+d",
                            "[^x]y",      "(:1a|b)\\1", "!(ab)a",       ".b",             "(a?)*b",
                            "((x|y)z|q)+", "\\d+\\.\\d*", "a(?-i)B",     "(?-i)(A(?i)q|B)c", "@1(:<n>\\h)+",
                            "\\bab",      "b\\B",       "(#c)(?-i)[A-C]x", "^\\w+",        "\\s+$",
                            "(x|y?)c",    "(?-i)((?i)x|B)", "(b*)*c", "((b*)*)*c", "(x?)+",
                            "(a*)*b",     "(b*){2}c",   "(a|b*)*c",     "^(a?)*b$"};
  const char* subjects[] = {"",           "abcABC",  "xxy y zy",     "abe cde e xe",  "ABD cad xd",
                            "xy ay\ny",   "aa bb ab", "aab ab a",     "\nb ab",        "aab xb",
                            "xzyzq qq",   "1.5 22.",  "aB ab AB",     "Bc bc Aqc AQC", "fe0 g1",
                            "ab cab xab", "bb b",     "Ax cx Bx",     "ab\ncd",        "a \n b  ",
                            "c xc yc",    "b B x",   "xc bbc c",     "aab xb b",      "abbac ac",
                            "x xx xa",    "aab\nb"};
  for (const char* p : patterns)
    for (const char* s : subjects)
      EXPECT_EQ(AllMatches(p, s, true), AllMatches(p, s, false)) << "pattern '" << p << "' subject '" << s << "'";
}

TEST(RegExprMatcherObject, HandedOnThroughItsInterface) {
  TKVRef<TKVRegExprMatcher> ref = KVMakeRef<TKVRegExprMatcher>("a+");
  auto* intf = ref->Query<IKVRegExprMatcher>();
  ASSERT_NE(intf, nullptr);
  EXPECT_EQ(intf->GetMatcher(), ref.get());
  EXPECT_TRUE(intf->GetMatcher()->IsMatch("aaa"));
  // Changing the text recompiles; the same text keeps the compiled program.
  ref->SetPattern("b");
  EXPECT_TRUE(ref->IsMatch("b"));
  EXPECT_EQ(ref->Pattern(), "b");
}

}  // namespace
