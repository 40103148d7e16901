// Schema recordsets against the real drivers: every list kind, the foreign-key direction rule, "<None>"
// arguments, the MariaDB catalog and table-type quirks, and re-execution on property changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "db/KVOdbcSchemaRecordset.h"
#include "db/DbTestSupport.h"
#include "foundation/KVConvert.h"

namespace {

// Values of one result column from the current row to the last (NULL as "<NULL>"). A scrollable cursor
// stays on its last row when moved past it, so the end shows as a move that did not move.
std::vector<std::string> ColumnValues(TKVOdbcSchemaRecordset& rs, int ordinal) {
  std::vector<std::string> values;
  TKVOdbcField* f = KVFieldByOrdinal(rs, ordinal);
  EXPECT_NE(f, nullptr) << "column " << ordinal;
  if (!f) return values;
  while (rs.HasCurrentRecord()) {
    values.push_back(f->IsNull() ? "<NULL>" : f->Value().AsString());
    int32_t before = rs.Position();
    rs.MoveToNext();
    if (rs.Position() == before) break;
  }
  return values;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

class SchemaRecordset : public dbtest::DbTest {
 protected:
  // customers <- orders <- order_lines, and a view on customers. Child tables are named first so that the
  // fixture drops them first.
  void CreateShop() {
    m_Lines = Table("lines");
    m_Orders = Table("orders");
    m_Customers = Table("customers");
    m_View = m_Customers + "_v";
    ExecQuietly("DROP VIEW " + m_View);
    Exec("CREATE TABLE " + m_Customers + " (id INTEGER NOT NULL PRIMARY KEY, name VARCHAR(40), "
         "gr\xC3\xB6\xC3\x9F" "e INTEGER)");
    Exec("CREATE TABLE " + m_Orders + " (id INTEGER NOT NULL PRIMARY KEY, customer_id INTEGER, CONSTRAINT " +
         m_Orders + "_fk FOREIGN KEY (customer_id) REFERENCES " + m_Customers + " (id))");
    Exec("CREATE TABLE " + m_Lines + " (id INTEGER NOT NULL PRIMARY KEY, order_id INTEGER, CONSTRAINT " +
         m_Lines + "_fk FOREIGN KEY (order_id) REFERENCES " + m_Orders + " (id))");
    Exec("CREATE VIEW " + m_View + " AS SELECT id FROM " + m_Customers);
  }
  void TearDown() override {
    if (!m_View.empty()) ExecQuietly("DROP VIEW " + m_View);
    for (const auto& t : {m_Lines, m_Orders, m_Customers})
      if (!t.empty()) ExecQuietly("DROP TABLE " + t);
    dbtest::DbTest::TearDown();
  }

  TKVRef<TKVOdbcSchemaRecordset> Schema(TKVSchemaList kind, const std::string& table = "%") {
    auto rs = KVMakeRef<TKVOdbcSchemaRecordset>(ConnRef());
    rs->SchemaData().SetKind(kind);
    rs->SchemaData().SetTableName(table);
    return rs;
  }

  std::string m_Customers, m_Orders, m_Lines, m_View;
};

TEST_P(SchemaRecordset, EveryListKindOpensWithTheStandardColumns) {
  CreateShop();
  // The least number of columns ODBC defines per kind and the name of the item column.
  struct Expect {
    TKVSchemaList kind;
    size_t columns;
    const char* nameColumn;
  };
  const Expect expected[] = {
      {slSystemTables, 5, "TABLE_NAME"},  {slTables, 5, "TABLE_NAME"},          {slViews, 5, "TABLE_NAME"},
      {slProcedures, 8, "PROCEDURE_NAME"}, {slTablePrivileges, 7, "PRIVILEGE"}, {slColumnPrivileges, 8, "PRIVILEGE"},
      {slStatistics, 13, "TABLE_NAME"},    {slColumns, 18, "COLUMN_NAME"},      {slProcedureColumns, 19, "COLUMN_NAME"},
      {slPrimaryKeys, 6, "PK_NAME"},       {slForeignKeys, 14, "FK_NAME"},      {slTypeInfo, 19, "TYPE_NAME"}};
  for (const auto& e : expected) {
    SCOPED_TRACE(KVSchemaListCaption(e.kind));
    bool tableKind = e.kind >= slTablePrivileges && e.kind <= slForeignKeys && e.kind != slProcedureColumns;
    auto rs = Schema(e.kind, tableKind ? m_Customers : "%");
    if (e.kind == slForeignKeys) rs->SchemaData().SetFKTableName(TKVSchemaProperties::kNone);
    if (e.kind == slColumnPrivileges && !SupportsColumnPrivileges()) {
      // SQLite and psqlODBC do not implement it; the driver manager answers IM001.
      try {
        rs->Open();
        FAIL() << "expected the call to fail";
      } catch (const EODBCError& err) {
        EXPECT_EQ(err.SqlState(), "IM001");
        EXPECT_EQ(err.GetRoutineName(), "SQLColumnPrivileges");
      }
      EXPECT_FALSE(rs->Active());
      continue;
    }
    ASSERT_NO_THROW(rs->Open());
    ASSERT_GE(rs->FieldCount(), e.columns);
    TKVOdbcField* name = KVFieldByOrdinal(*rs, KVSchemaListNameColumn(e.kind));
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(KVSameText(name->Name(), e.nameColumn)) << name->Name();
  }

  // Contents that depend on the arguments and on the driver quirks the class evens out.
  auto tables = Schema(slTables);
  tables->Open();
  auto catalogs = ColumnValues(*tables, 1);
  tables->ReExecute(false);
  auto names = ColumnValues(*tables, 3);
  EXPECT_TRUE(Contains(names, m_Customers) && Contains(names, m_Orders) && Contains(names, m_Lines));
  EXPECT_FALSE(Contains(names, m_View));
  if (ReportsOtherDatabasesTables()) {
    // Without the current catalog MariaDB would add performance_schema and other databases' tables.
    EXPECT_EQ(std::set<std::string>(catalogs.begin(), catalogs.end()), std::set<std::string>{"dabrix_test"});
  }

  // Other tests may have views of their own in the same database.
  auto views = Schema(slViews);
  views->Open();
  auto viewNames = ColumnValues(*views, 3);
  EXPECT_TRUE(Contains(viewNames, m_View));
  EXPECT_FALSE(Contains(viewNames, m_Customers));

  // MariaDB would answer "SYSTEM TABLE" with the user's tables; SQLite has none; psqlODBC lists its
  // catalog tables only for a schema pattern.
  auto system = Schema(slSystemTables);
  system->Open();
  auto systemNames = ColumnValues(*system, 3);
  EXPECT_FALSE(Contains(systemNames, m_Customers));
  if (ReportsSystemTables()) {
    system->SchemaData().SetSchema("%");
    EXPECT_TRUE(Contains(ColumnValues(*system, 3), "columns"));
  } else {
    EXPECT_TRUE(systemNames.empty());
  }

  auto keys = Schema(slPrimaryKeys, m_Orders);
  keys->Open();
  EXPECT_EQ(ColumnValues(*keys, 4), std::vector<std::string>{"id"});

  auto indexes = Schema(slStatistics, m_Customers);
  indexes->Open();
  EXPECT_TRUE(Contains(ColumnValues(*indexes, 9), "id"));

  // Type Info takes the data type from the column string: 12 is SQL_VARCHAR, "%" means all types.
  auto varchar = Schema(slTypeInfo);
  varchar->SchemaData().SetColumnName("12");
  varchar->Open();
  auto types = ColumnValues(*varchar, 2);
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(std::set<std::string>(types.begin(), types.end()), std::set<std::string>{"12"});
  varchar->SchemaData().SetColumnName("%");
  EXPECT_GT(ColumnValues(*varchar, 2).size(), types.size());
}

TEST_P(SchemaRecordset, ForeignKeysFollowTheDirectionOfTheGivenTable) {
  CreateShop();
  // The table with the FK strings at "<None>": the keys that reference it.
  auto referencing = Schema(slForeignKeys, m_Orders);
  referencing->SchemaData().SetFKTableName(TKVSchemaProperties::kNone);
  referencing->Open();
  TKVOdbcField* pkTable = KVFieldByOrdinal(*referencing, 3);
  TKVOdbcField* fkTable = KVFieldByOrdinal(*referencing, 7);
  TKVOdbcField* fkColumn = KVFieldByOrdinal(*referencing, 8);
  TKVOdbcField* fkName = KVFieldByOrdinal(*referencing, 12);
  ASSERT_TRUE(pkTable && fkTable && fkColumn && fkName);
  ASSERT_TRUE(referencing->HasCurrentRecord());
  EXPECT_EQ(KVFieldText(pkTable), m_Orders);
  EXPECT_EQ(KVFieldText(fkTable), m_Lines);
  EXPECT_EQ(KVFieldText(fkColumn), "order_id");
  // SQLite keeps no constraint names in its catalog.
  if (ReportsForeignKeyNames())
    EXPECT_EQ(KVFieldText(fkName), m_Lines + "_fk");
  else
    EXPECT_TRUE(fkName->IsNull());
  EXPECT_EQ(ColumnValues(*referencing, 7).size(), 1u);

  // The reverse: the FK table set, the table at "<None>": the keys the table holds. Each change of the
  // open recordset's properties re-executes it, so the FK table is set first (both tables null would be
  // refused by the driver manager).
  referencing->SchemaData().SetFKTableName(m_Orders);
  referencing->SchemaData().SetTableName(TKVSchemaProperties::kNone);
  ASSERT_TRUE(referencing->Active());
  EXPECT_EQ(ColumnValues(*referencing, 3), std::vector<std::string>{m_Customers});
}

TEST_P(SchemaRecordset, NoneIsANullArgumentInAnyLetterCase) {
  CreateShop();
  auto columns = Schema(slColumns, m_Customers);
  columns->SchemaData().SetColumnName("<None>");
  columns->Open();
  // Non-ASCII names come back unchanged through SQL_C_CHAR.
  const std::vector<std::string> all{"id", "name", "gr\xC3\xB6\xC3\x9F" "e"};
  EXPECT_EQ(ColumnValues(*columns, 4), all);

  columns->SchemaData().SetColumnName("<nOnE>");
  EXPECT_EQ(ColumnValues(*columns, 4), all);
  columns->SchemaData().SetColumnName("name");
  EXPECT_EQ(ColumnValues(*columns, 4), std::vector<std::string>{"name"});
  // MariaDB reports VARCHAR as a wide type.
  columns->ReExecute(false);
  EXPECT_EQ(KVFieldText(KVFieldByOrdinal(*columns, 5)), VarcharCatalogType());

  // Tables of the current database, through any recordset of the connection; field names of a recordset.
  auto rs = OpenRecordset("SELECT id, name FROM " + m_Customers);
  std::vector<std::string> tables, fields;
  KVListTables(*rs, tables);
  EXPECT_TRUE(Contains(tables, m_Customers) && Contains(tables, m_Lines));
  EXPECT_FALSE(Contains(tables, m_View));
  EXPECT_FALSE(Contains(tables, "global_status"));  // a performance_schema table MariaDB lists otherwise
  KVListFieldNames(*rs, fields);
  EXPECT_EQ(fields, (std::vector<std::string>{"id", "name"}));
}

TEST_P(SchemaRecordset, ChangesReexecuteOnlyWhenAskedAndErrorsNameTheCall) {
  CreateShop();
  auto rs = Schema(slTables, m_Customers);
  int changes = 0;
  rs->SchemaData().SetOnChange([&] { ++changes; });
  rs->Open();
  EXPECT_EQ(ColumnValues(*rs, 3), std::vector<std::string>{m_Customers});

  rs->SchemaData().SetReexecuteOnChange(false);
  rs->SchemaData().SetTableName(m_Orders);
  rs->SchemaData().SetTableName(m_Orders);  // unchanged: no notification
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(KVFieldText(KVFieldByOrdinal(*rs, 3)), m_Customers);  // still the old cursor
  rs->ReExecute(false);
  EXPECT_EQ(ColumnValues(*rs, 3), std::vector<std::string>{m_Orders});

  // Assign copies the flag too, and re-executes once.
  auto other = KVMakeRef<TKVSchemaProperties>();
  other->SetKind(slViews);
  other->SetTableName(m_View);
  rs->SchemaData().Assign(*other);
  EXPECT_EQ(changes, 2);
  EXPECT_TRUE(rs->SchemaData().ReexecuteOnChange());
  EXPECT_EQ(rs->SchemaData().ColumnName(), "%");
  EXPECT_EQ(ColumnValues(*rs, 3), std::vector<std::string>{m_View});

  // A kind outside the list.
  rs->Close();
  rs->SchemaData().SetKind(static_cast<TKVSchemaList>(12));
  try {
    rs->Open();
    FAIL() << "expected an error";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "Unsupported value (12) for \"TKVSchemaList\"");
    EXPECT_EQ(e.GetRoutineName(), "InternalExecute");
  }
  EXPECT_FALSE(rs->Active());
}

// A driver that answers the catalog call with SQL_NO_DATA.
class TNoDataSchemaRecordset : public TKVOdbcSchemaRecordset {
 public:
  using TKVOdbcSchemaRecordset::TKVOdbcSchemaRecordset;

 protected:
  SQLRETURN CallCatalogFunction(TKVSchemaList) override { return SQL_NO_DATA; }
};

TEST_P(SchemaRecordset, NoDataFromTheCatalogIsAnEmptyList) {
  auto rs = KVMakeRef<TNoDataSchemaRecordset>(ConnRef());
  ASSERT_NO_THROW(rs->Open());
  EXPECT_TRUE(rs->Active());
  EXPECT_FALSE(rs->HasCurrentRecord());
  EXPECT_EQ(rs->RecordCount(), 0);
}

DABRIX_INSTANTIATE_DB_TEST(SchemaRecordset);

TEST(SchemaProperties, DefaultsDescriptionAndNames) {
  auto rs = KVMakeRef<TKVOdbcSchemaRecordset>();
  TKVSchemaProperties& p = rs->SchemaData();
  EXPECT_EQ(p.Description(),
            "List:\tTables\r\rDatabase:\t<None>\rSchema:\t<None>\rTable/Proc:\t%\rColumnname:\t%\r"
            "FK Database:\t<None>\rFK Schema:\t<None>\rFK Table:\t%");
  EXPECT_EQ(rs->PropertyByName("schemadata"), &p);
  EXPECT_EQ(rs->PropertyByName("SQL"), &rs->Sql());
  EXPECT_EQ(rs->PropertyByName("SchemaDat"), nullptr);
  EXPECT_EQ(p.Query<TKVSchemaProperties>(), &p);
  EXPECT_STREQ(KVSchemaListCaption(slProcedureColumns), "Procedure Columns");
  EXPECT_STREQ(KVSchemaListCaption(12), "");
  // Inactive: a change is only kept.
  p.SetKind(slForeignKeys);
  p.SetTableName("");
  EXPECT_FALSE(rs->Active());
  EXPECT_EQ(rs->GetObjectName(), "Foreign Keys");
  p.SetTableName("orders");
  EXPECT_EQ(rs->GetObjectName(), "Foreign Keys: orders");
}

}  // namespace
