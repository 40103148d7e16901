// The functions of DabrixPlugin.qxp driven the way a user tries them: `dabrix-cli call`, which loads the
// module from the program's folder exactly as the program does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

using testsupport::RunCommand;
using testsupport::ShellQuote;

namespace {

testsupport::CommandResult CliCall(const std::vector<std::string>& words) {
  std::string cmd = ShellQuote(std::string(DABRIX_BIN_DIR) + "/dabrix-cli") + " call";
  for (const std::string& w : words) cmd += " " + ShellQuote(w);
  return RunCommand(cmd);
}

struct TCase {
  std::vector<std::string> Words;  // function, value, arguments
  std::string Out;                 // the printed result without its line end
};

}  // namespace

TEST(FunctionCliTest, ExamplesFromTheFunctionDescriptionsHold) {
  const std::vector<TCase> cases = {
      {{"Replace Characters", "cab", "abc", "xy"}, "cxy"},
      {{"Replace Characters", "aabbcc", "abc", "xy"}, "xxyycc"},
      {{"Trim Characters", " \tx \r\n"}, "x"},
      {{"Trim Characters", "ab12cd", "0123456789", "true"}, "12"},
      {{"Remove Characters", "12-34-5", "-"}, "12345"},
      {{"Remove Characters", "12-34-5", "-", "true"}, "--"},
      {{"Make Number", "abc"}, "NULL"},
      {{"Make Number", "abc", "0"}, "0"},
      {{"Make Number", " -7 kg"}, "-7"},
      {{"Make Number", "  -12a3"}, "-123"},
      {{"Make Number", "a-1"}, "1"},
      {{"Replace NULL Values", "--null"}, "?"},
      {{"Replace NULL Values", "   "}, "?"},
      {{"Replace NULL Values", "   ", "?", "false"}, "   "},
      {{"Prefix & Postfix", ""}, ""},
      {{"Prefix & Postfix", "+4912", "+49", "+49"}, "+4912"},
      {{"Prefix & Postfix", "0171", "+49", "+49"}, "+490171"},
      {{"Extract House No", "Hauptstr. 5"}, "5"},
      {{"Extract House No", "Main Street 12a"}, "12a"},
      {{"Extract House No", "12 Main Street"}, "12"},
      {{"Extract Street Name", "5 Hauptstr."}, "Hauptstr."},
      {{"Extract Street Name", "Main Street 12a"}, "Main Street"},
      {{"Set if regEx match", "abc"}, "NULL"},
      {{"Set if regEx match", ""}, ""},
      {{"Set if regEx match", "--null"}, "NULL"},
      {{"Set if regEx match", "a\nb"}, "a\nb"},
      {{"Remove Words", "a b c", "b", " "}, "a  c"},
      {{"Remove Words", "abc", "b", " "}, "abc"},
      {{"Keep Words", "a b c", "c a", " "}, "c a"},
      {{"n'th word", "one two  three", "2"}, "two"},
      {{"n'th word", "one two  three", "4"}, "NULL"},
      {{"n'th word", "one two  three", "0"}, "NULL"},
      {{"n'th word", "one two  three", "65537"}, "one"},
      {{"Substring", "abcdef", "0", "3"}, "abc"},
      {{"Substring", "abcdef", "7"}, "NULL"},
      {{"Substring", "abcdef", "1", "-1"}, "NULL"},
      {{"RegEx Replace", "abcb", "b", ""}, "ac"},
      {{"RegEx Replace", "aaax", "(:1a+)x", "<%1>", "true"}, "<aaa>"},
      {{"RegEx Replace", "hello", "x+", "y"}, "hello"},
      {{"regex replace", "--null", "x"}, "NULL"},
  };
  for (const TCase& c : cases) {
    std::string trace;
    for (const std::string& w : c.Words) trace += "[" + w + "]";
    SCOPED_TRACE(trace);
    testsupport::CommandResult r = CliCall(c.Words);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.Out + "\n");
  }
}

// Repeated groups whose body can match nothing take only what the body matches, never the whole value.
TEST(FunctionCliTest, RepeatedGroupsThatCanMatchNothingLeaveTheRestOfTheValue) {
  const std::vector<TCase> cases = {
      {{"RegEx Replace", "aaa", "(b*)*", "X", "false"}, "aaa"},
      {{"RegEx Replace", "aaa", "b*", "X", "false"}, "aaa"},
      {{"RegEx Replace", "hello world", "(z*)*", "X"}, "hello world"},
      {{"RegEx Replace", "abc", "(x?)+", "X"}, "abc"},
      {{"RegEx Replace", "a  b c", "( *)*", ""}, "abc"},
      {{"RegEx Replace", "xc", "(b*)*c", "C"}, "xC"},
      {{"RegEx Replace", "xc bbc", "((b*)*)*c", "<>"}, "x<> <>"},
      {{"RegEx Replace", "aab xb", "(a?)*b", "-"}, "- x-"},
      {{"Set if regEx match", "aaa", "(b*)*", "hit"}, "aaa"},
      {{"Set if regEx match", "bbb", "(b*)*", "hit"}, "hit"},
      {{"Set if regEx match", "aab", "^(a*)*b$", "hit"}, "hit"},
  };
  for (const TCase& c : cases) {
    std::string trace;
    for (const std::string& w : c.Words) trace += "[" + w + "]";
    SCOPED_TRACE(trace);
    testsupport::CommandResult r = CliCall(c.Words);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.Out + "\n");
  }
}

TEST(FunctionCliTest, RandomLengthsAndValidationMessages) {
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(CliCall({"Random String", "x", "5", "5"}).out.size(), 6u);
    EXPECT_EQ(CliCall({"Random String", "--null", "3", "4"}).out.size(), 4u);
  }
  testsupport::CommandResult r = CliCall({"Random String", "x", "7", "5"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.size(), 8u);
  EXPECT_NE(r.err.find("Minimum length (7) must be less than or equal to the maximum length (5)"), std::string::npos)
      << r.err;
}

TEST(FunctionCliTest, ABadPatternFailsTheCall) {
  testsupport::CommandResult r = CliCall({"RegEx Replace", "a-b", "a-b", "x"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Unexpected meta character at position (2)"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}
