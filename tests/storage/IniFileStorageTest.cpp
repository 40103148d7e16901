// The text storage format: how directories and values map onto the INI file, the whitespace substitution,
// the directory lookups over section names, and the file's life (batches, other writers, failures).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>

#include "foundation/KVExceptions.h"
#include "storage/KVIniFileStorage.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

using Names = std::vector<std::string>;

TKVRef<TKVIniFileStorage> OpenIni(const std::string& file, const std::string& baseDir = "") {
  return KVMakeRef<TKVIniFileStorage>(nullptr, 0u, baseDir, file);
}

}  // namespace

// --- Texts ------------------------------------------------------------------------------------------------

TEST(IniFileStorageText, WhitespaceIsWrittenAsSubstituteBytesAndReadBack) {
  TempDir dir;
  std::string file = dir.file("ws.qxt");
  const std::string text = " lead\ttab\r\nnext line\n ";
  {
    auto s = OpenIni(file);
    ASSERT_TRUE(s->OpenDir("\\D", true));
    s->WriteString("v", text);
  }
  EXPECT_EQ(ReadFileBytes(file), "[D]\r\nv=\xF0lead\xD0tab\xDE\xFEnext\xF0line\xFE\xF0\r\n");
  auto s = OpenIni(file);
  ASSERT_TRUE(s->OpenDir("\\D", false));
  EXPECT_EQ(s->ReadString("v", ""), text);
}

TEST(IniFileStorageText, LettersSharingTheSubstituteBytesSurvive) {
  TempDir dir;
  std::string file = dir.file("letters.qxt");
  // D0 and DE begin two-byte letters (Cyrillic, Thaana), F0 four-byte ones (emoji, rare CJK).
  const Names titles = {"Дом Деда\tДД", "Ѐ Џ Ð Þ ð", "ހ ޞ lead", "Ώρα ζώνη", "日本語 タイトル",
                        "😀 𠀋 end 𝄞", " Д", "Д ", "\tДa\r\n😀\n"};
  {
    auto s = OpenIni(file);
    ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", true));
    for (size_t i = 0; i < titles.size(); ++i) s->WriteString("Title" + std::to_string(i), titles[i]);
  }
  auto s = OpenIni(file);
  ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", false));
  for (size_t i = 0; i < titles.size(); ++i) EXPECT_EQ(s->ReadString("Title" + std::to_string(i), "?"), titles[i]) << i;
}

TEST(IniFileStorageText, FilesOfOlderVersionsReadAsTheyWereWritten) {
  TempDir dir;
  std::string file = dir.file("old.qxt");
  WriteFileBytes(file,
                 "[QXD\\.\\00000]\r\n"
                 "Title=Old\xF0Title\xD0x\xDE\xFEy\xF0\r\n"
                 "Sql=SELECT\xF0*\xFE\xF0\xF0" "FROM\xF0T\r\n"
                 "Mixed=\xF0\xD0\x94\xD0\xF0\x9F\x98\x80\xDE\xFE\r\n");
  auto s = OpenIni(file);
  ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", false));
  EXPECT_EQ(s->ReadString("Title", ""), "Old Title\tx\r\ny ");
  EXPECT_EQ(s->ReadString("Sql", ""), "SELECT *\n  FROM T");
  EXPECT_EQ(s->ReadString("Mixed", ""), " Д\t😀\r\n");
}

TEST(IniFileStorageText, DecodingLooksOnlyAtTheBytesAfterASubstitute) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\xD0", "\t"},                              // at the end
      {"\xDE\xD0", "\r\t"},                        // followed by another substitute
      {"\xD0\x80", "\xD0\x80"},                    // Ѐ, the lowest letter starting with D0
      {"\xD0\xC0", "\t\xC0"},                      // no continuation byte
      {"\xF0\x90\x80", " \x90\x80"},               // cut short
      {"\xF0\x8F\xBF\xBF", " \x8F\xBF\xBF"},       // overlong: not a letter
      {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},    // the first four-byte letter
      {"\xF0\xF0\x9F\x98\x80", " \xF0\x9F\x98\x80"},
      {"\xFE\xFE", "\n\n"},
      {"plain", "plain"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(KVIniDecodeText(c.in), c.out) << testing::PrintToString(c.in);
  EXPECT_EQ(KVIniEncodeText(" \t\r\n"), "\xF0\xD0\xDE\xFE");
}

// --- Directories and sections -----------------------------------------------------------------------------

TEST(IniFileStorageLayout, DirectoriesAreSectionsNamedByTheirPath) {
  TempDir dir;
  std::string file = dir.file("layout.qxt");
  {
    auto s = OpenIni(file);
    s->WriteString("RootValue", "1");
    ASSERT_TRUE(s->OpenDir("/QXD//./00000/", true));
    s->WriteString("Title", "x");
  }
  EXPECT_EQ(ReadFileBytes(file), "[]\r\nRootValue=1\r\n[QXD\\.\\00000]\r\nTitle=x\r\n");

  auto based = OpenIni(file, "Settings");
  ASSERT_TRUE(based->OpenDir("\\Window", true));
  based->WriteString("Width", "640");
  EXPECT_EQ(TKVPrivateProfile(file).ReadString("settings\\window", "width", ""), "640");
}

TEST(IniFileStorageLayout, OpeningForWritingTouchesNothingUntilAValueIsWritten) {
  TempDir dir;
  std::string file = dir.file("open.qxt");
  auto s = OpenIni(file);
  EXPECT_TRUE(s->DirExists("\\"));  // the root always exists
  EXPECT_FALSE(s->OpenDir("\\A", false));
  EXPECT_TRUE(s->OpenDir("\\A\\B", true));
  EXPECT_EQ(s->ReadString("v", "def"), "def");
  EXPECT_TRUE(s->ReadValueNames().empty());
  EXPECT_TRUE(s->ReadSubDirNames().empty());
  s->Commit();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(s->DirExists("\\A\\B"));
  s->WriteString("v", "1");
  EXPECT_TRUE(s->DirExists("\\A"));  // through its subdirectory
  EXPECT_TRUE(s->DirExists("\\a\\b"));
  EXPECT_EQ(ReadFileBytes(file), "[A\\B]\r\nv=1\r\n");
  // Names the file cannot hold are refused when opened for writing.
  EXPECT_FALSE(s->OpenDir("\\bad\nname", true));
  EXPECT_EQ(s->GetCurrentDir(), "A\\B");
}

TEST(IniFileStorageLayout, ExistenceIsDecidedByWholePathElements) {
  TempDir dir;
  std::string file = dir.file("exists.qxt");
  // "QXD.old" and "QXD-x" sort between "qxd" and "qxd\...": the subtree must still be found.
  WriteFileBytes(file,
                 "[QXD.old]\r\na=1\r\n[QXD-x]\r\na=1\r\n[qxd\\Sub\\Leaf]\r\na=1\r\n[QXDX]\r\na=1\r\n"
                 "[Slash/Style]\r\na=1\r\n");
  auto s = OpenIni(file);
  EXPECT_TRUE(s->DirExists("\\QXD"));
  EXPECT_TRUE(s->DirExists("\\qxd\\SUB"));
  EXPECT_TRUE(s->DirExists("\\QXD\\sub\\leaf"));
  EXPECT_FALSE(s->DirExists("\\QXD\\Su"));
  EXPECT_FALSE(s->DirExists("\\QXD\\Sub\\Leaf\\More"));
  EXPECT_FALSE(s->DirExists("\\QX"));
  EXPECT_TRUE(s->DirExists("\\QXD.OLD"));
  EXPECT_TRUE(s->DirExists("\\Slash"));
  EXPECT_TRUE(s->DirExists("\\slash\\style"));
  ASSERT_TRUE(s->OpenDir("\\QXD", false));
  EXPECT_EQ(s->ReadSubDirNames(), Names{"Sub"});
}

TEST(IniFileStorageLayout, SubdirectoriesComeInTheOrderOfTheirSectionsInTheFile) {
  TempDir dir;
  std::string file = dir.file("order.qxt");
  auto s = OpenIni(file);
  EXPECT_FALSE(s->DirExists("\\P"));  // sections created from here on join a cache that is already built
  for (const char* d : {"\\P\\Zeta", "\\P\\Alpha\\Deep", "\\P\\mid", "\\P\\ALPHA\\Other", "\\Q", "\\P\\Beta",
                        "\\P"}) {
    ASSERT_TRUE(s->OpenDir(d, true));
    s->WriteString("v", d);
  }
  ASSERT_TRUE(s->OpenDir("\\P", false));
  EXPECT_EQ(s->ReadSubDirNames(), (Names{"Zeta", "Alpha", "mid", "Beta"}));
  // A directory that has a section of its own takes the place of that section, as the first in name order.
  ASSERT_TRUE(s->OpenDir("\\", false));
  EXPECT_EQ(s->ReadSubDirNames(), (Names{"Q", "P"}));
  ASSERT_TRUE(s->OpenDir("\\p\\alpha", false));
  EXPECT_EQ(s->ReadSubDirNames(), (Names{"Deep", "Other"}));

  // The same from a file written elsewhere: duplicates, "/" and doubled separators included.
  WriteFileBytes(file, "[R\\b]\r\n[R/a/x]\r\n[R\\B]\r\n[R\\\\c]\r\n[r\\A]\r\n");
  ASSERT_TRUE(s->OpenDir("\\R", false));
  EXPECT_EQ(s->ReadSubDirNames(), (Names{"b", "c", "A"}));
}

TEST(IniFileStorageLayout, NamesIgnoreLetterCaseAndKeepTheirFirstSpelling) {
  TempDir dir;
  std::string file = dir.file("case.qxt");
  auto s = OpenIni(file);
  ASSERT_TRUE(s->OpenDir("\\Doc", true));
  s->WriteString("Title", "first");
  ASSERT_TRUE(s->OpenDir("\\DOC", false));
  s->WriteString("TITLE", "second");
  s->WriteString("Other", "x");
  EXPECT_EQ(s->ReadString("title", ""), "second");
  EXPECT_EQ(s->ReadValueNames(), (Names{"Title", "Other"}));
  EXPECT_EQ(ReadFileBytes(file), "[Doc]\r\nTitle=second\r\nOther=x\r\n");
  EXPECT_TRUE(s->DeleteValue("OTHER"));
  EXPECT_FALSE(s->DeleteValue("Other"));
  EXPECT_EQ(s->ReadValueNames(), Names{"Title"});
}

TEST(IniFileStorageLayout, DeleteDirRemovesTheSubtreeAndNothingElse) {
  TempDir dir;
  std::string file = dir.file("del.qxt");
  WriteFileBytes(file,
                 "[QXD]\r\na=1\r\n[QXD\\.\\00000]\r\na=1\r\n[qxd/x]\r\na=1\r\n[QXDX]\r\na=1\r\n"
                 "[QXD.x]\r\na=1\r\n[Other\\QXD]\r\na=1\r\n[qxd]\r\nb=2\r\n");
  auto s = OpenIni(file);
  EXPECT_TRUE(s->DeleteDir("\\QXD"));
  EXPECT_EQ(ReadFileBytes(file), "[QXDX]\r\na=1\r\n[QXD.x]\r\na=1\r\n[Other\\QXD]\r\na=1\r\n");
  EXPECT_FALSE(s->DirExists("\\QXD"));
  EXPECT_FALSE(s->DeleteDir("\\QXD"));
  EXPECT_TRUE(s->DeleteDir("Other\\qxd"));
  EXPECT_FALSE(s->DirExists("\\Other"));
}

// --- The file ---------------------------------------------------------------------------------------------

TEST(IniFileStorageFile, WithoutANameTheProgramsOwnPathWithPrsIsUsed) {
  fs::path expected = fs::read_symlink("/proc/self/exe");
  expected.replace_extension(".PRS");
  EXPECT_EQ(KVDefaultIniFileName(), expected.string());
  auto s = OpenIni("");
  EXPECT_EQ(s->GetFileName(), expected.string());
  EXPECT_EQ(s->StorageClass(), &KVIniFileStorageClass);
  EXPECT_STREQ(KVIniFileStorageClass.Name, "TKVIniFileStorage");
  EXPECT_EQ(s->ClassName(), "TKVIniFileStorage");
}

TEST(IniFileStorageFile, ReadingNeverCreatesTheFile) {
  TempDir dir;
  std::string file = dir.file("read.qxt");
  {
    auto s = OpenIni(file);
    EXPECT_FALSE(s->DirExists("\\x"));
    EXPECT_EQ(s->ReadInteger("i", 7), 7);
    EXPECT_TRUE(s->ReadSubDirNames().empty());
    EXPECT_FALSE(s->DeleteValue("v"));
    EXPECT_FALSE(s->DeleteDir("\\x"));
    s->BeginUpdate();
    s->EndUpdate();
  }
  EXPECT_FALSE(fs::exists(file));
}

TEST(IniFileStorageFile, ABatchOfAThousandValuesWritesTheFileOnce) {
  TempDir dir;
  std::string file = dir.file("batch.qxt");
  auto s = OpenIni(file);
  {
    TKVStorageUpdate update(*s);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(s->OpenDir("\\QXD\\.\\" + std::to_string(10000 + i / 10), true));
      s->WriteInteger("v" + std::to_string(i), i);
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(s->DirExists("\\QXD\\.\\10099"));  // lookups inside the batch see its writes
    update.Finish();
  }
  EXPECT_EQ(s->Profile().FileWriteCount(), 1u);
  auto again = OpenIni(file);
  ASSERT_TRUE(again->OpenDir("\\QXD\\.", false));
  EXPECT_EQ(again->ReadSubDirNames().size(), 100u);
  ASSERT_TRUE(again->OpenDir("10042", false));
  EXPECT_EQ(again->ReadInteger("v427", -1), 427);

  // Commit writes inside a batch; the destructor writes what is left.
  ASSERT_TRUE(s->OpenDir("\\", false));
  s->BeginUpdate();
  s->WriteString("a", "1");
  s->Commit();
  EXPECT_EQ(OpenIni(file)->ReadString("a", ""), "1");
  s->WriteString("b", "2");
  EXPECT_EQ(s->Profile().FileWriteCount(), 2u);
  s.reset();
  EXPECT_EQ(OpenIni(file)->ReadString("b", ""), "2");
}

TEST(IniFileStorageFile, ChangesByAnotherObjectAreNoticed) {
  TempDir dir;
  std::string file = dir.file("shared.qxt");
  auto a = OpenIni(file), b = OpenIni(file);
  EXPECT_FALSE(a->DirExists("\\New"));
  ASSERT_TRUE(b->OpenDir("\\New\\Sub", true));
  b->WriteString("v", "1");
  EXPECT_TRUE(a->DirExists("\\New"));
  EXPECT_EQ(a->ReadSubDirNames(), Names{"New"});
  ASSERT_TRUE(a->OpenDir("\\new\\sub", false));
  EXPECT_EQ(a->ReadString("v", ""), "1");
  EXPECT_TRUE(b->DeleteDir("\\New"));
  EXPECT_FALSE(a->DirExists("\\New"));
  EXPECT_EQ(a->ReadString("v", "gone"), "gone");
}

TEST(IniFileStorageFile, AFailedWriteRaisesWithTheValueAsGiven) {
  TempDir dir;
  WriteFileBytes(dir.file("plain"), "x");
  std::string impossible = dir.file("plain") + "/doc.qxt";
  auto s = OpenIni(impossible);
  ASSERT_TRUE(s->OpenDir("\\D", true));
  try {
    s->WriteString("Title", "two words\tand more");
    ADD_FAILURE() << "write into a missing folder succeeded";
  } catch (const EAPIException& e) {
    EXPECT_EQ(e.OSErrorCode(), ENOTDIR);
    EXPECT_EQ(e.GetRoutineName(), "WriteString");
    EXPECT_EQ(e.GetObjectClassName(), "TKVIniFileStorage");
    const std::string expected = "WritePrivateProfileString(File: " + impossible +
                                 ", ValueName: Title, Value: two words\tand more)";
    EXPECT_EQ(e.GetMessageText().substr(0, expected.size()), expected);
  }
  EXPECT_EQ(s->ReadString("Title", "none"), "none");
  EXPECT_FALSE(s->DirExists("\\D"));
}

TEST(IniFileStorageFile, AFailedDirectoryDeletionRaisesAndKeepsTheFile) {
  TempDir dir;
  std::string file = dir.file("keep.qxt");
  std::string content = "[Big]\r\nv=" + std::string(3000, 'x') + "\r\n[Gone]\r\nv=1\r\n";
  WriteFileBytes(file, content);
  auto s = OpenIni(file);
  EXPECT_TRUE(s->DirExists("\\Gone"));
  {
    testsupport::FileSizeLimit limit(1000);
    try {
      s->DeleteDir("\\Gone");
      ADD_FAILURE() << "deletion succeeded beyond the size limit";
    } catch (const EAPIException& e) {
      EXPECT_EQ(e.OSErrorCode(), EFBIG);
      EXPECT_EQ(e.GetRoutineName(), "InternalDeleteDir");
    }
    EXPECT_FALSE(s->DeleteValue("v"));  // the directory is still \, which holds no "v"
    ASSERT_TRUE(s->OpenDir("\\Gone", false));
    EXPECT_FALSE(s->DeleteValue("v"));  // the file could not be written
    EXPECT_EQ(s->ReadString("v", ""), "1");
    ASSERT_TRUE(s->OpenDir("\\Big", false));
  }
  EXPECT_EQ(ReadFileBytes(file), content);
  EXPECT_TRUE(s->DirExists("\\Gone"));
  EXPECT_EQ(s->ReadString("v", "").size(), 3000u);
}

TEST(IniFileStorageFile, SetFileNameMovesToAnotherFile) {
  TempDir dir;
  std::string first = dir.file("first.qxt"), second = dir.file("second.qxt");
  auto s = OpenIni(first);
  s->BeginUpdate();
  ASSERT_TRUE(s->OpenDir("\\One", true));
  s->WriteString("v", "1");
  s->SetFileName(second);  // what was gathered for the first file goes there
  EXPECT_EQ(s->GetFileName(), second);
  EXPECT_FALSE(s->DirExists("\\One"));
  ASSERT_TRUE(s->OpenDir("\\Two", true));
  s->WriteString("v", "2");
  s->EndUpdate();
  EXPECT_EQ(ReadFileBytes(first), "[One]\r\nv=1\r\n");
  EXPECT_EQ(ReadFileBytes(second), "[Two]\r\nv=2\r\n");
}

// --- Input of any kind ------------------------------------------------------------------------------------

TEST(IniFileStorageInput, OddFilesGiveDefaultsAndClearAnswers) {
  TempDir dir;
  std::string file = dir.file("odd.qxt");
  auto s = OpenIni(file);

  WriteFileBytes(file, "just some text\nkey=value\n");  // no section at all
  EXPECT_EQ(s->ReadString("key", "def"), "def");
  EXPECT_TRUE(s->ReadSubDirNames().empty());
  EXPECT_TRUE(s->ReadValueNames().empty());

  WriteFileBytes(file, "[A]\r\nno equals here\r\nk=1\r\n[a]\r\nk=2\r\nj=3\r\n[]\r\nroot=r\r\n");
  ASSERT_TRUE(s->OpenDir("\\A", false));
  EXPECT_EQ(s->ReadString("k", ""), "1");
  EXPECT_EQ(s->ReadString("j", "def"), "def");
  EXPECT_EQ(s->ReadValueNames(), Names{"k"});
  ASSERT_TRUE(s->OpenDir("\\", false));
  EXPECT_EQ(s->ReadSubDirNames(), Names{"A"});
  EXPECT_EQ(s->ReadString("root", ""), "r");

  std::string big;
  for (int i = 0; big.size() < 72 * 1024; ++i) big += "[Schemata\\Page number " + std::to_string(i) + "]\r\nv=1\r\n";
  WriteFileBytes(file, big);
  ASSERT_TRUE(s->OpenDir("\\Schemata", false));
  Names pages = s->ReadSubDirNames();
  ASSERT_GT(pages.size(), 2000u);
  EXPECT_EQ(pages.front(), "Page number 0");
  EXPECT_EQ(pages.back(), "Page number " + std::to_string(pages.size() - 1));

  for (unsigned seed = 1; seed <= 10; ++seed) {
    std::mt19937 random(seed);
    std::string noise(8192, '\0');
    for (auto& c : noise) {
      int r = static_cast<int>(random() % 48);
      c = r < 8 ? "[]=;\\/\n\r"[r] : static_cast<char>(random() & 0xFF);
    }
    WriteFileBytes(file, noise);
    ASSERT_TRUE(s->OpenDir("\\", false));
    for (const auto& sub : s->ReadSubDirNames()) {
      EXPECT_TRUE(s->DirExists(sub)) << seed;
      TKVVsdDirPathKeeper keeper(*s, sub, false);
      for (const auto& v : s->ReadValueNames()) (void)s->ReadString(v, "");
    }
    EXPECT_EQ(s->ReadString("surely missing", "def"), "def");
  }
}

TEST(IniFileStorageInput, ADirectoryNameNoWriterMakesStillOpensAndIsReturnedTo) {
  using namespace std::string_literals;
  // Names with a NUL or a lone carriage return are refused when a directory is created, but a hand-made
  // file holds them; a keeper that came back from a subdirectory must find its way in again.
  TempDir dir;
  std::string file = dir.file("hand.qxt");
  WriteFileBytes(file, "[a\\x\0y\\b\\c]\nk=v\n[a\\x\0y\\d]\nj=1\n[a\\cr\rhere\\e]\nm=2\n"s);
  auto s = OpenIni(file);
  for (const std::string& odd : {"x\0y"s, "cr\rhere"s}) {
    SCOPED_TRACE(odd);
    ASSERT_TRUE(s->OpenDir("\\a\\" + odd, false));
    const Names below = s->ReadSubDirNames();
    ASSERT_FALSE(below.empty());
    for (const auto& sub : below) {
      {
        TKVVsdDirPathKeeper keeper(*s, sub, false);
        ASSERT_TRUE(keeper.Opened()) << sub;
      }
      EXPECT_EQ(s->GetCurrentDir(), "a\\" + odd);
      EXPECT_EQ(s->ReadSubDirNames(), below);
    }
    // Creating such a directory stays refused.
    EXPECT_FALSE(s->OpenDir("\\new\\" + odd, true));
  }
  EXPECT_FALSE(s->OpenDir("\\a\\x", false));
  ASSERT_TRUE(s->OpenDir("\\a\\x\0y\\d"s, false));
  EXPECT_EQ(s->ReadString("j", "def"), "1");
}

namespace {

// A node of a generated document tree.
struct IniTreeNode : IKVVsdTreeNode, IKVLoadStoreData {
  std::string Title;
  std::vector<std::unique_ptr<IniTreeNode>> Children;
  IniTreeNode* Next = nullptr;

  IniTreeNode* Add(std::string title) {
    Children.push_back(std::make_unique<IniTreeNode>());
    Children.back()->Title = std::move(title);
    if (Children.size() > 1) Children[Children.size() - 2]->Next = Children.back().get();
    return Children.back().get();
  }
  size_t Count() const {
    size_t n = 1;
    for (const auto& c : Children) n += c->Count();
    return n;
  }
  IKVVsdTreeNode* FirstChild() override { return Children.empty() ? nullptr : Children[0].get(); }
  IKVVsdTreeNode* NextSibling() override { return Next; }
  IKVLoadStoreData* LoadStore() override { return this; }
  void LoadData(IKVStorage& s) override { Title = s.ReadString("Title", ""); }
  void StoreData(IKVStorage& s) override {
    s.WriteString("Title", Title);
    s.WriteString("DataClassName", "TQXDNode");
  }
};

struct IniTreeFactory : IKVVsdTreeNodeFactory {
  IniTreeNode Root;
  IKVVsdTreeNode* CreateNode(IKVVsdTreeNode* parent, IKVStorage&) override {
    return (parent ? static_cast<IniTreeNode*>(parent) : &Root)->Add("");
  }
};

}  // namespace

// A tree is loaded from one image of the file: another writer changing the file half-way through the load
// does not give a tree made of two versions (nor does the loader ask the file system at every value).
TEST(IniFileStorageInput, ATreeLoadsFromTheFileAsItWasWhenTheLoadBegan) {
  TempDir dir;
  std::string file = dir.file("tree.qxt");
  IniTreeNode root;
  for (int i = 0; i < 3; ++i) root.Add("before " + std::to_string(i));
  {
    auto s = OpenIni(file);
    ASSERT_TRUE(s->OpenDir("\\QXD", true));
    int counter = 0;
    KVVsdStoreTree(*s, root.FirstChild(), counter, true);
  }
  struct TChangingFactory : IniTreeFactory {
    std::string File;
    IKVVsdTreeNode* CreateNode(IKVVsdTreeNode* parent, IKVStorage& s) override {
      if (Root.Children.empty()) {
        auto other = OpenIni(File);
        for (int i = 0; i < 3; ++i) {
          EXPECT_TRUE(other->OpenDir("\\QXD\\.\\0000" + std::to_string(i), false));
          other->WriteString("Title", "after " + std::to_string(i));
        }
        EXPECT_TRUE(other->OpenDir("\\QXD\\.\\00003", true));
        other->WriteString("Title", "added");
      }
      return IniTreeFactory::CreateNode(parent, s);
    }
  } factory;
  factory.File = file;
  auto loader = OpenIni(file);
  ASSERT_TRUE(loader->OpenDir("\\QXD", false));
  KVVsdLoadTree(*loader, nullptr, factory, ".");
  ASSERT_EQ(factory.Root.Children.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(factory.Root.Children[i]->Title, "before " + std::to_string(i));
  // Once the load is over, the file is looked at again.
  ASSERT_TRUE(loader->OpenDir("\\QXD\\.\\00001", false));
  EXPECT_EQ(loader->ReadString("Title", ""), "after 1");
}

TEST(IniFileStorageInput, ATenThousandNodeDocumentIsWrittenOnceAndLoadsWhole) {
  TempDir dir;
  std::string file = dir.file("large.qxt");
  IniTreeNode root;
  for (int i = 0; i < 100; ++i) {
    IniTreeNode* folder = root.Add("Folder " + std::to_string(i));
    for (int j = 0; j < 99; ++j) folder->Add("Item " + std::to_string(i) + "." + std::to_string(j));
  }
  ASSERT_EQ(root.Count(), 10001u);

  auto s = OpenIni(file);
  ASSERT_TRUE(s->OpenDir("\\QXD", true));
  int counter = 0;
  KVVsdStoreTree(*s, root.FirstChild(), counter, true);
  EXPECT_EQ(counter, 10000);
  EXPECT_EQ(s->Profile().FileWriteCount(), 1u);

  auto loader = OpenIni(file);
  ASSERT_TRUE(loader->OpenDir("\\QXD", false));
  IniTreeFactory factory;
  KVVsdLoadTree(*loader, nullptr, factory, ".");
  ASSERT_EQ(factory.Root.Count(), 10001u);
  EXPECT_EQ(factory.Root.Children[42]->Title, "Folder 42");
  EXPECT_EQ(factory.Root.Children[42]->Children[98]->Title, "Item 42.98");
}
