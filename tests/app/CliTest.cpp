// dabrix-cli as a user runs it: real files, real exit codes, output compared as text.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;

const std::string kCli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";
const std::string kDemo = std::string(DABRIX_SOURCE_DIR) + "/examples/demo.qxt";

testsupport::CommandResult Cli(const std::string& args) { return RunCommand(ShellQuote(kCli) + " " + args); }

TEST(CliDump, PrintsTheTreeDepthFirstWithEscapedRawValues) {
  auto r = Cli("dump " + ShellQuote(kDemo));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string& out = r.out;
  EXPECT_EQ(out.rfind("[]\n[GeneralSettings]\nDataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\n[QXD]\n", 0), 0u)
      << out;
  EXPECT_NE(out.find("[QXD\\.\\00000]\nDataClassName=TQXDSourceConnectionData\nState=32\nTitle=Demo source\n"
                     "[QXD\\.\\00000\\ConnectProperties]\n"),
            std::string::npos);
  EXPECT_NE(out.find("Title=origin\\tnote\\r\\nsecond line\n"), std::string::npos);
  EXPECT_NE(out.find("Title=Städte und Straßen — Москва\n"), std::string::npos);
  // Depth first: a node's subdirectories come before its next sibling.
  EXPECT_LT(out.find("[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00005\\.\\00006]"),
            out.find("[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00007]"));
}

TEST(CliConvert, TextToBinaryToTextReadsTheSame) {
  testsupport::TempDir dir;
  std::string bin = dir.file("demo.qxs"), text = dir.file("back.qxt"), bin2 = dir.file("again.qxs"),
              text2 = dir.file("again.qxt");
  std::string before = testsupport::ReadFileBytes(kDemo);
  for (auto [from, to] : {std::pair{kDemo, bin}, {bin, text}, {text, bin2}, {bin2, text2}}) {
    auto r = Cli("convert " + ShellQuote(from) + " " + ShellQuote(to));
    ASSERT_EQ(r.exitCode, 0) << from << " -> " << to << ": " << r.err;
  }
  EXPECT_EQ(testsupport::ReadFileBytes(bin).substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
  EXPECT_EQ(testsupport::ReadFileBytes(kDemo), before);  // reading never writes

  // Every directory and value survives both formats; only the order is each format's own.
  auto sorted = [](const std::string& f) { return Cli("dump --sorted " + ShellQuote(f)); };
  auto original = sorted(kDemo);
  ASSERT_EQ(original.exitCode, 0) << original.err;
  EXPECT_EQ(sorted(bin).out, original.out);
  EXPECT_EQ(sorted(text).out, original.out);
  EXPECT_NE(original.out.find("Title=Städte und Straßen — Москва\n"), std::string::npos);
  // Once in the binary order, further round trips change nothing at all.
  auto plain = [](const std::string& f) { return Cli("dump " + ShellQuote(f)).out; };
  EXPECT_EQ(plain(text2), plain(text));
  EXPECT_EQ(plain(bin2), plain(bin));
  EXPECT_EQ(testsupport::ReadFileBytes(bin2), testsupport::ReadFileBytes(bin));
}

TEST(CliConvert, RefusesSameFileUnknownExtensionAndKeepsOutOnFailure) {
  testsupport::TempDir dir;
  std::string copy = dir.file("copy.qxt");
  testsupport::WriteFileBytes(copy, testsupport::ReadFileBytes(kDemo));
  auto same = Cli("convert " + ShellQuote(copy) + " " + ShellQuote(copy));
  EXPECT_EQ(same.exitCode, 2);
  auto unknown = Cli("convert " + ShellQuote(copy) + " " + ShellQuote(dir.file("out.txt")));
  EXPECT_EQ(unknown.exitCode, 2);

  std::string out = dir.file("out.qxs");
  testsupport::WriteFileBytes(out, "previous contents");
  std::string bogus = dir.file("bogus.qxt");
  testsupport::WriteFileBytes(bogus, "not a document");
  auto r = Cli("convert " + ShellQuote(bogus) + " " + ShellQuote(out));
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, "Unsupported file format \"" + bogus + "\".\n");
  EXPECT_EQ(testsupport::ReadFileBytes(out), "previous contents");
}

TEST(CliDump, BadInputGivesAClearErrorAndExitCodeTwo) {
  testsupport::TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string random(3000, '\0');
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 2654435761u) >> 13);
  const Case cases[] = {{"empty.qxt", ""},
                        {"bom.qxt", "\xEF\xBB\xBF[QXD]\r\n"},
                        {"random.bin", random},
                        {"truncated.qxs", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(100, '\0')}};
  for (const auto& c : cases) {
    std::string f = dir.file(c.name);
    testsupport::WriteFileBytes(f, c.bytes);
    auto r = Cli("dump " + ShellQuote(f));
    EXPECT_EQ(r.exitCode, 2) << c.name << r.out;
    EXPECT_FALSE(r.err.empty()) << c.name;
    EXPECT_EQ(r.err.find("\n"), r.err.size() - 1) << c.name << ": " << r.err;  // one line
    EXPECT_EQ(testsupport::ReadFileBytes(f), c.bytes) << c.name;
  }
  auto missing = Cli("dump " + ShellQuote(dir.file("nope.qxt")));
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_EQ(missing.err, "File not found: \"" + dir.file("nope.qxt") + "\".\n");
}

TEST(CliDump, ADocumentHeldOpenElsewhereFailsWithTheOpenError) {
  testsupport::TempDir dir;
  std::string bin = dir.file("held.qxs");
  ASSERT_EQ(Cli("convert " + ShellQuote(kDemo) + " " + ShellQuote(bin)).exitCode, 0);
  // Another process holds the document's lock for the time of the dump.
  auto r = RunCommand("flock -x " + ShellQuote(bin) + " " + ShellQuote(kCli) + " dump " + ShellQuote(bin));
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("StgOpenStorage(\"" + bin + "\")"), std::string::npos) << r.err;
}

TEST(CliHelp, EveryCommandHasHelpAndUnknownCommandsFail) {
  auto top = Cli("--help");
  EXPECT_EQ(top.exitCode, 0);
  EXPECT_NE(top.out.find("dump"), std::string::npos);
  EXPECT_NE(top.out.find("convert"), std::string::npos);
  for (const char* c : {"dump", "convert"}) {
    auto r = Cli(std::string(c) + " --help");
    EXPECT_EQ(r.exitCode, 0) << c;
    EXPECT_NE(r.out.find(std::string("Usage: dabrix-cli ") + c), std::string::npos) << c;
  }
  EXPECT_EQ(Cli("frobnicate").exitCode, 2);
  EXPECT_EQ(Cli("dump").exitCode, 2);
}

}  // namespace
