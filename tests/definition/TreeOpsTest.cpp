#include <gtest/gtest.h>

#include "definition/QXDTreeOps.h"
#include "storage/KVIniFileStorage.h"
#include "storage/KVPersistentData.h"
#include "support/TestSupport.h"

using testsupport::TempDir;

namespace {

struct TModified : IKVTreeModelObserver {
  int Count = 0;
  void ModelModified() override { ++Count; }
};

// Answers every question with `Answer` and remembers the texts.
struct TQuestions {
  std::vector<std::string> Asked;
  int Answer = KV_IDNO;
  TKVMessageDialogProc Old;
  TQuestions() {
    Old = KVSetMessageDialogProc([this](const std::string& text, TKVSeverity, TKVMsgButtons) {
      Asked.push_back(text);
      return Answer;
    });
  }
  ~TQuestions() { KVSetMessageDialogProc(Old); }
};

TQXDSchemaItem Table(const std::string& name, const std::string& dsn, TQXDSchemaItemKind kind = TQXDSchemaItemKind::Table) {
  TQXDSchemaItem i;
  i.Kind = kind;
  i.Name = name;
  i.DataSourceName = dsn;
  return i;
}

TQXDSchemaItem Column(const std::string& name, const std::string& table, const std::string& dsn) {
  TQXDSchemaItem i = Table(name, dsn, TQXDSchemaItemKind::Column);
  i.TableName = table;
  return i;
}

std::string Shape(const TKVTreeModel& m) {
  std::string r;
  m.ForEach([&](TKVTreeItem& i) {
    r += std::string(static_cast<size_t>(i.Level()), '.') + i.Title() + " ";
    return true;
  });
  return r;
}

}  // namespace

TEST(QXDTreeOps, SchemaDropsBuildTheChainWithUniqueTitles) {
  TQXDTreeView tree;
  TModified modified;
  tree.AddObserver(&modified);
  auto props = KVMakeRef<TKVOdbcConnectProperties>();
  props->SetConnectionString("DSN=shop");
  TQXDSchemaItem customers = Table("customers", "shop");
  customers.ConnectProperties = props;

  // Onto empty space: a source database named after the data source, found again by the next drop.
  TKVTreeItem* srs = tree.DropSchemaItem(customers, nullptr);
  ASSERT_NE(srs, nullptr);
  EXPECT_NE(srs->DataAs<TQXDSourceTableData>(), nullptr);
  EXPECT_EQ(srs->DataAs<TQXDRecordsetData>()->TableName(), "customers");
  EXPECT_EQ(srs->Parent()->DataAs<TQXDConnectionData>()->Connection().Properties().ConnectionString(), "DSN=shop");
  EXPECT_NE(tree.DropSchemaItem(Table("v_top", "SHOP", TQXDSchemaItemKind::View), nullptr)->DataAs<TQXDSourceViewData>(),
            nullptr);
  EXPECT_EQ(Shape(tree), "shop .customers .v_top ");
  EXPECT_GT(modified.Count, 0);

  // Onto a source recordset without children: a destination database is created under it; three tables
  // named Orders get unique titles.
  TQXDSchemaItem orders = Table("Orders", "dw");
  TKVTreeItem* o1 = tree.DropSchemaItem(orders, srs);
  TKVTreeItem* o2 = tree.DropSchemaItem(orders, o1);  // a destination recordset means its database
  TKVTreeItem* o3 = tree.DropSchemaItem(orders, srs);  // the source recordset's first child
  ASSERT_TRUE(o1 && o2 && o3);
  EXPECT_EQ(Shape(tree), "shop .customers ..dw ...Orders ...Orders2 ...Orders3 .v_top ");
  EXPECT_EQ(o3->DataAs<TQXDRecordsetData>()->TableName(), "Orders");
  EXPECT_EQ(o3->DataAs<TQXDRecordsetData>()->Recordset().Connection(),
            &o3->Parent()->DataAs<TQXDConnectionData>()->Connection());

  // Columns: only onto a recordset of their table (up to "#") in a database of their data source.
  tree.EditLabel(*o2, "Orders#2");
  EXPECT_NE(tree.DropSchemaItem(Column("qty", "orders", "DW"), o2), nullptr);
  EXPECT_FALSE(tree.CanDropSchemaItem(Column("qty", "Order", "dw"), o2));
  EXPECT_FALSE(tree.CanDropSchemaItem(Column("qty", "Orders", "other"), o2));
  TKVTreeItem* onField = tree.DropSchemaItem(Column("price", "Orders", "dw"), o2->FirstChildItem());
  ASSERT_NE(onField, nullptr);
  EXPECT_EQ(onField->Parent(), o2);
  EXPECT_EQ(onField->DataAs<TQXDDestFieldData>()->DestFieldname(), "price");

  // Refused drops change nothing: a procedure onto a destination, a table onto a field.
  const std::string before = Shape(tree);
  int count = modified.Count;
  EXPECT_EQ(tree.DropSchemaItem(Table("p", "dw", TQXDSchemaItemKind::Procedure), o1->Parent()), nullptr);
  EXPECT_EQ(tree.DropSchemaItem(orders, onField), nullptr);
  EXPECT_EQ(Shape(tree), before);
  EXPECT_EQ(modified.Count, count);

  // A folder drops each entry; Shift also adds the table's fields.
  TQXDSchemaItem folder;
  folder.Kind = TQXDSchemaItemKind::TablesFolder;
  TQXDSchemaItem lines = Table("lines", "dw");
  lines.Columns = {"id", "qty"};
  folder.Children = {lines, Table("Orders", "dw")};
  TKVTreeItem* last = tree.DropSchemaItem(folder, o1->Parent(), true);
  ASSERT_NE(last, nullptr);
  // One pass over the children: "Orders#2" does not count, so the candidate after "Orders" is free again.
  EXPECT_EQ(last->Title(), "Orders2");
  EXPECT_NE(Shape(tree).find("...Orders3 ...lines ....id ....qty ...Orders2 .v_top"), std::string::npos) << Shape(tree);
  tree.RemoveObserver(&modified);
}

TEST(QXDTreeOps, CommandsNeedTheirParentAndNewRecordsetsTakeTheUserDefaults) {
  TempDir dir;
  auto settingsFile = KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, dir.file("dabrix.PRS"));
  {
    TKVVsdDirPathKeeper keeper(*settingsFile, "\\GeneralSettings\\DefaultRecordsetProperties", true);
    settingsFile->WriteInteger("CursorType", 0);
    settingsFile->WriteInteger("MaximumRecordsReturned", 500);
  }
  TQXDStorageTreeSettings settings(*settingsFile);
  TQXDTreeView tree(&settings);

  EXPECT_TRUE(tree.CommandEnabled(TQXDAddCommand::AddSourceDatabase));
  EXPECT_FALSE(tree.CommandEnabled(TQXDAddCommand::AddSourceRecordset));
  EXPECT_EQ(tree.AddNodeByCommand(TQXDAddCommand::AddDestinationField), nullptr);
  TKVTreeItem* db = tree.AddNodeByCommand(TQXDAddCommand::AddSourceDatabase);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(tree.Selected(), db);
  EXPECT_FALSE(tree.CommandEnabled(TQXDAddCommand::AddDestinationDatabase));
  TKVTreeItem* rs = tree.AddNodeByCommand(TQXDAddCommand::AddSourceRecordset);
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->Title(), "New Source Recordset");
  EXPECT_EQ(rs->ImageIndex(), 1);
  auto* data = rs->DataAs<TQXDSourceRSData>();
  EXPECT_TRUE(data->Checked());
  EXPECT_TRUE(data->Active());
  EXPECT_EQ(data->Recordset().Properties().CursorType(), ctForwardOnly);
  EXPECT_EQ(data->Recordset().Properties().MaximumRecordsReturned(), 500);
  EXPECT_EQ(data->Recordset().Sql().Clause(TKVSqlClause::SelectList), "*");
  EXPECT_EQ(data->Recordset().Connection(), &db->DataAs<TQXDConnectionData>()->Connection());
  EXPECT_EQ(settingsFile->GetCurrentDir(), "");  // the settings' current directory is kept

  // Functions: only registered ones, and only below a destination field.
  TKVTreeItem* ddb = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationDatabase);
  TKVTreeItem* drs = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationRecordset);
  TKVTreeItem* field = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationField);
  ASSERT_TRUE(ddb && drs && field);
  EXPECT_EQ(Shape(tree), "New Source Database .New Source Recordset ..New Destination Database "
                         "...New Destination Recordset ....New Destination Field ");
  struct TLookup : IQXFunctionLookup {
    std::shared_ptr<TQXFunctionInfo> F = std::make_shared<TQXFunctionInfo>();
    TQXFunctionRef FindFunction(const TGUID& id) const override { return id == F->Id ? F : nullptr; }
  } lookup;
  lookup.F->Id = TGUID::Parse("{A0000000-0000-0000-0000-00000000000A}");
  lookup.F->Name = "Upper";
  lookup.F->Parameters = {{"Mode", "", TKVVariant::FromInt32(1)}};
  QXSetFunctionLookup(&lookup);
  EXPECT_EQ(tree.AddNodeByCommand(TQXDAddCommand::AddFunction, TGUID::Parse("{B0000000-0000-0000-0000-00000000000B}")),
            nullptr);
  TKVTreeItem* fn = tree.AddNodeByCommand(TQXDAddCommand::AddFunction, lookup.F->Id);
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn->Title(), "Upper");
  EXPECT_EQ(fn->DataAs<TQXDFieldFuncData>()->ArgumentCount(), 1u);
  TKVTreeItem* dropped = tree.DropFunction(lookup.F->Id, fn);  // onto a function: its field
  ASSERT_NE(dropped, nullptr);
  EXPECT_EQ(dropped->Parent(), field);
  EXPECT_EQ(tree.DropFunction(lookup.F->Id, drs), nullptr);
  QXSetFunctionLookup(nullptr);

  // Label editing: not for functions.
  EXPECT_FALSE(tree.EditLabel(*fn, "x"));
  EXPECT_TRUE(tree.EditLabel(*field, "qty"));
  EXPECT_EQ(field->Title(), "qty");

  // Add all destination fields skips existing titles, whatever their case.
  EXPECT_EQ(tree.AddAllDestinationFields(*drs, {"id", "QTY", "price"}), 2);
  EXPECT_EQ(tree.AddAllDestinationFields(*drs, {"id"}), 0);
  EXPECT_EQ(tree.AddAllDestinationFields(*field, {"id"}), 0);
  TKVTreeItem* price = drs->LastChildItem();
  EXPECT_EQ(price->DataAs<TQXDDestFieldData>()->SourceRecordsetFieldname(), "price");
  EXPECT_TRUE(drs->State() & tisExpanded);
}

TEST(QXDTreeOps, MovesStayAmongSiblingsAndDeletesAsk) {
  TempDir dir;
  auto settingsFile = KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, dir.file("dabrix.PRS"));
  TQXDStorageTreeSettings settings(*settingsFile);
  TQXDTreeView tree(&settings);
  TKVTreeItem& db = tree.AppendNode(nullptr, std::make_unique<TQXDDestConnectionData>(), "db");
  TKVTreeItem& a = tree.AppendNode(&db, std::make_unique<TQXDDestRSData>(), "A");
  TKVTreeItem& b = tree.AppendNode(&db, std::make_unique<TQXDDestRSData>(), "B");
  TKVTreeItem& a1 = tree.AppendNode(&a, std::make_unique<TQXDDestFieldData>(), "a1");
  TKVTreeItem& a2 = tree.AppendNode(&a, std::make_unique<TQXDDestFieldData>(), "a2");
  TKVTreeItem& a3 = tree.AppendNode(&a, std::make_unique<TQXDDestFieldData>(), "a3");
  TKVTreeItem& b1 = tree.AppendNode(&b, std::make_unique<TQXDDestFieldData>(), "b1");

  EXPECT_FALSE(tree.MoveNode(a3, b1));
  EXPECT_FALSE(tree.MoveNode(a3, b));
  EXPECT_TRUE(tree.MoveNode(a3, a1));
  EXPECT_EQ(Shape(tree), "db .A ..a3 ..a1 ..a2 .B ..b1 ");
  EXPECT_TRUE(tree.MoveNode(a3, a2));  // forward: directly before the target
  EXPECT_EQ(Shape(tree), "db .A ..a1 ..a3 ..a2 .B ..b1 ");

  TQuestions questions;
  EXPECT_FALSE(tree.DeleteSelected());  // nothing selected, nothing asked
  EXPECT_TRUE(questions.Asked.empty());
  tree.Select(&a);
  EXPECT_FALSE(tree.DeleteSelected());
  ASSERT_EQ(questions.Asked.size(), 1u);
  EXPECT_EQ(questions.Asked[0], "Do you want to delete the node 'A' and all it's subnodes ?");
  questions.Answer = KV_IDYES;
  EXPECT_TRUE(tree.DeleteSelected());
  EXPECT_EQ(tree.Selected(), nullptr);
  EXPECT_EQ(Shape(tree), "db .B ..b1 ");

  {
    TKVVsdDirPathKeeper keeper(*settingsFile, "\\GeneralSettings", true);
    settingsFile->WriteBoolean("ConfirmSingleDelete", false);
  }
  tree.Select(&b1);
  EXPECT_TRUE(tree.DeleteSelected());
  EXPECT_EQ(questions.Asked.size(), 2u);  // not asked again
  questions.Answer = KV_IDNO;
  EXPECT_FALSE(tree.DeleteAll());
  EXPECT_EQ(questions.Asked.back(), "Do you want to delete all nodes ?");
  questions.Answer = KV_IDYES;
  EXPECT_TRUE(tree.DeleteAll());
  EXPECT_TRUE(tree.Empty());
  EXPECT_FALSE(tree.DeleteAll());
}

TEST(QXDTreeOps, ViewValuesSurviveStoreAndLoad) {
  TempDir dir;
  const std::string file = dir.file("view.qxt");
  {
    TQXDTreeView tree;
    TKVTreeItem& db = tree.AppendNode(nullptr, std::make_unique<TQXDSourceConnectionData>(), "db");
    tree.AppendNode(&db, std::make_unique<TQXDSourceRSData>(), "r1");
    TKVTreeItem& r2 = tree.AppendNode(&db, std::make_unique<TQXDSourceRSData>(), "r2");
    tree.Select(&r2);
    tree.SetScrollPos(40, 3);
    auto data = KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, file);
    TKVVsdDirPathKeeper keeper(*data, "\\QXD", true);
    tree.StoreData(*data);
  }
  auto data = KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, file);
  TKVVsdDirPathKeeper keeper(*data, "\\QXD", false);
  EXPECT_EQ(data->ReadString("SelectedNodeIdx", ""), "2");
  TQXDTreeView tree;
  tree.LoadData(*data);
  ASSERT_NE(tree.Selected(), nullptr);
  EXPECT_EQ(tree.Selected()->Title(), "r2");
  EXPECT_EQ(tree.VScrollPos(), 40);
  EXPECT_EQ(tree.HScrollPos(), 3);
  tree.Select(nullptr);
  tree.SetScrollPos(0, 0);
  tree.StoreViewValues(*data);
  EXPECT_TRUE(data->ReadValueNames().empty());
}

TEST(QXDTreeOps, CliTreeShowsTheLoadedDefinition) {
  const std::string cli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";
  auto r = testsupport::RunCommand(testsupport::ShellQuote(cli) + " tree " +
                                   testsupport::ShellQuote(std::string(DABRIX_SOURCE_DIR) + "/examples/demo.qxt"));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Demo source [TQXDSourceConnectionData] "
                       "ConnectProperties.ConnectionString=Driver=SQLite3;Database=demo-source.db\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n      clients [TQXDDestRSData] RecordsetProperties.SQL=SELECT * FROM clients "
                       "AlwaysInsertNewRecord=0 EditRecordIfExists=1\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n        origin\\tnote\\r\\nsecond line [TQXDDestFieldData]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n          Trim [TQXDFieldFuncData] FunctionId={00000000-0000-0000-0000-000000000000} "
                       "Argument000=11,True Argument001=11,True\n"),
            std::string::npos)
      << r.out;

  TempDir dir;
  const std::string nodes = "[QXD\\.\\00000]\r\nDataClassName=TQXDSourceConnectionData\r\n"
                            "Title=S\r\nChecked=0\r\n[QXD\\.\\00000\\.\\00001]\r\n"
                            "DataClassName=TQXDSourceRSData\r\nTitle=R\r\n";
  testsupport::WriteFileBytes(dir.file("x.qxt"),
                              "[GeneralSettings]\r\nDataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\r\n" + nodes);
  r = testsupport::RunCommand(testsupport::ShellQuote(cli) + " tree " + testsupport::ShellQuote(dir.file("x.qxt")));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // No stored SQL text is the empty text (its stored default), not the text a new node starts with.
  EXPECT_EQ(r.out, "S [TQXDSourceConnectionData] unchecked inactive\n  R [TQXDSourceRSData] inactive\n");
  // Without the data-format identifier the file is no definition: refused as a run or validation would.
  testsupport::WriteFileBytes(dir.file("y.qxt"), nodes);
  r = testsupport::RunCommand(testsupport::ShellQuote(cli) + " tree " + testsupport::ShellQuote(dir.file("y.qxt")));
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Invalid data format '', must be {C1CE532E-C8F3-4cc4-915D-B90F532B3B19}"), std::string::npos)
      << r.err;
  r = testsupport::RunCommand(testsupport::ShellQuote(cli) + " tree " + testsupport::ShellQuote(dir.file("none.qxt")));
  EXPECT_NE(r.exitCode, 0);
}
