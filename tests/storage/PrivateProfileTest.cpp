// The INI file layer: what it reads from files written by hand or by other programs, what it writes, and
// how it treats the file on disk (batches, replacement, other writers, failures).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <random>

#include "foundation/KVExceptions.h"
#include "storage/KVPrivateProfile.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

ino_t InodeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

using Names = std::vector<std::string>;

}  // namespace

// --- Reading ----------------------------------------------------------------------------------------------

TEST(PrivateProfileRead, HandWrittenLinesAreReadLeniently) {
  TempDir dir;
  std::string file = dir.file("hand.ini");
  WriteFileBytes(file, std::string("; leading comment\n"
                                   "orphan=before any section\n"
                                   "[General]\r\n"
                                   "  Name  =  \t Value with inner  blanks \t \r\n"
                                   "Quoted=\" padded \"\r\n"
                                   "Empty=\r\n"
                                   "NoEquals line\r\n"
                                   " ;Commented=1\r\n"
                                   "Eq=a=b\r\n"
                                   "Nul=abc") +
                           std::string(1, '\0') + "def\r\n"
                           "[ Spaced ]  trailing\n"
                           "k=v\n"
                           "[broken\n"
                           "[x=1\n"
                           "[general]\n"
                           "Name=second occurrence\n"
                           "Other=only in the duplicate\n"
                           "[Last]\n"
                           "tail=no line end");
  TKVPrivateProfile p(file);
  EXPECT_EQ(p.ReadString("General", "name", "?"), "Value with inner  blanks");
  EXPECT_EQ(p.ReadString("GENERAL", "Quoted", "?"), " padded ");
  EXPECT_EQ(p.Read("General", "Empty"), std::optional<std::string>(""));
  EXPECT_EQ(p.Read("General", "NoEquals line"), std::nullopt);
  EXPECT_EQ(p.Read("General", ";Commented"), std::nullopt);
  EXPECT_EQ(p.ReadString("General", "Eq", "?"), "a=b");
  EXPECT_EQ(p.ReadString("General", "Nul", "?"), "abc");
  EXPECT_EQ(p.ReadString("spaced", "K", "?"), "v");
  EXPECT_EQ(p.ReadString("Spaced", "[x", "?"), "1");  // "[" without "]" opens no section
  EXPECT_EQ(p.Read("General", "Other"), std::nullopt);  // a duplicated section is looked up in its first
  EXPECT_EQ(p.ReadString("last", "TAIL", "?"), "no line end");
  EXPECT_EQ(p.Read("", "orphan"), std::nullopt);

  EXPECT_EQ(p.ReadSectionNames(), (Names{"General", "Spaced", "general", "Last"}));
  EXPECT_EQ(p.ReadKeyNames("general"), (Names{"Name", "Quoted", "Empty", "Eq", "Nul"}));
  EXPECT_EQ(p.ReadKeyNames("broken"), Names{});
}

TEST(PrivateProfileRead, DuplicateKeysAnswerWithTheFirstAndAreListedOnce) {
  TempDir dir;
  std::string file = dir.file("dup.ini");
  WriteFileBytes(file, "[s]\r\nKey=1\r\nother=x\r\nKEY=2\r\n");
  TKVPrivateProfile p(file);
  EXPECT_EQ(p.ReadString("s", "key", "?"), "1");
  EXPECT_EQ(p.ReadKeyNames("s"), (Names{"Key", "other"}));
  // Deleting must not let the second line come to light.
  EXPECT_TRUE(p.DeleteKey("s", "key"));
  EXPECT_EQ(p.Read("s", "key"), std::nullopt);
  EXPECT_EQ(ReadFileBytes(file), "[s]\r\nother=x\r\n");
}

TEST(PrivateProfileRead, NothingIsCutShort) {
  TempDir dir;
  std::string file = dir.file("long.ini");
  std::string sql = "SELECT ";
  while (sql.size() < 5000) sql += "Column" + std::to_string(sql.size()) + ", ";
  {
    TKVPrivateProfile p(file);
    p.WriteString("Query", "SQL", sql);
  }
  TKVPrivateProfile fresh(file);
  EXPECT_EQ(fresh.ReadString("Query", "SQL", ""), sql);

  std::string big;
  Names expected;
  for (int i = 0; big.size() < 72 * 1024; ++i) {
    expected.push_back("QXD\\.\\" + std::to_string(100000 + i) + "\\.\\Some longer directory name");
    big += "[" + expected.back() + "]\r\nTitle=x\r\n";
  }
  big += "[Keys]\r\n";
  for (int i = 0; i < 5000; ++i) big += "ValueNumber" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  expected.push_back("Keys");
  WriteFileBytes(file, big);
  TKVPrivateProfile many(file);
  EXPECT_EQ(many.ReadSectionNames(), expected);
  Names keys = many.ReadKeyNames("keys");
  ASSERT_EQ(keys.size(), 5000u);
  EXPECT_EQ(keys.back(), "ValueNumber4999");
  EXPECT_EQ(many.ReadString("Keys", "valuenumber4321", ""), "4321");
}

TEST(PrivateProfileRead, FilesThatAreNotTextParseWithoutHarm) {
  TempDir dir;
  std::string file = dir.file("noise.ini");
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    std::string noise(4096 + seed * 997, '\0');
    for (auto& c : noise) {
      int r = static_cast<int>(random() % 64);
      // Plenty of the bytes the format gives meaning to.
      c = r < 6 ? "[]=;\n\r"[r] : r < 10 ? '\0' : static_cast<char>(random() & 0xFF);
    }
    WriteFileBytes(file, noise);
    TKVPrivateProfile p(file);
    for (const auto& s : p.ReadSectionNames()) {
      for (const auto& k : p.ReadKeyNames(s)) (void)p.ReadString(s, k, "");
    }
    EXPECT_EQ(p.ReadString("definitely not there", "x", "def"), "def");
    // A change keeps every byte it does not touch: the noise stays in front of the new section.
    p.WriteString("Added Section", "Key", "Value");
    std::string after = ReadFileBytes(file);
    ASSERT_GE(after.size(), noise.size());
    EXPECT_EQ(after.substr(0, noise.size()), noise) << seed;
    EXPECT_EQ(TKVPrivateProfile(file).ReadString("added section", "key", ""), "Value") << seed;
  }
}

// --- Writing ----------------------------------------------------------------------------------------------

TEST(PrivateProfileWrite, ChangesKeepEveryOtherLineByteForByte) {
  TempDir dir;
  std::string file = dir.file("keep.ini");
  WriteFileBytes(file,
                 "# not a comment in this format, but kept\n"
                 "[First]\n"
                 "  a = 1 \n"
                 "junk without equals\n"
                 "b=2\n"
                 "\n"
                 "; about Second\n"
                 "[Second]\n"
                 "c=3");
  TKVPrivateProfile p(file);
  p.WriteString("first", "A", "one");    // replaced in place, with its spelling
  p.WriteString("First", "new", "n");    // after the last key of its section
  p.WriteString("Third", "d", "4");      // at the end; the last line gets its line end
  p.WriteString("second", "e", "5");     // after "c=3", which is no longer the last line of the file
  EXPECT_EQ(ReadFileBytes(file),
            "# not a comment in this format, but kept\n"
            "[First]\n"
            "a=one\r\n"
            "junk without equals\n"
            "b=2\n"
            "new=n\r\n"
            "\n"
            "; about Second\n"
            "[Second]\n"
            "c=3\r\n"
            "e=5\r\n"
            "[Third]\r\n"
            "d=4\r\n");
}

TEST(PrivateProfileWrite, TextsThatWouldNotReadBackAreQuoted) {
  TempDir dir;
  std::string file = dir.file("quote.ini");
  const Names texts = {" lead", "trail\t", "\"quoted\"", "\"", "\"\"", "in \"the\" middle", "", "plain"};
  {
    TKVPrivateProfile p(file);
    for (size_t i = 0; i < texts.size(); ++i) p.WriteString("S", "k" + std::to_string(i), texts[i]);
  }
  EXPECT_EQ(ReadFileBytes(file),
            "[S]\r\nk0=\" lead\"\r\nk1=\"trail\t\"\r\nk2=\"\"quoted\"\"\r\nk3=\"\r\nk4=\"\"\"\"\r\n"
            "k5=in \"the\" middle\r\nk6=\r\nk7=plain\r\n");
  TKVPrivateProfile fresh(file);
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(fresh.ReadString("s", "k" + std::to_string(i), "?"), texts[i]);
}

TEST(PrivateProfileWrite, WhatTheFormatCannotHoldIsRefusedWithoutTouchingTheFile) {
  TempDir dir;
  std::string file = dir.file("refuse.ini");
  WriteFileBytes(file, "[S]\r\nk=v\r\n");
  TKVPrivateProfile p(file);
  struct Case {
    std::string section, key, value;
  };
  const Case cases[] = {{"S", "a=b", "x"},       {"S", ";x", "x"},       {"S", "[x]", "x"},
                        {"S", "line\nbreak", "x"}, {"a\r\nb", "k", "x"},  {std::string("a\0b", 3), "k", "x"},
                        {"S", "k", "two\nlines"},  {"S", "k", "cr\rcr"}};
  for (const auto& c : cases) {
    EXPECT_THROW(p.WriteString(c.section, c.key, c.value), EKVException) << c.key << "/" << c.value;
  }
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=v\r\n");
  EXPECT_EQ(p.ReadString("S", "k", ""), "v");
  // A text ends at a NUL, as it would when read.
  p.WriteString("S", "k", std::string("ab\0cd", 5));
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=ab\r\n");
}

TEST(PrivateProfileWrite, DeletingKeysAndSections) {
  TempDir dir;
  std::string file = dir.file("del.ini");
  WriteFileBytes(file,
                 "top line\r\n[A]\r\nx=1\r\n; note\r\ny=2\r\n[B]\r\nz=3\r\n[a]\r\nw=4\r\n[Ab]\r\nq=5\r\n");
  TKVPrivateProfile p(file);
  EXPECT_FALSE(p.DeleteKey("A", "missing"));
  EXPECT_FALSE(p.DeleteKey("Nowhere", "x"));
  EXPECT_FALSE(p.DeleteSection("Nowhere"));
  EXPECT_EQ(p.FileWriteCount(), 0u);
  EXPECT_TRUE(p.DeleteKey("a", "X"));
  EXPECT_EQ(ReadFileBytes(file), "top line\r\n[A]\r\n; note\r\ny=2\r\n[B]\r\nz=3\r\n[a]\r\nw=4\r\n[Ab]\r\nq=5\r\n");
  EXPECT_TRUE(p.DeleteSection("A"));  // every occurrence, with its comments
  EXPECT_EQ(ReadFileBytes(file), "top line\r\n[B]\r\nz=3\r\n[Ab]\r\nq=5\r\n");
  EXPECT_EQ(p.Read("a", "w"), std::nullopt);
  EXPECT_EQ(p.DeleteSections([](const std::string& n) { return n.size() == 1; }), 1u);
  EXPECT_EQ(ReadFileBytes(file), "top line\r\n[Ab]\r\nq=5\r\n");
}

// Lookups ignore letter case and the blanks around names, whichever section was looked at last and however
// the sections moved since (a deletion shifts those after it, a new one joins the end).
TEST(PrivateProfileWrite, LookupsFollowSectionsThatMoveAndGo) {
  TempDir dir;
  std::string file = dir.file("moves.ini");
  std::string text = "[A]\r\nk=a\r\n[B]\r\nk=b\r\n[C]\r\nk=c\r\n[Long]\r\n";
  for (int i = 0; i < 40; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  WriteFileBytes(file, text);
  TKVPrivateProfile p(file);
  EXPECT_EQ(p.Read("c", "K"), std::optional<std::string>("c"));
  EXPECT_EQ(p.Read(" C\t", " k "), std::optional<std::string>("c"));
  EXPECT_TRUE(p.DeleteSection("a"));
  EXPECT_EQ(p.Read("C", "k"), std::optional<std::string>("c"));
  EXPECT_EQ(p.Read("B", "k"), std::optional<std::string>("b"));
  EXPECT_EQ(p.Read("A", "k"), std::nullopt);
  EXPECT_TRUE(p.DeleteSection("B"));
  EXPECT_EQ(p.Read("b", "k"), std::nullopt);
  EXPECT_EQ(p.Read("c", "k"), std::optional<std::string>("c"));
  p.WriteString("a", "K", "new");
  EXPECT_TRUE(p.HasSection(" A "));
  EXPECT_FALSE(p.HasSection("B"));
  EXPECT_EQ(p.Read("A", "k"), std::optional<std::string>("new"));
  EXPECT_EQ(ReadFileBytes(file).substr(0, 13), "[C]\r\nk=c\r\n[Lo");
  // A long section answers through its key index, letter case ignored, and keeps it through changes.
  EXPECT_EQ(p.Read("LONG", "KEY39"), std::optional<std::string>("39"));
  p.WriteString("long", "key7", "seven");
  p.WriteString("long", "Key40", "40");
  EXPECT_TRUE(p.DeleteKey("long", "KEY0"));
  EXPECT_EQ(p.Read("Long", "Key7"), std::optional<std::string>("seven"));
  EXPECT_EQ(p.Read("Long", "key40"), std::optional<std::string>("40"));
  EXPECT_EQ(p.Read("Long", "key0"), std::nullopt);
  EXPECT_EQ(p.Read("Long", "key39"), std::optional<std::string>("39"));
  EXPECT_EQ(p.ReadKeyNames("long").size(), 40u);
  // Names longer than a word of the hash, letters on every side of its boundaries; "@[`{" are no letters.
  for (const std::string name : {"QXD\\.\\00000\\.\\00001\\.\\ABCDEFGHIJKLMNOPQRSTUVWXYZ", "Mixed@[`{Name"}) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    p.WriteString(name, "Key", name);
    p.WriteString("other", "k", "v");  // so that the next lookup is not the one just made
    EXPECT_EQ(p.Read(lower, "key"), std::optional<std::string>(name));
  }
  EXPECT_EQ(p.Read("Mixed`{@[Name", "key"), std::nullopt);
}

// --- The file on disk -------------------------------------------------------------------------------------

TEST(PrivateProfileFile, OnlyAWriteCreatesTheFile) {
  TempDir dir;
  std::string file = dir.file("new.ini");
  TKVPrivateProfile p(file);
  EXPECT_EQ(p.ReadString("S", "k", "def"), "def");
  EXPECT_TRUE(p.ReadSectionNames().empty());
  EXPECT_FALSE(p.DeleteKey("S", "k"));
  EXPECT_FALSE(p.DeleteSection("S"));
  p.BeginUpdate();
  p.EndUpdate();
  p.Flush();
  EXPECT_FALSE(fs::exists(file));
  p.WriteString("S", "k", "v");
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=v\r\n");
  // Writing what is there already leaves the file alone.
  ino_t inode = InodeOf(file);
  p.WriteString("s", "K", "v");
  EXPECT_EQ(p.FileWriteCount(), 1u);
  EXPECT_EQ(InodeOf(file), inode);
}

TEST(PrivateProfileFile, ABatchWritesTheFileOnceAtTheOutermostEnd) {
  TempDir dir;
  std::string file = dir.file("batch.ini");
  TKVPrivateProfile p(file);
  p.BeginUpdate();
  p.BeginUpdate();
  for (int i = 0; i < 1000; ++i) p.WriteString("Dir" + std::to_string(i % 10), "v" + std::to_string(i), "x");
  EXPECT_EQ(p.ReadString("dir3", "v993", ""), "x");  // reads inside the batch see its writes
  p.EndUpdate();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(p.FileWriteCount(), 0u);
  p.EndUpdate();
  EXPECT_EQ(p.FileWriteCount(), 1u);
  p.EndUpdate();  // one too many does nothing
  EXPECT_EQ(p.FileWriteCount(), 1u);
  TKVPrivateProfile fresh(file);
  EXPECT_EQ(fresh.ReadKeyNames("Dir7").size(), 100u);
  EXPECT_EQ(fresh.ReadString("Dir9", "v999", ""), "x");

  // Outside a batch each change goes to the file at once.
  p.WriteString("Single", "a", "1");
  p.WriteString("Single", "b", "2");
  EXPECT_EQ(p.FileWriteCount(), 3u);
  EXPECT_EQ(TKVPrivateProfile(file).ReadString("single", "b", ""), "2");

  // Flush writes inside a batch, which then goes on gathering.
  p.BeginUpdate();
  p.WriteString("Single", "c", "3");
  p.Flush();
  EXPECT_EQ(TKVPrivateProfile(file).ReadString("single", "c", ""), "3");
  p.WriteString("Single", "d", "4");
  EXPECT_EQ(TKVPrivateProfile(file).Read("single", "d"), std::nullopt);
  p.EndUpdate();
  EXPECT_EQ(TKVPrivateProfile(file).ReadString("single", "d", ""), "4");
  EXPECT_EQ(p.FileWriteCount(), 5u);
}

TEST(PrivateProfileFile, GatheredWritesReachTheFileWhenTheObjectGoes) {
  TempDir dir;
  std::string file = dir.file("late.ini");
  {
    TKVPrivateProfile p(file);
    p.BeginUpdate();
    p.WriteString("S", "k", "v");
  }
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=v\r\n");
}

TEST(PrivateProfileFile, TheFileIsReplacedWholeAndKeepsPermissionsAndLinks) {
  TempDir dir;
  std::string file = dir.file("perm.ini");
  WriteFileBytes(file, "[S]\r\nk=v\r\n");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ino_t before = InodeOf(file);
  TKVPrivateProfile p(file);
  p.WriteString("S", "k", "changed");
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(st.st_ino, before);  // a new file took the old one's place
  EXPECT_EQ(FolderEntries(dir.path()), Names{"perm.ini"});

  std::string link = dir.file("link.ini");
  fs::create_symlink("perm.ini", link);
  TKVPrivateProfile viaLink(link);
  viaLink.WriteString("S", "k", "through the link");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=through the link\r\n");
  EXPECT_EQ(FolderEntries(dir.path()), (Names{"link.ini", "perm.ini"}));
}

TEST(PrivateProfileFile, ChangesByOtherWritersAreNoticed) {
  TempDir dir;
  std::string file = dir.file("shared.ini");
  TKVPrivateProfile a(file), b(file);
  EXPECT_EQ(a.ReadString("S", "k", "none"), "none");
  b.WriteString("S", "k", "from b");
  EXPECT_EQ(a.ReadString("S", "k", "none"), "from b");
  // A change by a's own write is built on what b wrote, not on a's older image.
  a.WriteString("S", "j", "from a");
  EXPECT_EQ(b.ReadString("S", "k", ""), "from b");
  EXPECT_EQ(b.ReadString("S", "j", ""), "from a");

  // Another program appending in place (same inode).
  auto r = testsupport::RunCommand("printf '[Other]\\r\\nx=1\\r\\n' >> " + testsupport::ShellQuote(file));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(a.ReadString("other", "x", ""), "1");
  EXPECT_EQ(a.ReadSectionNames(), (Names{"S", "Other"}));

  fs::remove(file);
  EXPECT_EQ(a.ReadString("S", "k", "gone"), "gone");
  EXPECT_TRUE(a.ReadSectionNames().empty());
}

TEST(PrivateProfileFile, AFailedWriteRaisesAndLeavesFileAndImageAlike) {
  TempDir dir;
  // A folder that cannot exist: its parent is a regular file.
  WriteFileBytes(dir.file("plain"), "x");
  std::string impossible = dir.file("plain") + "/sub/x.ini";
  TKVPrivateProfile p(impossible);
  try {
    p.WriteString("S", "Name", "the value");
    ADD_FAILURE() << "write into a missing folder succeeded";
  } catch (const EAPIException& e) {
    EXPECT_EQ(e.OSErrorCode(), ENOTDIR);
    EXPECT_EQ(e.GetRoutineName(), "WriteString");
    EXPECT_EQ(e.GetMessageText().rfind("WritePrivateProfileString(File: " + impossible +
                                           ", ValueName: Name, Value: the value)",
                                       0),
              0u)
        << e.GetMessageText();
  }
  EXPECT_EQ(p.Read("S", "Name"), std::nullopt);

  // A file that cannot grow: the old file stays, and so does what the image says.
  std::string file = dir.file("full.ini");
  WriteFileBytes(file, "[S]\r\nk=old\r\n");
  TKVPrivateProfile q(file);
  EXPECT_EQ(q.ReadString("S", "k", ""), "old");
  {
    testsupport::FileSizeLimit limit(1024);
    try {
      q.WriteString("S", "k", std::string(4000, 'n'));
      ADD_FAILURE() << "write beyond the size limit succeeded";
    } catch (const EAPIException& e) {
      EXPECT_EQ(e.OSErrorCode(), EFBIG);
    }
    // The same for a batch: everything gathered goes, nothing half-done stays.
    q.BeginUpdate();
    q.WriteString("S", "small", "1");
    q.WriteString("T", "big", std::string(4000, 'b'));
    EXPECT_THROW(q.EndUpdate(), EAPIException);
    EXPECT_EQ(q.UpdateDepth(), 0);
  }
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=old\r\n");
  EXPECT_EQ(q.ReadString("S", "k", ""), "old");
  EXPECT_EQ(q.Read("S", "small"), std::nullopt);
  EXPECT_EQ(q.ReadSectionNames(), Names{"S"});
  EXPECT_EQ(FolderEntries(dir.path()), (Names{"full.ini", "plain"}));
  q.WriteString("S", "k", "new");  // and the object is still fit for use
  EXPECT_EQ(ReadFileBytes(file), "[S]\r\nk=new\r\n");
}

TEST(PrivateProfileFile, AFileThatIsNoRegularFileIsNeverReplaced) {
  TempDir dir;
  std::string folder = dir.file("folder.ini");
  fs::create_directory(folder);
  TKVPrivateProfile p(folder);
  EXPECT_EQ(p.ReadString("S", "k", "def"), "def");
  try {
    p.WriteString("S", "k", "v");
    ADD_FAILURE() << "a folder was written as a file";
  } catch (const EAPIException& e) {
    EXPECT_EQ(e.OSErrorCode(), EISDIR);
  }
  EXPECT_TRUE(fs::is_directory(folder));

  // A pipe would block a plain read until someone writes into it.
  std::string pipe = dir.file("pipe.ini");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  TKVPrivateProfile viaPipe(pipe);
  EXPECT_EQ(viaPipe.ReadString("S", "k", "def"), "def");
  EXPECT_THROW(viaPipe.WriteString("S", "k", "v"), EAPIException);
  EXPECT_TRUE(fs::is_fifo(pipe));
}

TEST(PrivateProfileFile, AFileWithoutReadPermissionIsNeverReplaced) {
  if (geteuid() == 0) GTEST_SKIP() << "the super-user reads every file";
  TempDir dir;
  std::string locked = dir.file("locked.ini");
  WriteFileBytes(locked, "[S]\r\nk=secret\r\n");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  TKVPrivateProfile q(locked);
  EXPECT_EQ(q.ReadString("S", "k", "def"), "def");
  EXPECT_THROW(q.WriteString("S", "k", "v"), EAPIException);
  chmod(locked.c_str(), 0600);
  EXPECT_EQ(ReadFileBytes(locked), "[S]\r\nk=secret\r\n");
}
