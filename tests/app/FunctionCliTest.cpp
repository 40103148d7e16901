// dabrix-cli functions / call against the modules built beside it: the delivered functions' documented
// examples, driven the way a user drives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>

#include "support/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::RunCommand;
using testsupport::ShellQuote;

const std::string kCli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";

CommandResult Cli(const std::string& cli, std::initializer_list<std::string> args) {
  std::string line = ShellQuote(cli);
  for (const auto& a : args) line += " " + ShellQuote(a);
  return RunCommand(line);
}

// The printed result of one call (without the line end); failures report the whole run.
std::string Call(std::initializer_list<std::string> args) {
  std::string line = ShellQuote(kCli) + " call";
  for (const auto& a : args) line += " " + ShellQuote(a);
  CommandResult r = RunCommand(line);
  EXPECT_EQ(r.exitCode, 0) << line << "\n" << r.err;
  if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
  return r.out;
}

TEST(FunctionCli, ListsTheRegisteredFunctionsWithTheirParameters) {
  CommandResult r = Cli(kCli, {"functions"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("{23AFD3B4-B47B-4FF7-BBE7-D5F5A386BA47}  Trim Characters\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    Start position = 1\n    Length = 10\n"), std::string::npos);
  EXPECT_NE(r.out.find("    Treat empty \"\" strings as NULL values = true\n"), std::string::npos);
  EXPECT_NE(r.out.find("    Word separators = \" \\t\\n\\r\"\n"), std::string::npos);
}

TEST(FunctionCli, TextFunctionsFollowTheirExamples) {
  EXPECT_EQ(Call({"Replace Characters", "cab", "abc", "xy"}), "cxy");
  EXPECT_EQ(Call({"replace characters", "aabbcc", "abc", "xy"}), "xxyycc");
  EXPECT_EQ(Call({"Trim Characters", " \tx \r\n"}), "x");
  EXPECT_EQ(Call({"Trim Characters", "ab12cd", "0123456789", "true"}), "12");
  EXPECT_EQ(Call({"Remove Characters", "12-34-5", "-"}), "12345");
  EXPECT_EQ(Call({"Remove Characters", "12-34-5", "-", "true"}), "--");
  EXPECT_EQ(Call({"Make Number", "abc", ""}), "NULL");
  EXPECT_EQ(Call({"Make Number", "abc", "0"}), "0");
  EXPECT_EQ(Call({"Make Number", " -7 kg"}), "-7");
  EXPECT_EQ(Call({"Make Number", "  -12a3"}), "-123");
  EXPECT_EQ(Call({"Make Number", "a-1"}), "1");
  EXPECT_EQ(Call({"Prefix & Postfix", ""}), "");
  EXPECT_EQ(Call({"Prefix & Postfix", "+4912", "+49", "+49"}), "+4912");
  EXPECT_EQ(Call({"Prefix & Postfix", "0171", "+49", "+49"}), "+490171");
  EXPECT_EQ(Call({"Extract House No", "Hauptstr. 5"}), "5");
  EXPECT_EQ(Call({"Extract House No", "Main Street 12a"}), "12a");
  EXPECT_EQ(Call({"Extract House No", "12 Main Street"}), "12");
  EXPECT_EQ(Call({"Extract Street Name", "5 Hauptstr."}), "Hauptstr.");
  EXPECT_EQ(Call({"Extract Street Name", "Main Street 12a"}), "Main Street");
  EXPECT_EQ(Call({"Remove Words", "a b c", "b", " "}), "a  c");
  EXPECT_EQ(Call({"Remove Words", "abc", "b", " "}), "abc");
  EXPECT_EQ(Call({"Keep Words", "a b c", "c a", " "}), "c a");
  EXPECT_EQ(Call({"n'th word", "one two  three", "2"}), "two");
  EXPECT_EQ(Call({"n'th word", "one two  three", "4"}), "NULL");
  EXPECT_EQ(Call({"n'th word", "one two  three", "0"}), "NULL");
  EXPECT_EQ(Call({"n'th word", "one two  three", "65537"}), "one");
  EXPECT_EQ(Call({"Substring", "abcdef", "0", "3"}), "abc");
  EXPECT_EQ(Call({"Substring", "abcdef", "7"}), "NULL");
  EXPECT_EQ(Call({"Substring", "abcdef", "1", "-1"}), "NULL");
}

TEST(FunctionCli, NullAndGeneratedValues) {
  for (const char* f : {"Replace Characters", "Trim Characters", "Remove Characters", "Make Number",
                        "Prefix & Postfix", "Extract House No", "Extract Street Name", "Remove Words", "Keep Words",
                        "n'th word", "Substring", "RegEx Replace"})
    EXPECT_EQ(Call({f, "--null"}), "NULL") << f;
  EXPECT_EQ(Call({"Replace NULL Values", "--null"}), "?");
  EXPECT_EQ(Call({"Replace NULL Values", "   "}), "?");
  EXPECT_EQ(Call({"Replace NULL Values", "   ", "?", "false"}), "   ");
  EXPECT_EQ(Call({"Random String", "--null", "5", "5"}).size(), 5u);
  EXPECT_EQ(Call({"Random String", "x", "3", "4", "false", "false", "true"}).find_first_not_of("0123456789"),
            std::string::npos);
  EXPECT_EQ(Call({"Random String", "x", "3", "4"}).size(), 3u);
  CommandResult r = RunCommand(ShellQuote(kCli) + " call 'Random String' x 7 5");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.size(), 8u);  // seven characters and the line end
  EXPECT_NE(r.err.find("Error: Minimum length (7) must be less than or equal to the maximum length (5)."),
            std::string::npos) << r.err;
  EXPECT_FALSE(Call({"Now", "--null"}).empty());
  EXPECT_NE(Call({"Now", "--null"}), "NULL");
}

TEST(FunctionCli, RegularExpressionFunctions) {
  EXPECT_EQ(Call({"Set if regEx match", "abc"}), "NULL");
  EXPECT_EQ(Call({"Set if regEx match", ""}), "");
  EXPECT_EQ(Call({"Set if regEx match", "--null"}), "NULL");
  EXPECT_EQ(Call({"Set if regEx match", "a\nb"}), "a\nb");
  EXPECT_EQ(Call({"RegEx Replace", "abc", "b", "X"}), "aXc");
  // A value the pattern does not match keeps its text.
  EXPECT_EQ(Call({"RegEx Replace", "abc", "x", "y"}), "abc");
  // A pattern that does not compile is an error of the value: message, exit code 1.
  CommandResult r = RunCommand(ShellQuote(kCli) + " call 'RegEx Replace' abc '('");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(r.err.empty());
}

TEST(FunctionCli, WrongCallsAndABrokenModule) {
  CommandResult r = RunCommand(ShellQuote(kCli) + " call 'No Such Function' x");
  EXPECT_EQ(r.exitCode, 2);
  r = RunCommand(ShellQuote(kCli) + " call Substring abc 1 2 3");
  EXPECT_EQ(r.exitCode, 2);
  r = RunCommand(ShellQuote(kCli) + " call 'Trim Characters' abc x maybe");
  EXPECT_EQ(r.exitCode, 2);

  // A program folder holding a file that is no module: the LoadLibrary error names it.
  testsupport::TempDir dir;
  std::filesystem::copy_file(kCli, dir.file("dabrix-cli"));
  std::filesystem::permissions(dir.file("dabrix-cli"), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  testsupport::WriteFileBytes(dir.file("Broken.qxp"), std::string(300, '\x7f'));
  r = Cli(dir.file("dabrix-cli"), {"functions"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find(dir.file("Broken.qxp")), std::string::npos) << r.err;
  // Without modules nothing is registered.
  std::filesystem::remove(dir.file("Broken.qxp"));
  r = Cli(dir.file("dabrix-cli"), {"functions"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
