#include <gtest/gtest.h>

#include <cstdlib>

#include "definition/QXDFKSort.h"
#include "definition/QXDocument.h"
#include "foundation/KVExceptions.h"
#include "support/TestSupport.h"

namespace {

using testsupport::TempDir;

enum class Db { SQLite, PostgreSQL, MariaDB };

class FKSort : public ::testing::TestWithParam<Db> {
 protected:
  void SetUp() override {
    const char* variable = GetParam() == Db::PostgreSQL ? "DABRIX_PG_CONN"
                           : GetParam() == Db::MariaDB  ? "DABRIX_MARIADB_CONN"
                                                        : nullptr;
    if (!variable) {
      m_ConnectionString = "Driver=SQLite3;Database=" + m_Temp.file("shop.db");
    } else {
      DABRIX_SERVER_CONNECTION(variable, m_ConnectionString);
    }
    m_Setup = KVMakeRef<TKVOdbcConnection>();
    Configure(m_Setup->Properties());
    m_Setup->Activate();
    if (GetParam() == Db::MariaDB) m_Setup->ExecuteSQL("SET FOREIGN_KEY_CHECKS=0");
  }

  void TearDown() override {
    if (!m_Setup) return;
    for (const auto& t : m_Tables) {
      try {
        m_Setup->ExecuteSQL("DROP TABLE IF EXISTS " + t + (GetParam() == Db::PostgreSQL ? " CASCADE" : ""));
      } catch (const std::exception&) {
      }
    }
    m_Setup->Deactivate();
  }

  void Configure(TKVOdbcConnectProperties& p) {
    p.SetConnectionString(m_ConnectionString);
    p.SetDriverDialogs(ddNoDriverDialogs);
  }

  // Creates a table (dropped again at the end); `keys` are table-level FOREIGN KEY clauses.
  void Table(const std::string& name, const std::string& columns, const std::string& keys = "") {
    m_Tables.insert(m_Tables.begin(), name);
    m_Setup->ExecuteSQL("DROP TABLE IF EXISTS " + name + (GetParam() == Db::PostgreSQL ? " CASCADE" : ""));
    m_Setup->ExecuteSQL("CREATE TABLE " + name + " (id INTEGER PRIMARY KEY" + columns + keys + ")");
  }

  // A destination database node on the test database.
  TKVTreeItem* Database() {
    auto data = std::make_unique<TQXDDestConnectionData>();
    Configure(data->Connection().Properties());
    return &m_Doc->Tree().Insert(nullptr, "Dst", std::move(data));
  }
  TKVTreeItem* Recordset(TKVTreeItem* db, const std::string& title, const std::string& table) {
    TKVTreeItem& item = m_Doc->Tree().Insert(db, title, std::make_unique<TQXDDestRSData>());
    auto* rs = item.DataAs<TQXDDestRSData>();
    rs->BindToParentConnection();
    if (!table.empty()) rs->SetTableName(table);
    return &item;
  }

  static std::vector<std::string> Titles(TKVTreeItem* parent) {
    std::vector<std::string> titles;
    for (size_t i = 0; i < parent->ChildCount(); ++i) titles.push_back(parent->Child(i)->Title());
    return titles;
  }
  static int Level(TKVTreeItem* item) { return QXDData(item)->SortOrder(); }

  TempDir m_Temp;
  std::string m_ConnectionString;
  TKVRef<TKVOdbcConnection> m_Setup;
  std::vector<std::string> m_Tables;
  TKVRef<TQXDocument> m_Doc = KVMakeRef<TQXDocument>();
};

TEST_P(FKSort, ParentTablesComeFirstAndUnsatisfiableReferencesAreIgnored) {
  Table("fkso_customers", ", name VARCHAR(40)");
  Table("fkso_categories", ", parent_id INTEGER", ", FOREIGN KEY (parent_id) REFERENCES fkso_categories(id)");
  Table("fkso_products", ", name VARCHAR(40)");
  Table("fkso_orders", ", customer_id INTEGER", ", FOREIGN KEY (customer_id) REFERENCES fkso_customers(id)");
  Table("fkso_order_lines", ", order_id INTEGER, replaces_id INTEGER, product_id INTEGER",
        ", FOREIGN KEY (order_id) REFERENCES fkso_orders(id), FOREIGN KEY (replaces_id) REFERENCES fkso_orders(id)"
        ", FOREIGN KEY (product_id) REFERENCES fkso_products(id)");

  TKVTreeItem* db = Database();
  TKVTreeItem* lines = Recordset(db, "fkso_order_lines", "fkso_order_lines");
  TKVTreeItem* orders = Recordset(db, "fkso_orders", "fkso_orders");
  m_Doc->Tree().Insert(db, "note");  // not a definition node
  TKVTreeItem* mix = Recordset(db, "mix", "fkso_customers, fkso_orders");
  TKVTreeItem* categories = Recordset(db, "fkso_categories", "fkso_categories");
  TKVTreeItem* customers = Recordset(db, "FKSO_CUSTOMERS", "fkso_customers");
  TKVTreeItem* free = Recordset(db, "free", "");
  m_Doc->SetModified(false);

  ASSERT_TRUE(QXDSortTablesByDependency(m_Doc->Tree(), *db));
  EXPECT_EQ(Level(customers), 0);
  EXPECT_EQ(Level(categories), 0);  // its reference to itself does not count
  EXPECT_EQ(Level(mix), 0);
  EXPECT_EQ(Level(free), 0);
  EXPECT_EQ(Level(orders), 1);
  // Two keys to the orders count once; the products table has no node here and cannot hold it up.
  EXPECT_EQ(Level(lines), 2);
  EXPECT_EQ(Titles(db), (std::vector<std::string>{"note", "mix", "fkso_categories", "FKSO_CUSTOMERS", "free",
                                                  "fkso_orders", "fkso_order_lines"}));
  EXPECT_TRUE(m_Doc->Modified());
  // The connection was opened for the sort only.
  EXPECT_FALSE(db->DataAs<TQXDConnectionData>()->Connection().Active());
}

TEST_P(FKSort, RealCycleRaisesAndLeavesTheOrder) {
  if (GetParam() == Db::SQLite) {
    // SQLite checks references only when rows are written, so the cycle can be declared at once.
    Table("fksc_b", ", a_id INTEGER", ", FOREIGN KEY (a_id) REFERENCES fksc_a(id)");
    Table("fksc_a", ", b_id INTEGER", ", FOREIGN KEY (b_id) REFERENCES fksc_b(id)");
  } else {
    Table("fksc_a", ", b_id INTEGER");
    Table("fksc_b", ", a_id INTEGER", ", FOREIGN KEY (a_id) REFERENCES fksc_a(id)");
    m_Setup->ExecuteSQL("ALTER TABLE fksc_a ADD CONSTRAINT fksc_a_b FOREIGN KEY (b_id) REFERENCES fksc_b(id)");
  }
  Table("fksc_base", "");
  TKVTreeItem* db = Database();
  Recordset(db, "fksc_b", "fksc_b");
  Recordset(db, "fksc_a", "fksc_a");
  Recordset(db, "fksc_base", "fksc_base");
  TKVOdbcConnection& connection = db->DataAs<TQXDConnectionData>()->Connection();
  connection.Activate();
  try {
    QXDSortTablesByDependency(m_Doc->Tree(), *db);
    ADD_FAILURE() << "the cycle was not noticed";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "Cyclic foreign key dependencies");
    EXPECT_EQ(e.GetRoutineName(), "AssignFKSortOrderToSubnodes");
  }
  EXPECT_EQ(Titles(db), (std::vector<std::string>{"fksc_b", "fksc_a", "fksc_base"}));
  // An open connection stays open.
  EXPECT_TRUE(connection.Active());
  connection.Deactivate();

  // Nodes other than databases are left alone.
  EXPECT_FALSE(AssignFKSortOrderToSubnodes(*db->Child(0)));
}

INSTANTIATE_TEST_SUITE_P(Db, FKSort, ::testing::Values(Db::SQLite, Db::PostgreSQL, Db::MariaDB),
                         [](const ::testing::TestParamInfo<Db>& info) {
                           return info.param == Db::SQLite       ? std::string("SQLite")
                                  : info.param == Db::PostgreSQL ? std::string("PostgreSQL")
                                                                 : std::string("MariaDB");
                         });

// The command line runs the sort on a document and saves it.
TEST(FKSortCli, SortTablesSavesTheSortedDocument) {
  TempDir tmp;
  std::string dbFile = tmp.file("shop.db");
  {
    auto c = KVMakeRef<TKVOdbcConnection>();
    c->Properties().SetConnectionString("Driver=SQLite3;Database=" + dbFile);
    c->Properties().SetDriverDialogs(ddNoDriverDialogs);
    c->Activate();
    c->ExecuteSQL("CREATE TABLE customers (id INTEGER PRIMARY KEY)");
    c->ExecuteSQL("CREATE TABLE orders (id INTEGER PRIMARY KEY, c INTEGER, FOREIGN KEY (c) REFERENCES customers(id))");
    c->Deactivate();
  }
  std::string doc = tmp.file("def.qxt"), out = tmp.file("sorted.qxs");
  {
    auto d = KVMakeRef<TQXDocument>();
    auto src = std::make_unique<TQXDSourceConnectionData>();
    src->Connection().Properties().SetConnectionString("Driver=SQLite3;Database=" + dbFile);
    TKVTreeItem& s = d->Tree().Insert(nullptr, "Shop", std::move(src));
    d->Tree().Insert(&s, "orders", std::make_unique<TQXDSourceTableData>())
        .DataAs<TQXDSourceTableData>()->SetTableName("orders");
    d->Tree().Insert(&s, "customers", std::make_unique<TQXDSourceTableData>())
        .DataAs<TQXDSourceTableData>()->SetTableName("customers");
    ASSERT_TRUE(d->SaveAs(doc));
  }
  std::string before = testsupport::ReadFileBytes(doc);
  std::string cli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";
  auto r = testsupport::RunCommand(cli + " sort-tables " + testsupport::ShellQuote(doc) + " shop -o " +
                                   testsupport::ShellQuote(out));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "0\tcustomers\n1\torders\n");
  EXPECT_EQ(testsupport::ReadFileBytes(doc), before);
  auto sorted = KVMakeRef<TQXDocument>();
  ASSERT_TRUE(sorted->LoadFromFile(out));
  TKVTreeItem* shop = sorted->Tree().TopLevel(0);
  ASSERT_EQ(shop->ChildCount(), 2u);
  EXPECT_EQ(shop->Child(0)->Title(), "customers");
  EXPECT_EQ(shop->Child(1)->Title(), "orders");

  r = testsupport::RunCommand(cli + " sort-tables " + testsupport::ShellQuote(doc) + " Shop.orders");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("is not a database node"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::ReadFileBytes(doc), before);
}

}  // namespace
