// One suite of storage behaviour, run against every storage class: whatever a document or the settings do
// through the storage interfaces must behave the same in the text, the binary and the in-memory format.
#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <map>

#include "foundation/KVDateTime.h"
#include "foundation/KVExceptions.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVIniFileStorage.h"
#include "storage/KVPersistentData.h"
#include "support/TestSupport.h"

namespace {

struct StorageKind {
  const char* Name;
  TKVStorageClass Class;
  const char* Extension;  // empty: lives in memory, no file
};

const StorageKind kKinds[] = {
    {"Text", &KVIniFileStorageClass, ".qxt"},
    {"Compound", &KVCompoundDocStorageClass, ".qxs"},
    {"Memory", &KVMemoryDocStorageClass, ""},
};

class StorageConformance : public testing::TestWithParam<StorageKind> {
 protected:
  std::string FileName(const std::string& stem = "doc") const {
    return *GetParam().Extension ? dir.file(stem + GetParam().Extension) : std::string();
  }
  TKVRef<TKVPersistentData> Open(const std::string& stem = "doc") const {
    return KVMakeRef<TKVPersistentData>(GetParam().Class, FileName(stem));
  }
  bool HasFile() const { return *GetParam().Extension != 0; }

  testsupport::TempDir dir;
};

TEST_P(StorageConformance, PathsNameTheSameDirectoryWhateverTheSeparators) {
  auto s = Open();
  ASSERT_TRUE(s->OpenDir("a/b", true));
  s->WriteString("v", "1");
  EXPECT_EQ(s->GetCurrentDir(), "a\\b");
  ASSERT_TRUE(s->OpenDir("\\", false));
  ASSERT_TRUE(s->OpenDir("\\a\\b\\", false));
  EXPECT_EQ(s->ReadString("v", "?"), "1");
  ASSERT_TRUE(s->OpenDir("/a//b", false));
  EXPECT_EQ(s->GetCurrentDir(), "a\\b");
  EXPECT_EQ(s->ReadString("v", "?"), "1");
  ASSERT_TRUE(s->OpenDir("\\a", false));
  ASSERT_TRUE(s->OpenDir("b", false));  // relative
  EXPECT_EQ(s->GetCurrentDir(), "a\\b");

  // "." is an ordinary element name, as the document tree layout needs.
  ASSERT_TRUE(s->OpenDir("\\x", true));
  ASSERT_TRUE(s->OpenDir(".", true));
  EXPECT_EQ(s->GetCurrentDir(), "x\\.");
  s->WriteString("dot", "yes");
  EXPECT_TRUE(s->DirExists("\\x\\."));
  EXPECT_FALSE(s->DirExists("\\x\\.\\.."));
  EXPECT_EQ(s->GetCurrentDir(), "x\\.");
}

TEST_P(StorageConformance, MissingDirectoriesAndValuesGiveDefaultsAndChangeNothing) {
  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\present", true));
  s->WriteString("v", "1");
  EXPECT_FALSE(s->OpenDir("\\absent\\deeper", false));
  EXPECT_EQ(s->GetCurrentDir(), "present");
  EXPECT_FALSE(s->DirExists("\\absent"));
  EXPECT_EQ(s->ReadString("nothing", "dflt"), "dflt");
  EXPECT_EQ(s->ReadInteger("nothing", 42), 42);
  EXPECT_FALSE(s->DeleteValue(""));
  EXPECT_FALSE(s->DeleteDir(""));
  EXPECT_FALSE(s->DeleteDir("\\absent"));
  EXPECT_THROW(s->SetRootKey(5), EKVException);
  try {
    s->SetRootKey(5);
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "Invalid Root Key \"5\"");
    EXPECT_EQ(e.GetRoutineName(), "SetRootKey");
  }
}

TEST_P(StorageConformance, TypedValuesReadBackAndElideTheirDefaults) {
  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\t", true));
  KVWriteIntegerIfDiffers(*s, "int", 7, 0);
  EXPECT_EQ(s->ReadString("int", ""), "7");
  KVWriteIntegerIfDiffers(*s, "int", 0, 0);
  EXPECT_EQ(s->ReadString("int", "missing"), "missing");
  EXPECT_EQ(s->ReadInteger("int", 0), 0);

  s->WriteInt64("big", -9223372036854775807LL - 1);
  EXPECT_EQ(s->ReadInt64("big", 0), -9223372036854775807LL - 1);
  s->WriteString("hex", "$FF");
  EXPECT_EQ(s->ReadInteger("hex", 0), 255);
  s->WriteString("junk", "12abc");
  EXPECT_EQ(s->ReadInteger("junk", -3), -3);

  for (const char* yes : {"Yes", "wahr", "Si", "1", "true", "Q"}) {
    s->WriteString("b", yes);
    EXPECT_TRUE(s->ReadBoolean("b", false)) << yes;
  }
  for (const char* no : {"no", "0", "false", "x"}) {
    s->WriteString("b", no);
    EXPECT_FALSE(s->ReadBoolean("b", true)) << no;
  }
  s->WriteString("b", "");
  EXPECT_FALSE(s->ReadBoolean("b", true));  // a stored empty text is a value, not a missing one
  KVWriteBooleanIfDiffers(*s, "elided", true, true);
  EXPECT_TRUE(s->ReadValueNames().size() >= 1);
  EXPECT_EQ(s->ReadString("elided", "gone"), "gone");

  double when;
  ASSERT_TRUE(KVTryEncodeDateTime({2024, 2, 29, 23, 59, 58, 0}, when));
  s->WriteDateTime("when", when);
  EXPECT_EQ(s->ReadString("when", ""), "29.02.2024 23:59:58");
  EXPECT_DOUBLE_EQ(s->ReadDateTime("when", 0), when);

  s->WriteDouble("d", 123456.789);
  EXPECT_EQ(s->ReadString("d", ""), "123456.789");
  EXPECT_DOUBLE_EQ(s->ReadDouble("d", 0), 123456.789);
  s->WriteString("d", "2,5");  // written on a machine whose decimal separator is a comma
  EXPECT_DOUBLE_EQ(s->ReadDouble("d", 0), 2.5);
}

TEST_P(StorageConformance, DoublesAndDatesIgnoreTheProcessLocale) {
  const char* comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"})
    if (std::setlocale(LC_ALL, name)) {
      comma = name;
      break;
    }
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma installed";
  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\t", true));
  s->WriteDouble("d", 2.5);
  s->WriteVariant("v", TKVVariant::FromDouble(0.125));
  std::string d = s->ReadString("d", ""), v = s->ReadString("v", "");
  double back = s->ReadDouble("d", 0);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(d, "2.5");
  EXPECT_EQ(v, "5,0.125");
  EXPECT_DOUBLE_EQ(back, 2.5);
}

TEST_P(StorageConformance, VariantsKeepTheirTypeAndValue) {
  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\v", true));
  s->WriteVariant("empty", TKVVariant());
  s->WriteVariant("null", TKVVariant::Null());
  EXPECT_EQ(s->ReadString("empty", ""), "0,<None>");
  EXPECT_EQ(s->ReadString("null", ""), "1,NULL");
  EXPECT_TRUE(s->ReadVariant("empty", TKVVariant::FromInt32(1)).IsEmpty());
  EXPECT_TRUE(s->ReadVariant("null", TKVVariant::FromInt32(1)).IsNull());

  std::vector<TKVVariant> values = {
      TKVVariant::FromInt32(-17),      TKVVariant::FromInt16(300),  TKVVariant::FromDouble(0.1),
      TKVVariant::FromBoolean(true),   TKVVariant::FromString("Grüße, \"quoted\" text"),
      TKVVariant::FromInt64(1LL << 40), TKVVariant::FromUInt8(200),
      TKVVariant::FromBytes({0, 1, 0xFE, 0xFF}), TKVVariant::FromWideString(u"wide \u00e9")};
  double when;
  ASSERT_TRUE(KVTryEncodeDateTime({1999, 12, 31, 12, 30, 15, 0}, when));
  values.push_back(TKVVariant::FromDateTime(when));
  for (size_t i = 0; i < values.size(); ++i) {
    std::string name = "v" + std::to_string(i);
    s->WriteVariant(name, values[i]);
    TKVVariant back = s->ReadVariant(name, TKVVariant());
    EXPECT_EQ(back.VarType(), values[i].VarType()) << name << " " << s->ReadString(name, "");
    EXPECT_TRUE(back == values[i]) << name << " " << s->ReadString(name, "");
  }
  // Without a type prefix the default's type applies; an unconvertible text gives the default.
  s->WriteString("plain", "123");
  EXPECT_EQ(s->ReadVariant("plain", TKVVariant::FromInt32(0)).VarType(), varInteger);
  s->WriteString("bad", "3,abc");
  EXPECT_EQ(s->ReadVariant("bad", TKVVariant::FromInt32(9)).AsInt32(), 9);
}

TEST_P(StorageConformance, ValuesKeepWhitespaceAndNonAsciiLetters) {
  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000", true));
  const std::string titles[] = {" leading blank", "tab\there", "line\r\nbreaks\n", "Москва Днепр",
                                "Ðóð ÐÞ ð", "Thaana ހ lead", "日本語 タイトル", "emoji 😀 end", ""};
  for (size_t i = 0; i < std::size(titles); ++i) s->WriteString("Title" + std::to_string(i), titles[i]);
  s->Commit();
  s.reset();
  auto again = Open();
  if (!HasFile()) GTEST_SKIP() << "memory storage does not outlive its object";
  ASSERT_TRUE(again->OpenDir("\\QXD\\.\\00000", false));
  for (size_t i = 0; i < std::size(titles); ++i)
    EXPECT_EQ(again->ReadString("Title" + std::to_string(i), "?"), titles[i]) << i;
}

TEST_P(StorageConformance, DeleteDirRemovesTheWholeSubtreeOnly) {
  auto s = Open();
  for (const char* d : {"\\QXD\\.\\00000", "\\QXD\\.\\00001", "\\QXDX", "\\Other"}) {
    ASSERT_TRUE(s->OpenDir(d, true));
    s->WriteString("v", d);
  }
  ASSERT_TRUE(s->OpenDir("\\", false));
  EXPECT_TRUE(s->DeleteDir("\\QXD"));
  EXPECT_FALSE(s->DirExists("\\QXD"));
  EXPECT_FALSE(s->DirExists("\\QXD\\.\\00000"));
  EXPECT_TRUE(s->DirExists("\\QXDX"));
  EXPECT_TRUE(s->DirExists("\\Other"));
  EXPECT_FALSE(s->DeleteDir("\\QXD"));
}

TEST_P(StorageConformance, PersistentValuesUseTheirDirectoryAndDefault) {
  auto s = Open();
  s->DefineValue(1, "GeneralSettings", TKVVariant::FromString(""), "DataFormatGUID");
  s->DefineValue(4, "\\GeneralSettings\\", TKVVariant::FromBoolean(false), "ReportFormVisible");
  s->DefineValue(9, "Window", TKVVariant::FromInt32(100), "Width");
  try {
    s->DefineValue(9, "Other", TKVVariant::FromInt32(0), "Other");
    ADD_FAILURE() << "second definition accepted";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "A Value with Id 9 already exists");
  }
  try {
    s->GetValue(77);
    ADD_FAILURE() << "unknown id read";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "No Value with Id 77");
    EXPECT_EQ(e.GetRoutineName(), "ValueNotExists");
  }
  ASSERT_TRUE(s->OpenDir("\\elsewhere", true));
  EXPECT_EQ(s->GetValue(9).AsInt32(), 100);
  s->SetValue(9, TKVVariant::FromInt32(640));
  s->SetValue(4, TKVVariant::FromBoolean(true));
  s->SetValue(1, TKVVariant::FromString("{C1CE532E-C8F3-4cc4-915D-B90F532B3B19}"));
  EXPECT_EQ(s->GetCurrentDir(), "elsewhere");
  EXPECT_EQ(s->GetValue(9).AsInt32(), 640);
  EXPECT_EQ(s->GetValue(9).VarType(), varInteger);
  EXPECT_TRUE(s->GetValue(4).AsBoolean());
  ASSERT_TRUE(s->OpenDir("\\GeneralSettings", false));
  EXPECT_EQ(s->ReadString("ReportFormVisible", ""), "1");
  s->SetValue(4, TKVVariant::FromBoolean(false));  // back to the default: the value disappears
  EXPECT_EQ(s->ReadString("ReportFormVisible", "gone"), "gone");
}

// A small tree of named nodes with children, as the definition tree will be.
struct TestNode : IKVVsdTreeNode, IKVLoadStoreData {
  std::string Title;
  std::vector<std::unique_ptr<TestNode>> Children;
  TestNode* Parent = nullptr;
  TestNode* Next = nullptr;

  TestNode* Add(const std::string& title) {
    Children.push_back(std::make_unique<TestNode>());
    TestNode* c = Children.back().get();
    c->Title = title;
    c->Parent = this;
    if (Children.size() > 1) Children[Children.size() - 2]->Next = c;
    return c;
  }
  // Deep test trees are freed level by level, not by recursion.
  ~TestNode() override {
    std::vector<std::unique_ptr<TestNode>> pending = std::move(Children);
    while (!pending.empty()) {
      std::unique_ptr<TestNode> n = std::move(pending.back());
      pending.pop_back();
      for (auto& c : n->Children) pending.push_back(std::move(c));
      n->Children.clear();
    }
  }
  IKVVsdTreeNode* FirstChild() override { return Children.empty() ? nullptr : Children[0].get(); }
  IKVVsdTreeNode* NextSibling() override { return Next; }
  IKVLoadStoreData* LoadStore() override { return this; }
  void LoadData(IKVStorage& s) override { Title = s.ReadString("Title", ""); }
  void StoreData(IKVStorage& s) override { s.WriteString("Title", Title); }
  std::string Shape() const {
    std::string r = Title;
    if (!Children.empty()) {
      r += "(";
      for (auto& c : Children) r += c->Shape() + (c.get() == Children.back().get() ? "" : ",");
      r += ")";
    }
    return r;
  }
};

struct TestFactory : IKVVsdTreeNodeFactory {
  TestNode Root;
  IKVVsdTreeNode* CreateNode(IKVVsdTreeNode* parent, IKVStorage&) override {
    TestNode* p = parent ? static_cast<TestNode*>(parent) : &Root;
    return p->Add("");
  }
};

TEST_P(StorageConformance, TreesStoreInPreOrderNumberedDirectoriesAndLoadBack) {
  TestNode root;
  TestNode* a = root.Add("A");
  a->Add("A1")->Add("A1x");
  a->Add("A2");
  root.Add("B");
  for (int i = 0; i < 12; ++i) root.Add("C" + std::to_string(i));  // more than ten siblings keeps order

  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\QXD", true));
  int counter = 0;
  KVVsdStoreTree(*s, root.FirstChild(), counter, true);
  EXPECT_EQ(counter, 17);
  EXPECT_EQ(s->GetCurrentDir(), "QXD");
  ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00000\\.\\00001\\.\\00002", false));
  EXPECT_EQ(s->ReadString("Title", ""), "A1x");
  ASSERT_TRUE(s->OpenDir("\\QXD\\.\\00004", false));
  EXPECT_EQ(s->ReadString("Title", ""), "B");

  ASSERT_TRUE(s->OpenDir("\\QXD", false));
  TestFactory factory;
  KVVsdLoadTree(*s, nullptr, factory, ".");
  EXPECT_EQ(factory.Root.Shape(), root.Shape());
  EXPECT_EQ(s->GetCurrentDir(), "QXD");
}

TEST_P(StorageConformance, TreesNestedDeepAndWideStoreCopyAndLoadBack) {
  // The text format repeats every ancestor's path in each section name, so its files grow with the square of
  // the depth: it is taken less deep.
  const int depth = HasFile() && GetParam().Class == &KVIniFileStorageClass ? 300 : 3000;
  const int width = 1000;
  TestNode root;
  TestNode* bottom = &root;
  for (int i = 0; i < depth; ++i) bottom = bottom->Add("n" + std::to_string(i));
  for (int i = 0; i < width; ++i) bottom->Add("w" + std::to_string(i));

  auto s = Open();
  ASSERT_TRUE(s->OpenDir("\\QXD", true));
  int counter = 0;
  KVVsdStoreTree(*s, root.FirstChild(), counter, true);
  EXPECT_EQ(counter, depth + width);
  EXPECT_EQ(s->GetCurrentDir(), "QXD");
  s->Commit();
  if (HasFile()) {
    s.reset();
    s = Open();
  }
  // Loaded from the file, and from a copy in every other class.
  std::vector<TKVRef<TKVPersistentData>> sources{s};
  for (const auto& target : kKinds) {
    if (target.Class == GetParam().Class) continue;
    std::string targetFile = *target.Extension ? dir.file(std::string("copy") + target.Extension) : "";
    if (target.Class == &KVIniFileStorageClass && depth > 300) continue;  // see above
    auto copy = KVMakeRef<TKVPersistentData>(target.Class, targetFile);
    KVVsdCopyTree(*s, *copy, "\\");
    sources.push_back(copy);
  }
  for (auto& source : sources) {
    SCOPED_TRACE(source->Storage().ClassName());
    ASSERT_TRUE(source->OpenDir("\\QXD", false));
    TestFactory factory;
    KVVsdLoadTree(*source, nullptr, factory, ".");
    EXPECT_EQ(source->GetCurrentDir(), "QXD");
    const TestNode* n = &factory.Root;
    for (int i = 0; i < depth; ++i) {
      ASSERT_EQ(n->Children.size(), 1u) << "level " << i;
      n = n->Children[0].get();
      ASSERT_EQ(n->Title, "n" + std::to_string(i));
    }
    ASSERT_EQ(n->Children.size(), static_cast<size_t>(width));
    for (int i = 0; i < width; ++i) ASSERT_EQ(n->Children[i]->Title, "w" + std::to_string(i));
  }
}

TEST_P(StorageConformance, CopyTreeIntoEveryOtherClassKeepsEveryString) {
  auto source = Open("source");
  const std::map<std::string, std::map<std::string, std::string>> content = {
      {"GeneralSettings", {{"DataFormatGUID", "{C1CE532E-C8F3-4cc4-915D-B90F532B3B19}"}}},
      {"QXD\\.\\00000", {{"Title", "New Source Database"}, {"DataClassName", "TQXDSourceConnectionData"}}},
      {"QXD\\.\\00000\\.\\00001", {{"Title", "Ünïcode\ttab"}, {"empty", ""}}},
      {"Schemata\\deep\\er\\still", {{"x", "y"}}}};
  for (auto& [dir, values] : content) {
    ASSERT_TRUE(source->OpenDir("\\" + dir, true));
    for (auto& [n, v] : values) source->WriteString(n, v);
  }
  for (const auto& target : kKinds) {
    SCOPED_TRACE(target.Name);
    std::string targetFile = *target.Extension ? dir.file(std::string("copy") + target.Extension) : "";
    auto copy = KVMakeRef<TKVPersistentData>(target.Class, targetFile);
    KVVsdCopyTree(*source, *copy, "\\");
    for (auto& [d, values] : content) {
      ASSERT_TRUE(copy->OpenDir("\\" + d, false)) << d;
      for (auto& [n, v] : values) {
        // Empty strings are not copied: in every class a missing value reads as its default.
        EXPECT_EQ(copy->ReadString(n, "<missing>"), v.empty() ? "<missing>" : v) << d << " " << n;
      }
    }
  }
}

TEST_P(StorageConformance, SwitchStorageWithCopyMovesTheDocumentIntoTheNewFile) {
  auto s = KVMakeRef<TKVPersistentData>(&KVMemoryDocStorageClass, "");
  ASSERT_TRUE(s->OpenDir("\\Schemata\\page", true));
  s->WriteString("Title", "kept schema");
  if (!HasFile()) GTEST_SKIP();
  std::string target = FileName("saved");
  s->SwitchStorage(target, GetParam().Class, true);
  EXPECT_EQ(s->GetFileName(), target);
  EXPECT_EQ(s->StorageClass(), GetParam().Class);
  s->Commit();
  s.reset();
  auto reopened = KVMakeRef<TKVPersistentData>(GetParam().Class, target);
  ASSERT_TRUE(reopened->OpenDir("\\Schemata\\page", false));
  EXPECT_EQ(reopened->ReadString("Title", ""), "kept schema");
}

// Saving under another name copies everything but the part the caller writes anew: that directory and
// everything below it stay behind, and only they (a name that merely begins the same is another directory).
TEST_P(StorageConformance, SwitchStorageLeavingOutADirectoryCopiesEverythingElse) {
  if (!HasFile()) GTEST_SKIP();
  auto s = Open("source");
  for (const char* dir : {"QXD", "QXD\\.\\00000", "QXDX", "QXD.x", "Schemata\\QXD", "Other"}) {
    ASSERT_TRUE(s->OpenDir(std::string("\\") + dir, true));
    s->WriteString("v", dir);
  }
  const std::string target = FileName("saved");
  s->SwitchStorageLeavingOut(target, GetParam().Class, "\\qxd\\");
  s->Commit();
  s.reset();
  auto saved = KVMakeRef<TKVPersistentData>(GetParam().Class, target);
  EXPECT_FALSE(saved->DirExists("\\QXD"));
  EXPECT_FALSE(saved->DirExists("\\QXD\\.\\00000"));
  for (const char* dir : {"QXDX", "QXD.x", "Schemata\\QXD", "Other"}) {
    ASSERT_TRUE(saved->OpenDir(std::string("\\") + dir, false)) << dir;
    EXPECT_EQ(saved->ReadString("v", ""), dir);
  }
}

INSTANTIATE_TEST_SUITE_P(AllClasses, StorageConformance, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<StorageKind>& i) { return std::string(i.param.Name); });

}  // namespace
