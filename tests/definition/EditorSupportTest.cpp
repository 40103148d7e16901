// What the definition gives the desktop editor: typed function arguments, the hints of recordset and field
// nodes, and the columns of a table read from a database's catalog.
#include <gtest/gtest.h>

#include "definition/QXDTreeOps.h"
#include "definition/QXDocument.h"
#include "foundation/KVExceptions.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TempDir;

// A registered function with an integer, a boolean and a text parameter.
class TLookup : public IQXFunctionLookup {
 public:
  TLookup() {
    auto f = std::make_shared<TQXFunctionInfo>();
    f->Id = *TGUID::TryParse("{0D6A4C1E-2B3F-4A5D-9E8F-7A6B5C4D3E2F}");
    f->Name = "Pad";
    f->Parameters = {{"Width", "", TKVVariant(int32_t(10))}, {"Left", "", TKVVariant(false)},
                     {"Fill", "", TKVVariant(std::string(" "))}};
    m_Function = f;
  }
  TQXFunctionRef FindFunction(const TGUID& id) const override { return id == m_Function->Id ? m_Function : nullptr; }
  TQXFunctionRef m_Function;
};

TEST(FunctionArguments, EditedValuesTakeTheCreatedTypeAndBadValuesChangeNothing) {
  TLookup lookup;
  IQXFunctionLookup* previous = QXSetFunctionLookup(&lookup);
  auto doc = KVMakeRef<TQXDocument>();
  TKVTreeItem& item = doc->Tree().Insert(nullptr, "f", std::make_unique<TQXDFieldFuncData>());
  auto* node = item.DataAs<TQXDFieldFuncData>();
  node->SetFunctionId(lookup.m_Function->Id);
  ASSERT_EQ(node->ArgumentCount(), 3u);
  doc->SetModified(false);

  // Text typed into the integer and boolean arguments arrives as the integer and the boolean.
  node->SetArgumentValue(0, TKVVariant(std::string("42")));
  EXPECT_EQ(node->Argument(0).Value().VarType(), varInteger);
  EXPECT_EQ(node->Argument(0).Value().AsInt32(), 42);
  EXPECT_TRUE(doc->Modified());
  node->SetArgumentValue(1, TKVVariant(int32_t(1)));
  EXPECT_EQ(node->Argument(1).Value().VarType(), varBoolean);
  EXPECT_TRUE(node->Argument(1).Value().AsBoolean());
  node->SetArgumentValue(2, TKVVariant(int32_t(7)));
  EXPECT_EQ(node->Argument(2).Value().VarType(), varString);
  EXPECT_EQ(node->Argument(2).Value().AsString(), "7");

  // A value that is no integer raises; the argument and the document stay as they were.
  doc->SetModified(false);
  EXPECT_THROW(node->SetArgumentValue(0, TKVVariant(std::string("wide"))), EKVException);
  EXPECT_EQ(node->Argument(0).Value().AsInt32(), 42);
  EXPECT_FALSE(doc->Modified());
  // NULL stays NULL (the field's blank state).
  node->SetArgumentValue(0, TKVVariant::Null());
  EXPECT_TRUE(node->Argument(0).Value().IsNull());

  // An argument restored beyond the parameters keeps the type of its stored value.
  node->AppendArgument(TKVVariant(int32_t(3)));
  node->SetArgumentValue(3, TKVVariant(std::string("5")));
  EXPECT_EQ(node->Argument(3).Value().VarType(), varInteger);
  EXPECT_THROW(node->SetArgumentValue(3, TKVVariant(std::string("x"))), EKVException);
  EXPECT_EQ(node->Argument(3).Value().AsInt32(), 5);
  QXSetFunctionLookup(previous);
}

// A loaded schema with one table and its columns, under the data source name "shop".
class THints : public IQXSchemaHintSource {
 public:
  std::optional<std::string> TableHint(const std::string& ds, const std::string& table) const override {
    if (ds == "shop" && table == "customers") return std::string("customers: 12 records");
    return std::nullopt;
  }
  std::optional<std::string> ColumnHint(const std::string& ds, const std::string& table,
                                        const std::string& column) const override {
    if (ds == "shop-dest" && table == "clients" && column == "email") return std::string("email\tVARCHAR");
    return std::nullopt;
  }
};

TEST(NodeHints, RecordsetAndFieldNodesShowTheLoadedSchemasHints) {
  auto doc = KVMakeRef<TQXDocument>();
  TQXDTreeView& tree = doc->Tree();
  TKVTreeItem* src = tree.AddNodeByCommand(TQXDAddCommand::AddSourceDatabase);
  src->DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString("DSN=shop");
  TKVTreeItem* srs = tree.AddNodeByCommand(TQXDAddCommand::AddSourceRecordset);
  srs->SetTitle("customers");
  TKVTreeItem* dst = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationDatabase);
  dst->DataAs<TQXDConnectionData>()->Connection().Properties().SetConnectionString("DSN=shop-dest");
  TKVTreeItem* drs = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationRecordset);
  drs->SetTitle("clients");
  TKVTreeItem* field = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationField);
  field->SetTitle("email");

  // Without loaded schemas there are no hints.
  EXPECT_EQ(srs->Data()->GetHintText(), "");
  EXPECT_EQ(field->Data()->GetHintText(), "");
  THints hints;
  IQXSchemaHintSource* previous = QXSetSchemaHintSource(&hints);
  EXPECT_EQ(srs->Data()->GetHintText(), "customers: 12 records");
  EXPECT_EQ(field->Data()->GetHintText(), "email\tVARCHAR");
  EXPECT_EQ(drs->Data()->GetHintText(), "");  // no entry of that name in its schema
  field->SetTitle("phone");
  EXPECT_EQ(field->Data()->GetHintText(), "");
  QXSetSchemaHintSource(previous);
}

enum class Db { SQLite, PostgreSQL, MariaDB };

class TableColumns : public ::testing::TestWithParam<Db> {
 protected:
  void SetUp() override {
    const char* variable = GetParam() == Db::PostgreSQL ? "DABRIX_PG_CONN"
                           : GetParam() == Db::MariaDB  ? "DABRIX_MARIADB_CONN"
                                                        : nullptr;
    if (!variable)
      m_ConnectionString = "Driver=SQLite3;Database=" + m_Temp.file("cols.db");
    else
      DABRIX_SERVER_CONNECTION(variable, m_ConnectionString);
    m_Setup = KVMakeRef<TKVOdbcConnection>();
    m_Setup->Properties().SetConnectionString(m_ConnectionString);
    m_Setup->Properties().SetDriverDialogs(ddNoDriverDialogs);
    m_Setup->Activate();
    m_Setup->ExecuteSQL("DROP TABLE IF EXISTS gui_columns");
    m_Setup->ExecuteSQL("CREATE TABLE gui_columns (id INTEGER PRIMARY KEY, email VARCHAR(80), city VARCHAR(40))");
  }
  void TearDown() override {
    if (!m_Setup) return;
    try {
      m_Setup->ExecuteSQL("DROP TABLE IF EXISTS gui_columns");
    } catch (const std::exception&) {
    }
    m_Setup->Deactivate();
  }
  TempDir m_Temp;
  std::string m_ConnectionString;
  TKVRef<TKVOdbcConnection> m_Setup;
};

TEST_P(TableColumns, CatalogColumnsFillAllDestinationFields) {
  auto doc = KVMakeRef<TQXDocument>();
  TQXDTreeView& tree = doc->Tree();
  tree.AddNodeByCommand(TQXDAddCommand::AddSourceDatabase);
  tree.AddNodeByCommand(TQXDAddCommand::AddSourceRecordset);
  TKVTreeItem* db = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationDatabase);
  auto* data = db->DataAs<TQXDConnectionData>();
  data->Connection().Properties().SetConnectionString(m_ConnectionString);
  data->Connection().Properties().SetDriverDialogs(ddNoDriverDialogs);
  TKVTreeItem* rs = tree.AddNodeByCommand(TQXDAddCommand::AddDestinationRecordset);
  rs->SetTitle("gui_columns");

  std::vector<std::string> columns = QXDReadTableColumns(*data, "gui_columns");
  EXPECT_EQ(columns, (std::vector<std::string>{"id", "email", "city"}));
  // The connection it opened for the catalog is closed again.
  EXPECT_FALSE(data->Connection().Active());
  EXPECT_EQ(tree.AddAllDestinationFields(*rs, columns), 3);
  EXPECT_EQ(rs->Child(1)->Title(), "email");
  EXPECT_EQ(rs->Child(1)->DataAs<TQXDDestFieldData>()->DestFieldname(), "email");
  // An unknown table has no columns; a database that cannot be reached raises and changes nothing.
  EXPECT_TRUE(QXDReadTableColumns(*data, "no_such_table").empty());
  data->Connection().Properties().SetConnectionString("Driver=NoSuchDriver");
  EXPECT_THROW(QXDReadTableColumns(*data, "gui_columns"), std::exception);
  EXPECT_FALSE(data->Connection().Active());
  EXPECT_EQ(rs->ChildCount(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Db, TableColumns, ::testing::Values(Db::SQLite, Db::PostgreSQL, Db::MariaDB),
                         [](const auto& info) {
                           return info.param == Db::SQLite       ? std::string("SQLite")
                                  : info.param == Db::PostgreSQL ? std::string("PostgreSQL")
                                                                 : std::string("MariaDB");
                         });

}  // namespace
