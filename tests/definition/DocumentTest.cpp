#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "definition/QXDocument.h"
#include "definition/QXSettings.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVIniFileStorage.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

// A document as a user's editor would write it by hand, following the layout: every node kind, values
// off their defaults, enumerations out of range, a class this program does not know, a function whose
// plug-in is not loaded, and directories the document does not manage itself.
const char* kHandWritten =
    "\n\r\n"
    "[GeneralSettings]\n"
    "DataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\n"
    "ReportFormVisible=1\n"
    "[QXD]\n"
    "SelectedNodeIdx=4\n"
    "VScrollPos=12\n"
    "HScrollPos=3\n"
    "[QXD\\.\\00000]\n"
    "DataClassName=tqxdsourceconnectiondata\n"
    "State=34\n"
    "Title=Shop\n"
    "[QXD\\.\\00000\\ConnectProperties]\n"
    "ConnectionString=Driver=SQLite3;Database=shop.db\n"
    "[QXD\\.\\00000\\.\\00001]\n"
    "DataClassName=TQXDSourceTableData\n"
    "Title=customers\n"
    "MaxRecordsToRead=50\n"
    "[QXD\\.\\00000\\.\\00001\\RecordsetProperties]\n"
    "SQL=SELECT * FROM customers\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002]\n"
    "DataClassName=TQXDDestConnectionData\n"
    "Title=Warehouse\n"
    "Checked=0\n"
    "TransactionSize=1000\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003]\n"
    "DataClassName=TQXDDestRSData\n"
    "Title=clients\n"
    "AlwaysInsertNewRecord=0\n"
    "EditRecordIfExists=1\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004]\n"
    "DataClassName=TQXDDestFieldData\n"
    "Title=client_id\n"
    "DestFieldname=client_id\n"
    "SourceRecordsetFieldname=id\n"
    "FieldValueorigin=5\n"
    "LocateWithValue=1\n"
    "MatchKind=-1\n"
    "AssignMode=7\n"
    "MatchCase=1\n"
    "FixedValue=none\n"
    "IgnoreRecordIfNULL=1\n"
    "AssignValueWhenEditing=0\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00005]\n"
    "DataClassName=TQXDFieldFuncData\n"
    "Title=Trim both\n"
    "FunctionId={0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\n"
    "Argument000=3,42\n"
    "Argument001=8,left\n"
    "[QXD\\.\\00006]\n"
    "DataClassName=TQXDFutureNodeData\n"
    "Title=From a later version\n"
    "ImageIdx=9\n"
    "[QXD\\.\\00006\\.\\00007]\n"
    "DataClassName=TQXDSourceConnectionData\n"
    "Title=Nested\n"
    "[Schemata\\Shop]\n"
    "Tables=customers,orders\n"
    "[WindowList\\00000]\n"
    "ClassName=TQXSchemaPagesDlg\n";

TKVTreeItem* Item(TQXDocument& doc, const std::string& path) {
  TKVTreeItem* item = QXDFindNodeByPath(doc.Tree(), path);
  EXPECT_NE(item, nullptr) << path;
  return item;
}

// Every directory and value of a storage, listed by name (letter case ignored), so that documents in the
// two formats compare line by line: values as a text storage reads them back, directories without any
// value below them left out (the binary format keeps empty directories, the text format cannot).
std::string Dump(IKVStorage& s) {
  auto sorted = [](TKVStringArray names) {
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return KVCompareText(a, b) < 0; });
    return names;
  };
  std::string values, below;
  for (const auto& name : sorted(s.ReadValueNames()))
    values += name + "=" + KVIniDecodeText(s.ReadString(name, "")) + "\n";
  for (const auto& sub : sorted(s.ReadSubDirNames())) {
    TKVVsdDirPathKeeper keeper(s, sub, false);
    if (keeper.Opened()) below += Dump(s);
  }
  if (values.empty() && below.empty()) return {};
  return "[" + s.GetCurrentDir() + "]\n" + values + below;
}

std::string DumpFile(const std::string& fileName) {
  auto data = KVMakeRef<TKVPersistentData>(TestFileFormat(fileName), fileName);
  KVVsdOpenDirAbsolute(*data, "", false);
  return Dump(*data);
}

TKVRef<TQXDocument> Load(const std::string& fileName) {
  auto doc = KVMakeRef<TQXDocument>();
  EXPECT_TRUE(doc->LoadFromFile(fileName));
  return doc;
}

TEST(QXDocument, HandWrittenTextDocumentLoadsEveryValueDefaultClampAndUnknownClass) {
  TempDir tmp;
  std::string file = tmp.file("shop.qxt");
  WriteFileBytes(file, kHandWritten);
  auto doc = Load(file);
  EXPECT_EQ(doc->FileName(), file);
  EXPECT_EQ(doc->Caption(), file);
  EXPECT_FALSE(doc->Modified());
  EXPECT_TRUE(doc->ReportFormVisible());
  EXPECT_FALSE(doc->FunctionFormVisible());
  ASSERT_EQ(doc->Tree().Count(), 8u);

  TKVTreeItem* shop = Item(*doc, "Shop");
  auto* source = shop->DataAs<TQXDSourceConnectionData>();  // class names match without regard to case
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(shop->State(), 0x20);  // the selected bit is not restored from a file
  EXPECT_EQ(source->Connection().Properties().ConnectionString(), "Driver=SQLite3;Database=shop.db");
  EXPECT_EQ(shop->ImageIndex(), 0);

  auto* customers = Item(*doc, "Shop.customers")->DataAs<TQXDSourceTableData>();
  ASSERT_NE(customers, nullptr);
  EXPECT_EQ(customers->MaxRecordsToRead(), 50);
  EXPECT_EQ(customers->TableName(), "customers");
  EXPECT_EQ(&customers->Recordset().Connection()->Properties(), &source->Connection().Properties());

  TKVTreeItem* warehouse = Item(*doc, "Shop.customers.Warehouse");
  auto* dest = warehouse->DataAs<TQXDDestConnectionData>();
  ASSERT_NE(dest, nullptr);
  EXPECT_EQ(dest->TransactionSize(), 1000);
  EXPECT_FALSE(dest->Checked());
  EXPECT_EQ(dest->StateImage(), 3);

  TKVTreeItem* clientsItem = Item(*doc, "Shop.customers.Warehouse.clients");
  auto* clients = clientsItem->DataAs<TQXDDestRSData>();
  ASSERT_NE(clients, nullptr);
  EXPECT_FALSE(clients->AlwaysInsertNewRecord());
  EXPECT_TRUE(clients->EditRecordIfExists());
  EXPECT_TRUE(clients->InsertRecordIfNotExists());
  EXPECT_FALSE(clients->AssertRecordExists());
  // Checked itself, but below an unchecked node.
  EXPECT_TRUE(clients->Checked());
  EXPECT_FALSE(clients->Active());
  EXPECT_EQ(clients->StateImage(), 4);

  TKVTreeItem* fieldItem = Item(*doc, "Shop.customers.Warehouse.clients.client_id");
  auto* field = fieldItem->DataAs<TQXDDestFieldData>();
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->DestFieldname(), "client_id");
  EXPECT_EQ(field->SourceRecordsetFieldname(), "id");
  EXPECT_EQ(field->FieldValueorigin(), fvoFixedValue);
  EXPECT_EQ(field->MatchKind(), mkExactMatch);
  EXPECT_EQ(field->AssignMode(), amNumericAdd);
  EXPECT_TRUE(field->LocateWithValue());
  EXPECT_TRUE(field->MatchCase());
  EXPECT_EQ(field->FixedValue(), "none");
  EXPECT_TRUE(field->IgnoreRecordIfNULL());
  EXPECT_FALSE(field->AssignValueWhenEditing());
  EXPECT_TRUE(field->AssignValueWhenInserting());
  EXPECT_EQ(fieldItem->ImageIndex(), 6);

  TKVTreeItem* funcItem = fieldItem->Child(0);
  auto* func = funcItem->DataAs<TQXDFieldFuncData>();
  ASSERT_NE(func, nullptr);
  EXPECT_EQ(funcItem->Title(), "Trim both");  // no plug-in: the stored title stays
  EXPECT_EQ(func->FunctionId().ToString(), "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
  EXPECT_EQ(func->Function(), nullptr);
  ASSERT_EQ(func->ArgumentCount(), 2u);
  EXPECT_EQ(func->Argument(0).Value().AsInt32(), 42);
  EXPECT_EQ(func->Argument(1).Value().AsString(), "left");

  TKVTreeItem* future = doc->Tree().TopLevel(1);
  EXPECT_EQ(future->Data(), nullptr);
  EXPECT_EQ(future->Title(), "From a later version");
  EXPECT_EQ(future->DataClassName(), "TQXDFutureNodeData");
  EXPECT_EQ(future->ImageIndex(), 9);
  ASSERT_EQ(future->ChildCount(), 1u);
  EXPECT_NE(future->Child(0)->DataAs<TQXDSourceConnectionData>(), nullptr);

  // The tree view values: selection by pre-order index, scroll positions.
  EXPECT_EQ(doc->Tree().Selected(), fieldItem);
  EXPECT_EQ(doc->Tree().VScrollPos(), 12);
  EXPECT_EQ(doc->Tree().HScrollPos(), 3);
}

TEST(QXDocument, LoadSaveLoadIsStableInBothFormatsAndAcross) {
  TempDir tmp;
  std::string original = tmp.file("shop.qxt");
  WriteFileBytes(original, kHandWritten);
  std::string originalBytes = ReadFileBytes(original);
  std::string text1 = tmp.file("one.qxt"), binary1 = tmp.file("one.qxs");
  std::string text2 = tmp.file("two.qxt"), binary2 = tmp.file("two.qxs"), text3 = tmp.file("three.qxt");
  {
    auto doc = Load(original);
    doc->SaveAs(text1);
    EXPECT_EQ(doc->FileName(), text1);
    EXPECT_FALSE(doc->Modified());
  }
  // Loading and saving elsewhere never touches the file a document came from.
  EXPECT_EQ(ReadFileBytes(original), originalBytes);
  Load(text1)->SaveAs(binary1);
  EXPECT_EQ(TestFileFormat(binary1), &KVCompoundDocStorageClass);
  Load(binary1)->SaveAs(binary2);
  Load(binary2)->SaveAs(text2);
  EXPECT_EQ(TestFileFormat(text2), &KVIniFileStorageClass);

  std::string dump = DumpFile(text1);
  EXPECT_EQ(DumpFile(binary1), dump);
  EXPECT_EQ(DumpFile(binary2), dump);
  EXPECT_EQ(DumpFile(text2), dump);
  // A text document saved again as text is the same file.
  Load(text1)->SaveAs(text3);
  EXPECT_EQ(ReadFileBytes(text3), ReadFileBytes(text1));

  // The written document: numbered in pre-order, identifier always, defaults left out, unknown classes
  // and directories the document does not manage kept.
  EXPECT_NE(dump.find("DataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}"), std::string::npos);
  EXPECT_NE(dump.find("[QXD\\.\\00006\\.\\00007]"), std::string::npos);
  EXPECT_NE(dump.find("DataClassName=TQXDFutureNodeData\nImageIdx=9\n"), std::string::npos);
  EXPECT_NE(dump.find("AssignMode=3\n"), std::string::npos);
  EXPECT_EQ(dump.find("MatchKind"), std::string::npos);
  EXPECT_NE(dump.find("SelectedNodeIdx=4\n"), std::string::npos);
  EXPECT_NE(dump.find("[Schemata\\Shop]\nTables=customers,orders\n"), std::string::npos);
  EXPECT_NE(dump.find("[WindowList\\00000]\nClassName=TQXSchemaPagesDlg\n"), std::string::npos);
  EXPECT_EQ(dump.find("ImageIdx=0"), std::string::npos);
}

TEST(QXDocument, NodeAtItsDefaultsStoresOnlyClassTitleAndState) {
  TempDir tmp;
  std::string file = tmp.file("defaults.qxs");
  {
    auto doc = KVMakeRef<TQXDocument>();
    EXPECT_TRUE(doc->IsNew());
    EXPECT_EQ(doc->Caption(), "New reorganization definition");
    TKVTreeItem& plain = doc->Tree().Insert(nullptr, "Plain", std::make_unique<TQXDDestFieldData>());
    TKVTreeItem& expanded = doc->Tree().Insert(nullptr, "Expanded", std::make_unique<TQXDDestFieldData>());
    expanded.SetState(tisExpanded | tisSelected);
    EXPECT_TRUE(doc->Modified());
    (void)plain;
    ASSERT_TRUE(doc->SaveAs(file));
  }
  auto data = KVMakeRef<TKVPersistentData>(&KVCompoundDocStorageClass, file);
  auto names = [&](const std::string& dir) {
    EXPECT_TRUE(data->OpenDir(dir, false)) << dir;
    TKVStringArray n = data->ReadValueNames();
    std::sort(n.begin(), n.end());
    return n;
  };
  EXPECT_EQ(names("\\QXD\\.\\00000"), (TKVStringArray{"DataClassName", "Title"}));
  EXPECT_EQ(names("\\QXD\\.\\00001"), (TKVStringArray{"DataClassName", "State", "Title"}));
  EXPECT_EQ(data->ReadString("State", ""), "34");
  EXPECT_EQ(names("\\GeneralSettings"), (TKVStringArray{"DataFormatGUID"}));
}

TEST(QXDocument, FormatDetectionAndIdentifierCheckRefuseWithoutChangingAnything) {
  TempDir tmp;
  auto doc = KVMakeRef<TQXDocument>();
  doc->Tree().Insert(nullptr, "Kept", std::make_unique<TQXDSourceConnectionData>());

  auto refuses = [&](const std::string& name, const std::string& bytes, const std::string& message) {
    std::string file = tmp.file(name);
    WriteFileBytes(file, bytes);
    try {
      doc->LoadFromFile(file);
      ADD_FAILURE() << name << " was accepted";
    } catch (const EKVException& e) {
      EXPECT_EQ(e.GetMessageText(), message) << name;
    }
    EXPECT_EQ(ReadFileBytes(file), bytes) << name;
    EXPECT_EQ(doc->Tree().Count(), 1u) << name;
    EXPECT_TRUE(doc->IsNew()) << name;
  };
  std::string guid = kQXDataFormatGUID;
  refuses("bom.qxt", "\xEF\xBB\xBF[GeneralSettings]\n", "Unsupported file format \"" + tmp.file("bom.qxt") + "\"");
  refuses("empty.qxt", "", "Unsupported file format \"" + tmp.file("empty.qxt") + "\"");
  refuses("other.qxt", "[GeneralSettings]\nDataFormatGUID={00000000-0000-0000-0000-000000000000}\n",
          "Invalid data format '{00000000-0000-0000-0000-000000000000}', must be " + guid);
  refuses("missing.qxt", " \t\r\n[QXD]\nSelectedNodeIdx=0\n", "Invalid data format '', must be " + guid);
  EXPECT_EQ(TestFileFormat(tmp.file("missing.qxt")), &KVIniFileStorageClass);
  EXPECT_THROW(TestFileFormat(tmp.file("nowhere.qxt")), EKVException);
  // A file that does not exist is no error for opening: nothing happens.
  EXPECT_FALSE(doc->LoadFromFile(tmp.file("nowhere.qxt")));

  // A binary document whose identifier is written in lower case opens.
  std::string binary = tmp.file("lower.qxs");
  {
    auto data = KVMakeRef<TKVPersistentData>(&KVCompoundDocStorageClass, binary);
    KVVsdOpenDirAbsolute(*data, "GeneralSettings", true);
    data->WriteString("DataFormatGUID", KVLowerCase(guid));
    KVVsdOpenDirAbsolute(*data, "QXD\\.\\00000", true);
    data->WriteString("DataClassName", "TQXDSourceConnectionData");
    data->WriteString("Title", "Lower");
    data->Commit();
  }
  std::string bytes = ReadFileBytes(binary);
  EXPECT_NO_THROW(CheckDataFormatGUID(binary, &KVCompoundDocStorageClass));
  ASSERT_TRUE(doc->LoadFromFile(binary));
  EXPECT_EQ(doc->Tree().Count(), 1u);
  EXPECT_EQ(doc->Tree().TopLevel(0)->Title(), "Lower");
  // Opening the open file again does nothing.
  EXPECT_FALSE(doc->LoadFromFile(binary));
  doc.reset();
  EXPECT_EQ(ReadFileBytes(binary), bytes);
}

TEST(QXDocument, SaveAsBinaryToTextKeepsSchemataSelectionAndScroll) {
  TempDir tmp;
  std::string original = tmp.file("shop.qxt"), binary = tmp.file("shop.qxs"), text = tmp.file("again.QXT");
  WriteFileBytes(original, kHandWritten);
  auto doc = Load(original);
  doc->SaveAs(binary);
  // The selection and scroll position a user leaves are saved with the document.
  TKVTreeItem* clients = Item(*doc, "Shop.customers.Warehouse.clients");
  ASSERT_TRUE(doc->Tree().Select(clients));
  doc->Tree().SetScrollPos(40, 7);
  ASSERT_TRUE(doc->SaveAs(text));
  EXPECT_EQ(TestFileFormat(text), &KVIniFileStorageClass);
  EXPECT_EQ(TestFileFormat(binary), &KVCompoundDocStorageClass);
  doc.reset();

  auto again = Load(text);
  EXPECT_EQ(again->Tree().Count(), 8u);
  EXPECT_EQ(again->Tree().Selected(), Item(*again, "Shop.customers.Warehouse.clients"));
  EXPECT_EQ(again->Tree().VScrollPos(), 40);
  EXPECT_EQ(again->Tree().HScrollPos(), 7);
  IKVStorage& s = again->Storage();
  ASSERT_TRUE(s.OpenDir("\\Schemata\\Shop", false));
  EXPECT_EQ(s.ReadString("Tables", ""), "customers,orders");
}

TEST(QXDocument, SaveAsReplacesAnExistingFileWholeOrNotAtAll) {
  TempDir tmp;
  std::string target = tmp.file("target.qxt");
  WriteFileBytes(target, "[Junk]\nOld=1\n[QXD\\.\\00009]\nTitle=Stale\n");
  auto doc = KVMakeRef<TQXDocument>();
  doc->Tree().Insert(nullptr, "Fresh", std::make_unique<TQXDSourceConnectionData>());
  ASSERT_TRUE(doc->SaveAs(target));
  std::string bytes = ReadFileBytes(target);
  EXPECT_EQ(bytes.find("Junk"), std::string::npos);
  EXPECT_EQ(bytes.find("Stale"), std::string::npos);
  EXPECT_NE(bytes.find("Title=Fresh"), std::string::npos);

  // A failed "Save As" leaves the document where it was, still modified, and no file behind.
  doc->Tree().Insert(nullptr, "Second", std::make_unique<TQXDSourceConnectionData>());
  EXPECT_THROW(doc->SaveAs(tmp.file("no/such/folder/x.qxs")), std::exception);
  EXPECT_EQ(doc->FileName(), target);
  EXPECT_TRUE(doc->Modified());
  EXPECT_EQ(ReadFileBytes(target), bytes);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(tmp.path())) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"target.qxt"});

  // Save writes into the document's own file and commits.
  EXPECT_TRUE(doc->Save());
  EXPECT_FALSE(doc->Modified());
  EXPECT_FALSE(doc->Save());
  auto again = Load(target);
  EXPECT_EQ(again->Tree().Count(), 2u);
}

TEST(QXDocument, NewDocumentWithoutNameAsksTheHostAndOpenStepsGoThroughIt) {
  struct Host : IQXDocumentHost {
    std::string answer;
    int asked = 0, titles = 0, closes = 0;
    bool allowClose = true;
    bool QueryCloseDocument(TQXDocument&) override {
      ++closes;
      return allowClose;
    }
    bool ChooseSaveFileName(TQXDocument&, std::string& name) override {
      ++asked;
      name = answer;
      return !answer.empty();
    }
    void TitleChanged(TQXDocument&) override { ++titles; }
  } host;
  TempDir tmp;
  auto doc = KVMakeRef<TQXDocument>(nullptr, &host);
  doc->Tree().Insert(nullptr, "Node", std::make_unique<TQXDSourceConnectionData>());
  EXPECT_FALSE(doc->Save());  // the dialog was cancelled
  EXPECT_EQ(host.asked, 1);
  EXPECT_TRUE(doc->Modified());
  host.answer = tmp.file("named");  // no known extension: the current (binary) format
  EXPECT_TRUE(doc->Save());
  EXPECT_EQ(TestFileFormat(tmp.file("named")), &KVCompoundDocStorageClass);
  EXPECT_GT(host.titles, 0);

  host.allowClose = false;
  EXPECT_FALSE(doc->New());
  EXPECT_EQ(doc->Tree().Count(), 1u);
  host.allowClose = true;
  EXPECT_TRUE(doc->New());
  EXPECT_TRUE(doc->IsNew());
  EXPECT_EQ(doc->Tree().Count(), 0u);
  EXPECT_FALSE(doc->Modified());
}

TEST(QXDocument, FileFormatTableAndDialogFilter) {
  EXPECT_EQ(QXFileFormatIndex("a/b.QXT"), qffTextual);
  EXPECT_EQ(QXFileFormatIndex("b.qxs"), qffBinary);
  EXPECT_EQ(QXFileFormatIndex("dir.qxs/b"), qffNone);
  EXPECT_EQ(QXFileFormats()[qffNone].StorageClass, nullptr);
  EXPECT_EQ(QXFileDialogFormatIndex(""), qffBinary);
  const char expected[] = "Textual File Format (*.qxt)\0*.qxt\0Binary File Format (*.qxs)\0*.qxs\0All Files\0*\0";
  EXPECT_EQ(QXFileDialogFilter(), std::string(expected, sizeof expected - 1));
}

}  // namespace
