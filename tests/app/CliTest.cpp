// dabrix-cli as a user runs it: real files, real exit codes, output compared as text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

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

using testsupport::GonePid;
using testsupport::LiveChild;
using testsupport::TempNameOf;

std::set<std::string> Listing(const testsupport::TempDir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.insert(e.path().filename().string());
  return names;
}

// `dabrix-cli convert IN OUT` started in the background, its output discarded.
pid_t StartConvert(const std::string& in, const std::string& out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = kCli, command = "convert";
  std::string inArg = in, outArg = out;
  char* argv[] = {program.data(), command.data(), inArg.data(), outArg.data(), nullptr};
  pid_t pid = -1;
  int err = posix_spawn(&pid, kCli.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return err == 0 ? pid : -1;
}

// The temporary files in `dir` that process `pid` made for `name`.
std::set<std::string> TempFilesOf(const testsupport::TempDir& dir, const std::string& name, pid_t pid) {
  std::set<std::string> found;
  const std::string prefix = "." + name + ".dabrix-" + std::to_string(pid);
  for (const std::string& f : Listing(dir))
    if (f.rfind(prefix, 0) == 0) found.insert(f);
  return found;
}

// A storage of many directories, which takes a conversion long enough to be caught half-way.
std::string WriteLargeStorage(const testsupport::TempDir& dir, const std::string& name, int sections) {
  std::string text;
  for (int i = 0; i < sections; ++i) {
    text += "[Data\\" + std::to_string(100000 + i) + "]\r\n";
    for (int k = 0; k < 5; ++k) text += "key" + std::to_string(k) + "=value " + std::to_string(i) + " of many\r\n";
  }
  std::string file = dir.file(name);
  testsupport::WriteFileBytes(file, text);
  return file;
}

// Left-overs of conversions that were killed go with the next conversion to the same file; files of
// processes still running stay, whichever way the conversion goes (a document or any other storage, into
// either format).
TEST(CliConvert, SweepsStaleTemporaryFilesOfItsTargetButNotLiveOnes) {
  testsupport::TempDir dir;
  std::string plain = dir.file("plain.qxt");
  testsupport::WriteFileBytes(plain, "[Data]\r\nkey=value\r\n[Data\\Sub]\r\nother=more\r\n");
  LiveChild live;
  const pid_t gone = GonePid();
  std::set<std::string> expected = {"plain.qxt"};
  for (const std::string& in : {kDemo, plain}) {
    for (const std::string out : {"out.qxs", "out.qxt"}) {
      SCOPED_TRACE(in + " -> " + out);
      const std::set<std::string> stale = {TempNameOf(out, gone), TempNameOf(out, gone, "-1")};
      const std::set<std::string> kept = {TempNameOf(out, live.pid()), TempNameOf(out, getpid()),
                                          TempNameOf("x" + out, gone)};
      for (const auto& f : stale) testsupport::WriteFileBytes(dir.file(f), std::string(10000, 'x'));
      for (const auto& f : kept) testsupport::WriteFileBytes(dir.file(f), "live");
      auto r = Cli("convert " + ShellQuote(in) + " " + ShellQuote(dir.file(out)));
      ASSERT_EQ(r.exitCode, 0) << r.err;
      expected.insert(out);
      std::set<std::string> listed = Listing(dir);
      for (const auto& f : kept) EXPECT_EQ(listed.erase(f), 1u) << f;
      EXPECT_EQ(listed, expected);
      EXPECT_EQ(Cli("dump --sorted " + ShellQuote(dir.file(out))).out, Cli("dump --sorted " + ShellQuote(in)).out);
      for (const auto& f : kept) std::filesystem::remove(dir.file(f));
    }
  }
}

TEST(CliConvert, AKilledConversionsLeftoversGoWithTheNextConversion) {
  testsupport::TempDir dir;
  const std::string big = WriteLargeStorage(dir, "big.qxt", 3000);
  for (const std::string out : {"out.qxs", "out.qxt"}) {
    SCOPED_TRACE(out);
    // Killed as soon as its temporary file is there; a machine fast enough to finish first gets another try.
    pid_t killed = -1;
    std::set<std::string> leftovers;
    for (int attempt = 0; attempt < 5 && leftovers.empty(); ++attempt) {
      const pid_t pid = StartConvert(big, dir.file(out));
      ASSERT_GT(pid, 0);
      bool exited = false;
      for (int i = 0; i < 60000 && !exited; ++i) {
        if (!TempFilesOf(dir, out, pid).empty()) break;
        exited = waitpid(pid, nullptr, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (exited) continue;
      kill(pid, SIGKILL);
      int status = 0;
      waitpid(pid, &status, 0);
      if (WIFSIGNALED(status)) {
        killed = pid;
        leftovers = TempFilesOf(dir, out, pid);
      }
    }
    ASSERT_FALSE(leftovers.empty()) << "no conversion could be caught half-way";
    testsupport::WriteFileBytes(dir.file(TempNameOf(out, getpid(), "-5")), "a live writer's");

    auto r = Cli("convert " + ShellQuote(kDemo) + " " + ShellQuote(dir.file(out)));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(TempFilesOf(dir, out, killed).empty());
    EXPECT_EQ(testsupport::ReadFileBytes(dir.file(TempNameOf(out, getpid(), "-5"))), "a live writer's");
    std::filesystem::remove(dir.file(TempNameOf(out, getpid(), "-5")));
    EXPECT_EQ(Cli("dump --sorted " + ShellQuote(dir.file(out))).out, Cli("dump --sorted " + ShellQuote(kDemo)).out);
  }
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"big.qxt", "out.qxs", "out.qxt"}));
}

// A conversion running alongside keeps its temporary file: the other one's sweep leaves it alone, so both
// complete.
TEST(CliConvert, AConversionRunningAlongsideKeepsItsTemporaryFile) {
  testsupport::TempDir dir;
  const std::string big = WriteLargeStorage(dir, "big.qxt", 3000);
  const std::string out = dir.file("out.qxs");
  const pid_t slow = StartConvert(big, out);
  ASSERT_GT(slow, 0);
  for (int i = 0; i < 60000 && TempFilesOf(dir, "out.qxs", slow).empty(); ++i) {
    if (waitpid(slow, nullptr, WNOHANG) == slow) GTEST_SKIP() << "the long conversion finished too soon";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto quick = Cli("convert " + ShellQuote(kDemo) + " " + ShellQuote(out));
  EXPECT_EQ(quick.exitCode, 0) << quick.err;
  int status = 0;
  ASSERT_EQ(waitpid(slow, &status, 0), slow);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Cli("dump --sorted " + ShellQuote(out)).out, Cli("dump --sorted " + ShellQuote(big)).out);
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"big.qxt", "out.qxs"}));
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
