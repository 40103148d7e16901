#include <gtest/gtest.h>

#include <algorithm>

#include "db/KVOdbcStatement.h"
#include "definition/QXDTreeOps.h"
#include "foundation/KVConvert.h"
#include "storage/KVIniFileStorage.h"
#include "storage/KVPersistentData.h"
#include "support/TestSupport.h"

using testsupport::TempDir;

namespace {

// A chain of the six kinds: src > srs > ddb > drs > field > func.
struct TChain {
  TQXDTreeView tree;
  TKVTreeItem *src, *srs, *ddb, *drs, *field;
  TChain() {
    src = &tree.AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), "Src");
    srs = &tree.AppendNode(src, std::make_unique<TQXDSourceTableData>(), "customers");
    ddb = &tree.AppendNode(srs, std::make_unique<TQXDDestConnectionData>(), "Dst");
    drs = &tree.AppendNode(ddb, std::make_unique<TQXDDestRSData>(), "clients");
    field = &tree.AppendNode(drs, std::make_unique<TQXDDestFieldData>(), "name");
    tree.ForEach([&](TKVTreeItem& i) {
      tree.InitNewNode(i);
      return true;
    });
  }
};

TKVRef<TKVPersistentData> TextStorage(const std::string& file) {
  return KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, file);
}

void LoadTree(TQXDTreeView& tree, const std::string& file) {
  auto data = TextStorage(file);
  TKVVsdDirPathKeeper keeper(*data, "\\QXD", false);
  ASSERT_TRUE(keeper.Opened());
  tree.LoadData(*data);
}

void StoreTree(TQXDTreeView& tree, const std::string& file) {
  auto data = TextStorage(file);
  TKVVsdDirPathKeeper keeper(*data, "\\QXD", true);
  tree.StoreData(*data);
}

TKVStringArray ValueNames(const std::string& file, const std::string& dir) {
  auto data = TextStorage(file);
  TKVVsdDirPathKeeper keeper(*data, dir, false);
  TKVStringArray names = keeper.Opened() ? data->ReadValueNames() : TKVStringArray{};
  std::sort(names.begin(), names.end());
  return names;
}

struct TTestFunctions : IQXFunctionLookup {
  std::shared_ptr<TQXFunctionInfo> Pad = std::make_shared<TQXFunctionInfo>();
  TTestFunctions() {
    Pad->Id = TGUID::Parse("{11111111-2222-3333-4444-555555555555}");
    Pad->Name = "PadLeft";
    Pad->Description = "Pads a text";
    Pad->Parameters = {{"Width", "", TKVVariant::FromInt32(10)}, {"Char", "", TKVVariant::FromString(" ")}};
    QXSetFunctionLookup(this);
  }
  ~TTestFunctions() override { QXSetFunctionLookup(nullptr); }
  TQXFunctionRef FindFunction(const TGUID& id) const override { return id == Pad->Id ? Pad : nullptr; }
};

}  // namespace

TEST(QXDNodes, ActiveFollowsCheckedAncestorsAndDrivesTheStateImage) {
  TChain c;
  for (TKVTreeItem* i : {c.src, c.srs, c.ddb, c.drs, c.field}) {
    EXPECT_TRUE(QXDData(i)->Active()) << i->Title();
    EXPECT_EQ(i->StateImageIndex(), 2);
  }
  c.tree.ToggleChecked(*c.srs);
  EXPECT_EQ(c.src->StateImageIndex(), 2);
  EXPECT_EQ(c.srs->StateImageIndex(), 3);  // inactive unchecked
  EXPECT_TRUE(QXDData(c.field)->Checked());
  EXPECT_FALSE(QXDData(c.field)->Active());
  EXPECT_EQ(c.field->StateImageIndex(), 4);  // inactive although checked
  c.tree.ToggleChecked(*c.field);
  EXPECT_EQ(c.field->StateImageIndex(), 3);
  c.tree.ToggleChecked(*c.srs);
  EXPECT_EQ(c.drs->StateImageIndex(), 2);
  EXPECT_EQ(c.field->StateImageIndex(), 3);  // an unchecked node is never active

  // The walk up stops at an item without definition data.
  TKVTreeItem& plain = c.tree.Insert(nullptr, "plain");
  TKVTreeItem& below = c.tree.AppendNode(&plain, std::make_unique<TQXDSourceRSData>(), "below");
  c.tree.InitNewNode(below);
  EXPECT_TRUE(below.DataAs<TQXDDataBase>()->Active());

  // The kind table places each node and answers the subtree format.
  EXPECT_EQ(QXDFindNodeKind(c.srs)->Row, 1);
  EXPECT_EQ(QXDFindNodeKind(c.field)->Image, 4);
  EXPECT_EQ(QXDFindNodeKind(&plain), nullptr);
  EXPECT_EQ(QXDFindNodeKindByFormat("{e02b92a7-762b-4e5c-bbb8-9196db36f369}"), nullptr);
  EXPECT_EQ(QXDFindNodeKindByFormat("{e02b92a7-762b-4e5c-bba8-9196db36f369}")->Row, 3);
  EXPECT_EQ(QXDNodePath(*c.field), "Src.customers.Dst.clients.name");
  EXPECT_EQ(QXDFindNodeByPath(c.tree, "src.CUSTOMERS.dst"), c.ddb);
  EXPECT_EQ(QXDFindNodeByPath(c.tree, "Src.customers.Dst.clients.nam"), nullptr);
  c.field->SetTitle("a.b");
  EXPECT_EQ(QXDFindNodeByPath(c.tree, "Src.customers.Dst.clients.a.b"), c.field);
  EXPECT_EQ(QXDDetailCaption(c.drs), "Destination Recordset: clients");
  EXPECT_EQ(QXDDetailCaption(nullptr), "General");
}

TEST(QXDNodes, RegistryFindsNodeClassesByNameOnly) {
  EXPECT_EQ(QXDCreateNodeData("tqxdsourcetabledata")->ClassName(), "TQXDSourceTableData");
  EXPECT_EQ(QXDCreateNodeData("TQXDRecordsetData")->ClassName(), "TQXDRecordsetData");
  EXPECT_EQ(QXDCreateNodeData("TKVRefLifeObject"), nullptr);  // registered, but no node data
  EXPECT_EQ(QXDCreateNodeData("TQXDNoSuchData"), nullptr);
  EXPECT_FALSE(QXDIsNodeClass("TKVRefLifeObject"));
}

TEST(QXDNodes, NodesAtTheirDefaultsStoreOnlyClassTitleAndState) {
  TempDir dir;
  const std::string file = dir.file("defaults.qxt");
  TQXDTreeView tree;
  TKVTreeItem& src = tree.AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), "S");
  tree.AppendNode(&src, std::make_unique<TQXDSourceRSData>(), "a");
  tree.AppendNode(&src, std::make_unique<TQXDSourceTableData>(), "b");
  tree.AppendNode(&src, std::make_unique<TQXDSourceSysTableData>(), "c");
  tree.AppendNode(&src, std::make_unique<TQXDSourceViewData>(), "d");
  TKVTreeItem& proc = tree.AppendNode(&src, std::make_unique<TQXDSourceProcData>(), "e");
  TKVTreeItem& ddb = tree.AppendNode(&proc, std::make_unique<TQXDDestConnectionData>(), "f");
  TKVTreeItem& drs = tree.AppendNode(&ddb, std::make_unique<TQXDDestRSData>(), "g");
  TKVTreeItem& field = tree.AppendNode(&drs, std::make_unique<TQXDDestFieldData>(), "h");
  field.SetStateBits(tisExpanded, true);
  StoreTree(tree, file);

  const TKVStringArray plain = {"DataClassName", "Title"};
  const TKVStringArray withState = {"DataClassName", "State", "Title"};
  int nodes = 0;
  tree.ForEach([&](TKVTreeItem& i) {
    char path[64];
    int index = tree.PreOrderIndex(&i);
    std::string p = "\\QXD";
    for (TKVTreeItem* a = &i; a; a = a->Parent()) {
      std::snprintf(path, sizeof path, "\\.\\%05d", tree.PreOrderIndex(a));
      p.insert(4, path);
    }
    EXPECT_EQ(ValueNames(file, p), &i == &field ? withState : plain) << p << " " << index;
    ++nodes;
    return true;
  });
  EXPECT_EQ(nodes, 9);
  // Property sets at their defaults leave no directory behind (the new recordset's "SELECT *" is stored).
  auto stored = TextStorage(file);
  EXPECT_FALSE(stored->DirExists("\\QXD\\.\\00000\\ConnectProperties"));
  EXPECT_TRUE(stored->DirExists("\\QXD\\.\\00000\\.\\00001\\RecordsetProperties"));

  // A value away from its default appears, and the item's image values never do.
  field.DataAs<TQXDDestFieldData>()->SetMatchCase(true);
  src.DataAs<TQXDDataBase>()->SetChecked(false);
  StoreTree(tree, file);
  EXPECT_EQ(ValueNames(file, "\\QXD\\.\\00000"), (TKVStringArray{"Checked", "DataClassName", "Title"}));
  EXPECT_EQ(ValueNames(file, "\\QXD\\.\\00000\\.\\00005\\.\\00006\\.\\00007\\.\\00008"),
            (TKVStringArray{"DataClassName", "MatchCase", "State", "Title"}));
}

TEST(QXDNodes, AnEmptySqlTextStaysEmptyThroughSaveAndLoad) {
  // An empty text is not stored, and with every other property at its default neither is the directory:
  // loading must still give the empty text, not the "SELECT *" a new node starts with.
  TempDir dir;
  const std::string file = dir.file("empty-sql.qxt");
  TChain chain;
  chain.srs->DataAs<TQXDSourceTableData>()->Recordset().Sql().SetText("");
  chain.drs->DataAs<TQXDDestRSData>()->Recordset().Sql().SetText("");
  ASSERT_EQ(chain.drs->DataAs<TQXDDestRSData>()->Recordset().Sql().Text(), "");
  StoreTree(chain.tree, file);
  EXPECT_FALSE(TextStorage(file)->DirExists("\\QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\RecordsetProperties"));

  TQXDTreeView loaded;
  LoadTree(loaded, file);
  ASSERT_EQ(loaded.Count(), 5u);
  EXPECT_EQ(loaded.ItemAtPreOrder(1)->DataAs<TQXDSourceTableData>()->Recordset().Sql().Text(), "");
  EXPECT_EQ(loaded.ItemAtPreOrder(3)->DataAs<TQXDDestRSData>()->Recordset().Sql().Text(), "");

  // A stored text still comes back as it was.
  chain.drs->DataAs<TQXDDestRSData>()->Recordset().Sql().SetText("SELECT a FROM t");
  StoreTree(chain.tree, file);
  TQXDTreeView again;
  LoadTree(again, file);
  EXPECT_EQ(again.ItemAtPreOrder(3)->DataAs<TQXDDestRSData>()->Recordset().Sql().Text(), "SELECT a FROM t");
}

TEST(QXDNodes, LoadReadsEveryValueClampsEnumerationsAndKeepsUnknownClasses) {
  TempDir dir;
  const std::string file = dir.file("hand.qxt");
  testsupport::WriteFileBytes(file,
                              "[QXD\\.\\00000]\r\nDataClassName=tqxdsourceconnectiondata\r\nTitle=Src\r\n"
                              "Checked=0\r\nState=35\r\n"
                              "[QXD\\.\\00000\\ConnectProperties]\r\nConnectionString=DSN=x\r\n"
                              "[QXD\\.\\00000\\.\\00001]\r\nDataClassName=TQXDSourceViewData\r\nTitle=v\r\n"
                              "MaxRecordsToRead=25\r\n"
                              "[QXD\\.\\00000\\.\\00001\\RecordsetProperties]\r\nSQL=SELECT a FROM v\r\nCursorType=0\r\n"
                              "[QXD\\.\\00000\\.\\00001\\.\\00002]\r\nDataClassName=TQXDDestConnectionData\r\n"
                              "Title=D\r\nTransactionSize=50\r\n"
                              "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003]\r\nDataClassName=TQXDDestRSData\r\n"
                              "Title=T\r\nAlwaysInsertNewRecord=0\r\nAssertRecordExists=1\r\n"
                              "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004]\r\n"
                              "DataClassName=TQXDDestFieldData\r\nTitle=F\r\nAssignMode=7\r\nMatchKind=-1\r\n"
                              "FieldValueorigin=9\r\nLocateWithValue=1\r\nFixedValue=x y\r\nDestRecordsetName=R\r\n"
                              "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00005]\r\n"
                              "DataClassName=TQXDFutureData\r\nTitle=later\r\nImageIdx=9\r\nOdd=1\r\n");
  TQXDTreeView tree;
  LoadTree(tree, file);
  ASSERT_EQ(tree.Count(), 6u);
  TKVTreeItem* src = tree.ItemAtPreOrder(0);
  EXPECT_EQ(src->State(), 0x20);  // focused and selected bits are not restored
  EXPECT_FALSE(src->DataAs<TQXDDataBase>()->Checked());
  EXPECT_EQ(src->DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(), "DSN=x");
  auto* view = tree.ItemAtPreOrder(1)->DataAs<TQXDSourceViewData>();
  ASSERT_NE(view, nullptr);
  EXPECT_FALSE(view->Active());
  EXPECT_EQ(view->MaxRecordsToRead(), 25);
  EXPECT_EQ(view->SQL(), "SELECT a FROM v");
  EXPECT_EQ(view->Recordset().Properties().CursorType(), ctForwardOnly);
  EXPECT_EQ(view->Recordset().Connection(), &src->DataAs<TQXDConnectionData>()->Connection());
  EXPECT_EQ(tree.ItemAtPreOrder(2)->DataAs<TQXDDestConnectionData>()->TransactionSize(), 50);
  auto* drs = tree.ItemAtPreOrder(3)->DataAs<TQXDDestRSData>();
  EXPECT_FALSE(drs->AlwaysInsertNewRecord());
  EXPECT_TRUE(drs->AssertRecordExists());
  EXPECT_TRUE(drs->InsertRecordIfNotExists());
  EXPECT_EQ(drs->Recordset().Connection(), &tree.ItemAtPreOrder(2)->DataAs<TQXDConnectionData>()->Connection());
  TKVTreeItem* fieldItem = tree.ItemAtPreOrder(4);
  auto* f = fieldItem->DataAs<TQXDDestFieldData>();
  EXPECT_EQ(f->AssignMode(), amNumericAdd);
  EXPECT_EQ(f->MatchKind(), mkExactMatch);
  EXPECT_EQ(f->FieldValueorigin(), fvoFixedValue);
  EXPECT_EQ(f->FixedValue(), "x y");
  EXPECT_EQ(f->DestRecordsetName(), "R");
  EXPECT_EQ(fieldItem->ImageIndex(), 6);  // located by value
  EXPECT_EQ(fieldItem->StateImageIndex(), 4);
  TKVTreeItem* unknown = tree.ItemAtPreOrder(5);
  EXPECT_EQ(unknown->Data(), nullptr);
  EXPECT_EQ(unknown->Title(), "later");

  // Saved again, the clamped values are written as clamped and the unknown class keeps its name.
  const std::string again = dir.file("again.qxt");
  StoreTree(tree, again);
  auto data = TextStorage(again);
  ASSERT_TRUE(data->OpenDir("\\QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004", false));
  EXPECT_EQ(data->ReadString("AssignMode", ""), "3");
  EXPECT_EQ(data->ReadString("MatchKind", "absent"), "absent");
  EXPECT_EQ(data->ReadString("ImageIdx", "absent"), "absent");
  ASSERT_TRUE(data->OpenDir("\\QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00005", false));
  EXPECT_EQ(data->ReadString("DataClassName", ""), "TQXDFutureData");
}

TEST(QXDNodes, FunctionNodesBindByIdAndKeepArgumentsOfMissingFunctions) {
  TempDir dir;
  const std::string file = dir.file("func.qxt");
  const char* node =
      "[QXD\\.\\00000]\r\nDataClassName=TQXDFieldFuncData\r\nTitle=My title\r\n"
      "FunctionId={11111111-2222-3333-4444-555555555555}\r\n"
      "Argument001=8,*\r\nargument007=3,42\r\nArgumentX=11,True\r\n";
  testsupport::WriteFileBytes(file, node);
  {
    // No plug-in supplies the function: title unchanged, every stored argument appended in order.
    TQXDTreeView tree;
    LoadTree(tree, file);
    TKVTreeItem* item = tree.FirstTopLevel();
    auto* fn = item->DataAs<TQXDFieldFuncData>();
    EXPECT_EQ(item->Title(), "My title");
    EXPECT_EQ(fn->Function(), nullptr);
    ASSERT_EQ(fn->ArgumentCount(), 3u);
    EXPECT_EQ(fn->Argument(0).Value().AsString(), "*");
    EXPECT_EQ(fn->Argument(1).Value().AsString(), "42");
    EXPECT_EQ(fn->Argument(2).Value().VarType(), varBoolean);
    try {
      fn->CallFunction(TKVVariant::FromString("x"));
      ADD_FAILURE();
    } catch (const EKVException& e) {
      EXPECT_EQ(e.GetMessageText(), "No plugin has registered a function with id {11111111-2222-3333-4444-555555555555}");
      EXPECT_EQ(e.GetRoutineName(), "TQXDFieldFuncData.CallFunction");
    }
    // Saved again they stay, numbered from 000.
    StoreTree(tree, dir.file("func2.qxt"));
    EXPECT_EQ(ValueNames(dir.file("func2.qxt"), "\\QXD\\.\\00000"),
              (TKVStringArray{"Argument000", "Argument001", "Argument002", "DataClassName", "FunctionId", "Title"}));
  }
  {
    // Registered: the title becomes the function's name, the parameters give the arguments, a stored
    // index within them sets that argument, anything else is appended.
    TTestFunctions functions;
    TQXDTreeView tree;
    LoadTree(tree, file);
    TKVTreeItem* item = tree.FirstTopLevel();
    auto* fn = item->DataAs<TQXDFieldFuncData>();
    EXPECT_EQ(item->Title(), "PadLeft");
    EXPECT_EQ(fn->GetHintText(), "Pads a text");
    ASSERT_EQ(fn->ArgumentCount(), 4u);
    EXPECT_EQ(fn->Argument(0).Value().AsString(), "10");
    EXPECT_EQ(fn->Argument(1).Value().AsString(), "*");
    EXPECT_EQ(fn->Argument(2).Value().AsString(), "42");
  }
  // An id that is not a GUID gives the zero id.
  testsupport::WriteFileBytes(file, "[QXD\\.\\00000]\r\nDataClassName=TQXDFieldFuncData\r\nFunctionId=junk\r\n");
  TQXDTreeView tree;
  LoadTree(tree, file);
  EXPECT_TRUE(tree.FirstTopLevel()->DataAs<TQXDFieldFuncData>()->FunctionId().IsNull());
}

namespace {
struct TSink : IQXReportSink {
  std::vector<std::pair<std::string, uint32_t>> Lines;
  void ReportLine(const std::string& text, uint32_t color) override { Lines.emplace_back(text, color); }
};

void Exec(const std::string& conn, const std::string& sql) {
  auto c = KVMakeRef<TKVOdbcConnection>();
  c->Properties().SetConnectionString(conn);
  c->Activate();
  c->ExecuteSQL(sql);
  c->Deactivate();
}

int64_t CountRows(const std::string& conn, const std::string& table) {
  auto c = KVMakeRef<TKVOdbcConnection>();
  c->Properties().SetConnectionString(conn);
  auto rs = KVMakeRef<TKVOdbcRecordset>(c);
  rs->SetSQL("SELECT count(*) AS n FROM " + table);
  rs->Open();
  int64_t n = 0;
  KVTryParseInt64(rs->FieldByName("n").Value().AsString(), n);
  rs->Close();
  return n;
}
}  // namespace

TEST(QXDNodes, SubtreeOpenOpensActiveNodesAndCloseRestoresTheirState) {
  TempDir dir;
  const std::string conn = "Driver=SQLite3;Database=" + dir.file("run.db");
  Exec(conn, "CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT)");
  Exec(conn, "CREATE TABLE clients (id INTEGER PRIMARY KEY, name TEXT)");
  Exec(conn, "INSERT INTO customers VALUES (1, 'Ann')");

  TChain c;
  for (TKVTreeItem* db : {c.src, c.ddb}) db->DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString(conn);
  auto* srs = c.srs->DataAs<TQXDSourceRSData>();
  srs->SetTableName("customers");
  auto* ddb = c.ddb->DataAs<TQXDDestConnectionData>();
  ddb->SetTransactionSize(10);
  auto* drs = c.drs->DataAs<TQXDDestRSData>();
  drs->SetTableName("clients");
  TSink sink;
  drs->SetReportSink(&sink);
  // An unchecked second recordset is neither opened nor closed.
  TKVTreeItem& idle = c.tree.AppendNode(c.ddb, std::make_unique<TQXDDestRSData>(), "idle");
  c.tree.InitNewNode(idle);
  c.tree.ToggleChecked(idle);
  auto* idleRs = idle.DataAs<TQXDDestRSData>();
  idleRs->SetSQL("SELECT * FROM nowhere");

  QXDSetSubtreeOpen(c.src, true, true);
  EXPECT_TRUE(c.src->DataAs<TQXDConnectionData>()->Connection().Connected());
  EXPECT_TRUE(srs->Recordset().Active());
  EXPECT_EQ(srs->Recordset().FieldByName("name").Value().AsString(), "Ann");
  EXPECT_TRUE(drs->Recordset().Active());
  EXPECT_FALSE(idleRs->Recordset().Active());
  EXPECT_FALSE(ddb->Connection().Properties().HasAttribute(caAutocommitTransactions));

  // What a run does: write inside the open transaction and change the SQL text.
  ddb->Connection().ExecuteSQL("INSERT INTO clients VALUES (7, 'Ann')");
  drs->RecordsInserted = 1;
  const std::string before = drs->SQL();
  drs->Recordset().Close();
  drs->SetSQL("SELECT * FROM clients WHERE id = 7");
  idleRs->SetSQL("SELECT * FROM elsewhere");

  QXDSetSubtreeOpen(c.src, false, true);
  EXPECT_FALSE(c.src->DataAs<TQXDConnectionData>()->Connection().Connected());
  EXPECT_FALSE(srs->Recordset().Active());
  EXPECT_EQ(drs->SQL(), before);
  EXPECT_EQ(idleRs->SQL(), "SELECT * FROM elsewhere");
  EXPECT_EQ(CountRows(conn, "clients"), 1);  // committed by Close
  ASSERT_EQ(sink.Lines.size(), 1u);
  EXPECT_EQ(sink.Lines[0].first, "   Table \"clients\":\t1 Records Inserted\t0 Records Edited\t0 Records Skipped\r\n");
  EXPECT_EQ(sink.Lines[0].second, 0x800000u);

  // A failing open leaves the nodes after it unopened; closing afterwards is harmless.
  Exec(conn, "DROP TABLE clients");
  EXPECT_THROW(QXDSetSubtreeOpen(c.src, true, true), EKVException);
  QXDSetSubtreeOpen(c.src, false, true);
  EXPECT_EQ(drs->SQL(), before);
  EXPECT_FALSE(drs->Recordset().Active());
}
