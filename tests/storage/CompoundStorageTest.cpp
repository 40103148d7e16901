// The binary storage format: how directories and values map onto the compound document, when and how the
// file is opened, created, locked and written, and the in-memory variant.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "storage/KVCompoundStorage.h"
#include "support/TestSupport.h"

using testsupport::ReadFileBytes;
using testsupport::LockedElsewhere;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr TGUID kDocClass = KVGuid("{C1CE532E-C8F3-4CC4-915D-B90F532B3B19}");
constexpr TGUID kOtherClass = KVGuid("{11111111-2222-3333-4444-555555555555}");

TKVRef<TKVCompoundDocStorage> Doc(const std::string& file) {
  return KVMakeRef<TKVCompoundDocStorage>(nullptr, 0, "", file);
}
TKVRef<TKVMemoryDocStorage> Memory() { return KVMakeRef<TKVMemoryDocStorage>(nullptr, 0, "", ""); }

struct TRaised {
  HRESULT Code = 0;
  std::string Message;
};
TRaised Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKVHrException& e) {
    return {e.ResultCode(), e.GetMessageText()};
  } catch (const std::exception& e) {
    return {-1, e.what()};
  }
  return {};
}
bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// The document as the container reads it from disk, without locking or changing the file.
std::unique_ptr<TKVCompoundFile> OnDisk(const std::string& file) {
  auto f = std::make_unique<TKVCompoundFile>();
  f->LoadImage(ReadFileBytes(file));
  return f;
}

ino_t Inode(const std::string& file) {
  struct stat st {};
  EXPECT_EQ(stat(file.c_str(), &st), 0);
  return st.st_ino;
}

size_t FilesIn(const TempDir& dir) {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()));
}


// ===========================================================================================================

TEST(CompoundStorageMapping, ValuesAreStreamsHoldingExactlyTheirBytes) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  const std::string text =
                        " Gr\xC3\xBC\xC3\x9F"
                        "e\r\n\ttab ",
                    big(10000, 'b');
  {
    auto s = Doc(file);
    ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", true));
    s->WriteString("Title", text);
    s->WriteString("Empty", "");
    s->WriteString("MixedCase", big);
    s->Commit();
  }
  auto disk = OnDisk(file);
  const TKVCompoundElement* e = &disk->Root();
  for (const char* name : {"QXD", ".", "00000"}) {
    e = e->Find(name);
    ASSERT_NE(e, nullptr) << name;
    ASSERT_TRUE(e->IsStorage()) << name;
    EXPECT_EQ(e->Name(), name);
  }
  EXPECT_EQ(e->Count(), 3u);
  ASSERT_NE(e->Find("Title"), nullptr);
  EXPECT_EQ(e->Find("Title")->Data(), text);
  ASSERT_NE(e->Find("Empty"), nullptr);
  EXPECT_TRUE(e->Find("Empty")->IsStream());
  EXPECT_EQ(e->Find("Empty")->Data(), "");
  EXPECT_EQ(e->Find("mixedcase")->Name(), "MixedCase");
  EXPECT_EQ(e->Find("MixedCase")->Data(), big);

  auto again = Doc(file);
  ASSERT_TRUE(again->OpenDir("\\qxd\\.\\00000", false));
  EXPECT_EQ(again->ReadString("Empty", "default"), "");  // an empty value is a value
  EXPECT_EQ(again->ReadString("TITLE", ""), text);
  EXPECT_EQ(again->ReadString("Missing", "default"), "default");
}

TEST(CompoundStorageMapping, PathsWalkElementByElement) {
  auto s = Doc("");
  ASSERT_TRUE(s->OpenDir("\\a\\\\b//c\\", true));
  const TKVCompoundElement& root = s->GetRootStorage();
  ASSERT_EQ(root.Count(), 1u);
  const TKVCompoundElement* a = root.Find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->Count(), 1u);
  ASSERT_NE(a->Find("b"), nullptr);
  ASSERT_EQ(a->Find("b")->Count(), 1u);
  EXPECT_NE(a->Find("b")->Find("c"), nullptr);
  EXPECT_TRUE(s->DirExists("\\A\\B\\C"));
  EXPECT_TRUE(s->OpenDir("\\", false));
  EXPECT_EQ(s->GetCurrentDir(), "");
  EXPECT_FALSE(s->OpenDir("\\a\\missing", false));
  EXPECT_FALSE(s->DirExists("\\a\\b\\c\\d"));
  EXPECT_EQ(s->GetRootStorage().Count(), 1u);  // nothing made on the way

  // A base directory puts everything one level down.
  auto based = KVMakeRef<TKVCompoundDocStorage>(nullptr, 0, "Settings\\User", "");
  ASSERT_TRUE(based->OpenDir("\\Window", true));
  based->WriteString("Width", "640");
  const TKVCompoundElement* w = based->GetRootStorage().Find("Settings");
  ASSERT_NE(w, nullptr);
  w = w->Find("User") ? w->Find("User")->Find("Window") : nullptr;
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->Find("Width")->Data(), "640");
}

TEST(CompoundStorageMapping, NamesListInTheFormatsOrder) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  const TKVStringArray values = {"A", "b", "_", "aa"}, dirs = {"Z", "00000", "00001"};
  auto check = [&](IKVStorage& s) {
    ASSERT_TRUE(s.OpenDir("\\list", false));
    EXPECT_EQ(s.ReadValueNames(), values);
    EXPECT_EQ(s.ReadSubDirNames(), dirs);
  };
  {
    auto s = Doc(file);
    ASSERT_TRUE(s->OpenDir("\\list", true));
    for (const char* v : {"aa", "_", "b", "A"}) s->WriteString(v, v);
    for (const char* d : {"00001", "Z", "00000"}) {
      ASSERT_TRUE(s->OpenDir(std::string("\\list\\") + d, true));
      ASSERT_TRUE(s->OpenDir("\\list", false));
    }
    check(*s);
  }
  check(*Doc(file));
}

TEST(CompoundStorageMapping, OneNameSpaceAndInvalidNamesRaiseAndReturnToTheRoot) {
  auto s = Doc("");
  ASSERT_TRUE(s->OpenDir("\\d", true));
  s->WriteString("value", "1");
  ASSERT_TRUE(s->OpenDir("\\d\\sub", true));
  ASSERT_TRUE(s->OpenDir("\\d", false));

  TRaised r = Raised([&] { s->OpenDir("\\d\\VALUE\\below", true); });
  EXPECT_TRUE(StartsWith(r.Message, "InternalOpenDir(\"VALUE\")")) << r.Message;
  EXPECT_EQ(s->GetCurrentDir(), "");
  ASSERT_TRUE(s->OpenDir("\\d", false));
  r = Raised([&] { s->OpenDir("\\d\\value", false); });
  EXPECT_TRUE(StartsWith(r.Message, "InternalOpenDir(\"value\")")) << r.Message;
  EXPECT_EQ(s->GetCurrentDir(), "");

  for (bool create : {true, false}) {
    ASSERT_TRUE(s->OpenDir("\\d", false));
    r = Raised([&] { s->OpenDir("\\d\\bad:name", create); });
    EXPECT_EQ(r.Code, KV_STG_E_INVALIDNAME);
    EXPECT_TRUE(StartsWith(r.Message, "InternalOpenDir(\"bad:name\")")) << r.Message;
    EXPECT_EQ(s->GetCurrentDir(), "");
  }
  EXPECT_FALSE(s->DirExists("\\d\\bad:name"));
  EXPECT_FALSE(s->DirExists("\\d\\value"));

  ASSERT_TRUE(s->OpenDir("\\d", false));
  r = Raised([&] { s->WriteString("SUB", "x"); });
  EXPECT_TRUE(StartsWith(r.Message, "WriteString(\"SUB\")")) << r.Message;
  r = Raised([&] { s->WriteString("a!b", "x"); });
  EXPECT_EQ(r.Code, KV_STG_E_INVALIDNAME);
  EXPECT_TRUE(StartsWith(r.Message, "WriteString(\"a!b\")")) << r.Message;
  EXPECT_NE(r.Message.find("\"a!b\" contains \"!\""), std::string::npos) << r.Message;
  r = Raised([&] { s->WriteString(std::string(32, 'x'), "x"); });
  EXPECT_EQ(r.Code, KV_STG_E_INVALIDNAME);

  EXPECT_EQ(s->ReadString("sub", "def"), "def");  // a directory is no value
  EXPECT_EQ(s->ReadString("a/b", "def"), "def");
  EXPECT_EQ(s->ReadString("", "def"), "def");
  EXPECT_EQ(s->ReadString("VALUE", "def"), "1");
  EXPECT_FALSE(s->DeleteValue("bad:name"));
  EXPECT_EQ(s->ReadValueNames(), TKVStringArray{"value"});
  EXPECT_EQ(s->ReadSubDirNames(), TKVStringArray{"sub"});
}

TEST(CompoundStorageMapping, DeletingValuesAndDirectories) {
  auto s = Doc("");
  ASSERT_TRUE(s->OpenDir("\\a\\b\\c", true));
  s->WriteString("deep", "1");
  ASSERT_TRUE(s->OpenDir("\\a", false));
  s->WriteString("v", "1");

  EXPECT_TRUE(s->DeleteValue("V"));
  EXPECT_FALSE(s->DeleteValue("v"));
  EXPECT_FALSE(s->DeleteDir("\\missing"));
  EXPECT_FALSE(s->DeleteDir("\\a\\missing\\deeper"));
  EXPECT_FALSE(s->DeleteDir("\\a\\bad:name"));
  EXPECT_FALSE(s->DeleteDir(""));
  EXPECT_FALSE(s->DeleteDir("\\"));

  ASSERT_TRUE(s->OpenDir("\\a\\b\\c", false));
  EXPECT_TRUE(s->DeleteDir("\\A\\B"));
  EXPECT_EQ(s->GetCurrentDir(), "A");  // the parent, as the path named it, became current
  EXPECT_FALSE(s->DirExists("\\a\\b"));
  EXPECT_FALSE(s->DirExists("\\a\\b\\c"));
  EXPECT_TRUE(s->DirExists("\\a"));

  ASSERT_TRUE(s->OpenDir("\\x\\y", true));
  s->WriteString("value", "kept");
  ASSERT_TRUE(s->OpenDir("\\x", false));
  EXPECT_FALSE(s->DeleteDir("y\\value"));  // a value is no directory
  EXPECT_TRUE(s->OpenDir("\\x\\y", false));
  EXPECT_EQ(s->ReadString("value", ""), "kept");
  ASSERT_TRUE(s->OpenDir("\\x", false));
  EXPECT_TRUE(s->DeleteDir("y"));  // relative
  EXPECT_EQ(s->GetCurrentDir(), "x");
  EXPECT_TRUE(s->ReadSubDirNames().empty());
}

TEST(CompoundStorageMapping, EveryUseSeesTheTreeAsItIsNowWhereverTheLastOneWent) {
  // Each case leaves the current directory somewhere, changes the tree or the path mapping, and reads back.
  auto s = Doc("");
  ASSERT_TRUE(s->OpenDir("\\a\\b\\c", true));
  s->WriteString("v", "abc");
  ASSERT_TRUE(s->OpenDir("\\a", false));
  ASSERT_TRUE(s->OpenDir("B\\C", false));  // another spelling of the same directory
  EXPECT_EQ(s->ReadString("v", ""), "abc");

  // The directory just walked is deleted from above and made again: it is empty.
  ASSERT_TRUE(s->OpenDir("\\a", false));
  EXPECT_TRUE(s->DeleteDir("b"));
  EXPECT_FALSE(s->OpenDir("b\\c", false));
  EXPECT_FALSE(s->DirExists("\\a\\b\\c"));
  ASSERT_TRUE(s->OpenDir("b\\c", true));
  EXPECT_EQ(s->ReadString("v", "new"), "new");
  s->WriteString("v", "again");

  // Deleting the current directory's storage as a value of its parent.
  ASSERT_TRUE(s->OpenDir("\\a", false));
  EXPECT_TRUE(s->DeleteValue("b"));
  EXPECT_FALSE(s->DirExists("\\a\\b"));
  ASSERT_TRUE(s->OpenDir("\\a\\b\\c", true));
  EXPECT_EQ(s->ReadString("v", "gone"), "gone");

  // A base directory moves every path below it, the current one included.
  s->WriteString("here", "1");
  s->SetBaseDir("base");
  EXPECT_EQ(s->ReadString("here", "elsewhere"), "elsewhere");
  s->WriteString("here", "2");
  s->SetBaseDir("");
  EXPECT_EQ(s->ReadString("here", ""), "1");
  TKVCompoundElement* moved = s->GetRootStorage().Find("base");
  ASSERT_NE(moved, nullptr);
  ASSERT_NE(moved->Find("a"), nullptr);

  // A new document under the same storage object.
  auto m = Memory();
  ASSERT_TRUE(m->OpenDir("\\x\\y", true));
  m->WriteString("v", "first");
  std::string image = m->GetImage();
  ASSERT_TRUE(m->OpenDir("\\x\\y\\z", true));
  m->WriteString("v", "later");
  m->SetImage(image);
  EXPECT_FALSE(m->DirExists("\\x\\y\\z"));
  ASSERT_TRUE(m->OpenDir("\\x\\y", false));
  EXPECT_EQ(m->ReadString("v", ""), "first");
}

TEST(CompoundStorageMapping, StoragesNestedThousandsDeepAreWalkedLevelByLevel) {
  const int depth = 5000;
  auto s = Memory();
  ASSERT_TRUE(s->OpenDir("\\", false));
  for (int i = 0; i < depth; ++i) {
    s->WriteString("level", std::to_string(i));
    ASSERT_TRUE(s->OpenDir("a", true));
  }
  std::string image = s->GetImage();
  auto back = Memory();
  back->SetImage(image);
  ASSERT_TRUE(back->OpenDir("\\", false));
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(back->ReadString("level", ""), std::to_string(i));
    ASSERT_EQ(back->ReadSubDirNames(), TKVStringArray{"a"});
    ASSERT_TRUE(back->OpenDir("a", false));
  }
  EXPECT_TRUE(back->ReadSubDirNames().empty());
  // Back up level by level, as a tree load returns to each level's directory ("a\\a\\...", two bytes a level).
  const std::string deepest = back->GetCurrentDir();
  ASSERT_EQ(deepest.size(), size_t{2} * depth - 1);
  for (int i = depth; i-- > 0;) {
    ASSERT_TRUE(back->OpenDir("\\" + deepest.substr(0, i ? size_t{2} * i - 1 : 0), false));
    ASSERT_EQ(back->ReadString("level", ""), std::to_string(i));
  }
}

// ===========================================================================================================

TEST(CompoundStorageFile, ANewFileIsCreatedOnFirstUseWithTheClassId) {
  TempDir dir;
  std::string file = dir.file("new.qxs");
  auto s = Doc(file);
  s->SetClassGUID(kDocClass);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(s->DirExists("\\anything"));
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_TRUE(LockedElsewhere(file));
  EXPECT_EQ(OnDisk(file)->ClassId(), kDocClass);
  EXPECT_EQ(OnDisk(file)->Root().Count(), 0u);

  ASSERT_NE(s->Query<IKVGetGUID>(), nullptr);
  EXPECT_EQ(s->Query<IKVGetGUID>()->GetGUID(), kDocClass);
  auto* setter = s->Query<IKVGetSetGUID>();
  ASSERT_NE(setter, nullptr);
  setter->SetGUID(kOtherClass);
  EXPECT_EQ(s->GetClassGUID(), kOtherClass);
  s->Commit();
  EXPECT_EQ(OnDisk(file)->ClassId(), kOtherClass);
  EXPECT_NE(s->Query<IKVStorage>(), nullptr);
}

TEST(CompoundStorageFile, OpeningAndReadingNeverRewritesTheFile) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  {
    auto s = Doc(file);
    s->SetClassGUID(kOtherClass);
    ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", true));
    s->WriteString("Title", "t");
    s->WriteString("Empty", "");
  }
  const std::string bytes = ReadFileBytes(file);
  const ino_t inode = Inode(file);
  {
    auto s = Doc(file);
    s->SetClassGUID(kDocClass);  // kept for new documents; opening does not stamp it on this one
    ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", false));
    EXPECT_EQ(s->ReadString("Title", ""), "t");
    s->WriteString("Title", "t");  // the same bytes again change nothing
    s->WriteString("Empty", "");
    EXPECT_FALSE(s->OpenDir("missing", false));
    EXPECT_FALSE(s->DeleteValue("missing"));
    EXPECT_FALSE(s->DeleteDir("\\missing"));
    s->ReadSubDirNames();
    s->Commit();
    EXPECT_EQ(s->GetDocument().ClassId(), kOtherClass);
  }
  EXPECT_EQ(ReadFileBytes(file), bytes);
  EXPECT_EQ(Inode(file), inode);

  // A change is written once, by replacing the file; a second commit finds nothing to write.
  auto s = Doc(file);
  ASSERT_TRUE(s->OpenDir("\\QXD", false));
  s->WriteString("changed", "1");
  s->Commit();
  const ino_t replaced = Inode(file);
  EXPECT_NE(replaced, inode);
  s->Commit();
  EXPECT_EQ(Inode(file), replaced);
  s->SetClassGUID(kDocClass);  // applied to the open document: a change
  s->Commit();
  EXPECT_NE(Inode(file), replaced);
  EXPECT_EQ(OnDisk(file)->ClassId(), kDocClass);
}

TEST(CompoundStorageFile, ADocumentIsOpenedExclusively) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  auto first = Doc(file);
  ASSERT_TRUE(first->OpenDir("\\d", true));
  first->WriteString("v", "1");
  first->Commit();

  auto second = Doc(file);
  TRaised r = Raised([&] { second->OpenDir("\\d", false); });
  EXPECT_EQ(r.Code, KV_STG_E_SHAREVIOLATION);
  EXPECT_TRUE(StartsWith(r.Message, "StgOpenStorage(\"" + file + "\")")) << r.Message;
  EXPECT_EQ(second->ReadString("v", "def"), "def");
  EXPECT_TRUE(LockedElsewhere(file));  // and from another process

  // The lock follows the file through the replacing commit.
  first->WriteString("v", "2");
  first->Commit();
  EXPECT_TRUE(LockedElsewhere(file));
  EXPECT_EQ(Raised([&] { second->DirExists("\\d"); }).Code, KV_STG_E_SHAREVIOLATION);

  first.reset();
  EXPECT_FALSE(LockedElsewhere(file));
  ASSERT_TRUE(second->OpenDir("\\d", false));
  EXPECT_EQ(second->ReadString("v", ""), "2");
}

TEST(CompoundStorageFile, ALockHeldByAnotherProcessKeepsTheDocumentOut) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  Doc(file)->DirExists("\\");  // creates it
  const std::string bytes = ReadFileBytes(file);
  {
    testsupport::ForeignLock other(file);
    ASSERT_TRUE(other.Locked());
    auto s = Doc(file);
    TRaised r = Raised([&] { s->OpenDir("\\x", true); });
    EXPECT_EQ(r.Code, KV_STG_E_SHAREVIOLATION);
    EXPECT_TRUE(StartsWith(r.Message, "StgOpenStorage(\"" + file + "\")")) << r.Message;
  }
  EXPECT_EQ(ReadFileBytes(file), bytes);
  auto s = Doc(file);
  EXPECT_TRUE(s->OpenDir("\\x", true));
}

TEST(CompoundStorageFile, AFailedCommitLeavesThePreviousFileWhole) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  auto s = Doc(file);
  ASSERT_TRUE(s->OpenDir("\\d", true));
  s->WriteString("small", "before");
  s->Commit();
  ASSERT_EQ(chmod(file.c_str(), 0604), 0);
  const std::string bytes = ReadFileBytes(file);

  s->WriteString("large", std::string(300000, 'L'));
  TRaised r;
  {
    testsupport::FileSizeLimit full(64 * 1024);
    r = Raised([&] { s->Commit(); });
  }
  EXPECT_EQ(r.Code, KV_STG_E_MEDIUMFULL);
  EXPECT_TRUE(StartsWith(r.Message, "Commit")) << r.Message;
  EXPECT_EQ(ReadFileBytes(file), bytes);
  EXPECT_EQ(FilesIn(dir), 1u);  // no temporary file left behind
  EXPECT_TRUE(LockedElsewhere(file));

  // The changes are still there, and the next commit succeeds, keeping the permission bits.
  s->Commit();
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(OnDisk(file)->Root().Find("d")->Find("large")->Data().size(), 300000u);

  // Closing commits too; when that fails the object still goes away quietly and the file stays whole.
  s->WriteString("lost", std::string(300000, 'X'));
  const std::string committed = ReadFileBytes(file);
  {
    testsupport::FileSizeLimit full(64 * 1024);
    EXPECT_NO_THROW(s.reset());
  }
  EXPECT_EQ(ReadFileBytes(file), committed);
  EXPECT_FALSE(LockedElsewhere(file));
}

TEST(CompoundStorageFile, AFileThatCannotBeWrittenIsOpenedReadOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string file = dir.file("doc.qxs");
  {
    auto s = Doc(file);
    ASSERT_TRUE(s->OpenDir("\\d", true));
    s->WriteString("v", "1");
  }
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  const std::string bytes = ReadFileBytes(file);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    int code = 0;
    {
      auto s = Doc(file);
      if (!s->OpenDir("\\d", false) || s->ReadString("v", "") != "1") code = 3;
      s->WriteString("v", "2");
      if (s->ReadString("v", "") != "2") code = 4;
      TRaised r = Raised([&] { s->Commit(); });
      if (r.Code != KV_STG_E_ACCESSDENIED || !StartsWith(r.Message, "Commit")) code = 5;
      if (!s->GetDocument().ReadOnly()) code = 6;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFileBytes(file), bytes);
}

TEST(CompoundStorageFile, SetFileNameClosesTheOldDocument) {
  TempDir dir;
  std::string a = dir.file("a.qxs"), b = dir.file("b.qxs");
  auto s = Doc(a);
  ASSERT_TRUE(s->OpenDir("\\d", true));
  s->WriteString("v", "in a");

  s->SetFileName(dir.file("A.QXS"));  // the same name to this comparison: nothing happens
  EXPECT_EQ(s->GetFileName(), a);
  EXPECT_TRUE(LockedElsewhere(a));
  EXPECT_EQ(s->GetCurrentDir(), "d");

  s->SetFileName(b);
  EXPECT_EQ(s->GetFileName(), b);
  EXPECT_FALSE(LockedElsewhere(a));
  EXPECT_EQ(OnDisk(a)->Root().Find("d")->Find("v")->Data(), "in a");
  EXPECT_EQ(s->GetCurrentDir(), "");
  EXPECT_FALSE(std::filesystem::exists(b));  // opened lazily
  EXPECT_FALSE(s->DirExists("\\d"));
  EXPECT_TRUE(std::filesystem::exists(b));
}

TEST(CompoundStorageFile, FilesThatCannotBeOpenedRaiseWithTheirCode) {
  TempDir dir;
  std::string damaged = dir.file("damaged.qxs");
  WriteFileBytes(damaged, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(2000, 'x'));
  const std::string bytes = ReadFileBytes(damaged);
  auto s = Doc(damaged);
  TRaised r = Raised([&] { s->OpenDir("\\d", true); });
  EXPECT_EQ(r.Code, KV_STG_E_INVALIDHEADER);
  EXPECT_TRUE(StartsWith(r.Message, "StgOpenStorage(\"" + damaged + "\")")) << r.Message;
  EXPECT_EQ(s->ReadString("v", "def"), "def");
  s.reset();
  EXPECT_EQ(ReadFileBytes(damaged), bytes);
  EXPECT_FALSE(LockedElsewhere(damaged));

  std::string text = dir.file("text.qxs");
  WriteFileBytes(text, "[Section]\nKey=Value\n");
  r = Raised([&] { Doc(text)->OpenDir("\\x", true); });
  EXPECT_EQ(r.Code, KV_STG_E_INVALIDHEADER);
  EXPECT_EQ(ReadFileBytes(text), "[Section]\nKey=Value\n");

  std::string nowhere = dir.file("missing/folder/doc.qxs");
  r = Raised([&] { Doc(nowhere)->OpenDir("\\x", true); });
  EXPECT_EQ(r.Code, KV_STG_E_FILENOTFOUND);
  EXPECT_TRUE(StartsWith(r.Message, "StgCreateDocfile(\"" + nowhere + "\")")) << r.Message;

  r = Raised([&] { Doc(dir.path().string())->OpenDir("\\x", true); });
  EXPECT_EQ(r.Code, KV_STG_E_ACCESSDENIED);
  EXPECT_TRUE(StartsWith(r.Message, "StgOpenStorage(")) << r.Message;
}

TEST(CompoundStorageFile, WithoutAFileNameTheDocumentLivesInMemory) {
  TempDir dir;
  auto s = Doc("");
  ASSERT_TRUE(s->OpenDir("\\d", true));
  s->WriteString("v", "1");
  s->Commit();
  EXPECT_FALSE(s->GetDocument().HasFile());
  EXPECT_EQ(s->ReadString("v", ""), "1");
  EXPECT_EQ(FilesIn(dir), 0u);
}

// ===========================================================================================================

TEST(CompoundStorageMemory, TheImageIsTheFileTheSameTreeGives) {
  TempDir dir;
  std::string file = dir.file("doc.qxs");
  auto fill = [](TKVCompoundDocStorage& s) {
    s.SetClassGUID(kDocClass);
    ASSERT_TRUE(s.OpenDir("\\QXD\\.\\00000", true));
    s.WriteString("Title", "New Source Database");
    s.WriteString("Empty", "");
    s.WriteString("Big", std::string(5000, 'z'));
    ASSERT_TRUE(s.OpenDir("\\GeneralSettings", true));
    s.WriteString("DataFormatGUID", kDocClass.ToString());
  };
  auto m = Memory();
  fill(*m);
  {
    auto f = Doc(file);
    fill(*f);
  }
  std::string image = m->GetImage();
  EXPECT_EQ(image, ReadFileBytes(file));
  TKVCompoundFile back;
  back.LoadImage(image);
  EXPECT_EQ(back.ClassId(), kDocClass);
  EXPECT_EQ(back.Root().Find("QXD")->Find(".")->Find("00000")->Find("Title")->Data(), "New Source Database");

  // The image opens in another memory storage with the same tree, and gives the same bytes again.
  auto copy = Memory();
  copy->SetImage(image);
  ASSERT_TRUE(copy->OpenDir("\\QXD\\.\\00000", false));
  EXPECT_EQ(copy->ReadString("Empty", "def"), "");
  EXPECT_EQ(copy->ReadString("Big", "").size(), 5000u);
  EXPECT_EQ(copy->GetImage(), image);
  EXPECT_EQ(copy->GetDocument().ClassId(), kDocClass);
}

TEST(CompoundStorageMemory, SetImageReplacesTheDocumentAndBadImagesRaiseOnUse) {
  auto m = Memory();
  ASSERT_TRUE(m->OpenDir("\\old", true));
  m->WriteString("v", "old");

  m->SetImage("not a compound file");
  EXPECT_EQ(m->GetCurrentDir(), "");
  for (int attempt = 0; attempt < 2; ++attempt) {
    TRaised r = Raised([&] { m->OpenDir("\\old", false); });
    EXPECT_EQ(r.Code, KV_STG_E_INVALIDHEADER);
    EXPECT_TRUE(StartsWith(r.Message, "RootStorage")) << r.Message;
  }
  EXPECT_EQ(m->ReadString("v", "def"), "def");

  auto source = Memory();
  ASSERT_TRUE(source->OpenDir("\\new", true));
  source->WriteString("v", "new");
  m->SetImage(source->GetImage());
  EXPECT_FALSE(m->DirExists("\\old"));
  ASSERT_TRUE(m->OpenDir("\\new", false));
  EXPECT_EQ(m->ReadString("v", ""), "new");
}

TEST(CompoundStorageMemory, ANewMemoryDocumentCarriesTheClassIdAndNeverTouchesFiles) {
  TempDir dir;
  auto m = Memory();
  m->SetClassGUID(kDocClass);
  m->SetFileName(dir.file("ignored.qxs"));
  EXPECT_EQ(m->GetFileName(), dir.file("ignored.qxs"));
  ASSERT_TRUE(m->OpenDir("\\d", true));
  m->WriteString("v", "1");
  m->Commit();
  TKVCompoundFile back;
  back.LoadImage(m->GetImage());
  EXPECT_EQ(back.ClassId(), kDocClass);
  EXPECT_EQ(back.Root().Find("d")->Find("v")->Data(), "1");
  m.reset();
  EXPECT_EQ(FilesIn(dir), 0u);

  auto empty = Memory();
  TKVCompoundFile blank;
  blank.LoadImage(empty->GetImage());
  EXPECT_EQ(blank.Root().Count(), 0u);
  EXPECT_TRUE(blank.ClassId().IsNull());
}

TEST(CompoundStorageMemory, StorageClassesCreateTheirObjects) {
  EXPECT_STREQ(KVCompoundDocStorageClass.Name, "TKVCompoundDocStorage");
  EXPECT_STREQ(KVMemoryDocStorageClass.Name, "TKVMemoryDocStorage");
  std::recursive_mutex owner;
  TKVRef<TKVStorageBase> c = KVCompoundDocStorageClass.Create(&owner, 0, "Base", "");
  TKVRef<TKVStorageBase> m = KVMemoryDocStorageClass.Create(nullptr, 0, "", "");
  EXPECT_EQ(c->StorageClass(), &KVCompoundDocStorageClass);
  EXPECT_EQ(m->StorageClass(), &KVMemoryDocStorageClass);
  EXPECT_EQ(c->ClassName(), "TKVCompoundDocStorage");
  EXPECT_EQ(&c->CriticalSection(), &owner);
  EXPECT_EQ(c->GetBaseDir(), "Base");
  EXPECT_NE(dynamic_cast<TKVMemoryDocStorage*>(m.get()), nullptr);
  EXPECT_NE(m->Query<IKVGetSetGUID>(), nullptr);
}

}  // namespace
