// dabrix-cli sources and schema on a small SQLite database made for the test, with data source
// definitions of its own (the driver manager reads them from the files ODBCINI and ODBCSYSINI name).
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;

const std::string kCli = std::string(DABRIX_BIN_DIR) + "/dabrix-cli";

class SchemaCli : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Db = m_Dir.file("shop.db");
    // Python's sqlite3 module is part of every Debian python3; the test needs no SQLite tool of its own.
    const char* script =
        "import sqlite3, sys\n"
        "c = sqlite3.connect(sys.argv[1])\n"
        "c.executescript('''\n"
        "CREATE TABLE customers (id INTEGER NOT NULL PRIMARY KEY, name VARCHAR(40));\n"
        "CREATE TABLE orders (id INTEGER NOT NULL PRIMARY KEY, customer_id INTEGER REFERENCES customers(id));\n"
        "CREATE TABLE \"we\"\"ird\" (x DOUBLE);\n"
        "CREATE VIEW big_customers AS SELECT id FROM customers WHERE id > 1;\n"
        "INSERT INTO customers VALUES (1, 'Anna'), (2, 'Grüße Москва'), (3, NULL);\n"
        "INSERT INTO \"we\"\"ird\" VALUES (1.5);\n"
        "''')\n"
        "c.commit()\n";
    auto r = RunCommand("/usr/bin/python3 -c " + ShellQuote(script) + " " + ShellQuote(m_Db));
    ASSERT_EQ(r.exitCode, 0) << r.err;

    // One user and one system data source on that file; the driver list is the machine's.
    std::filesystem::create_directory(m_Dir.path() / "sys");
    testsupport::WriteFileBytes(m_Dir.file("user.ini"),
                                "[ShopUser]\nDriver=SQLite3\nDatabase=" + m_Db + "\n");
    testsupport::WriteFileBytes(m_Dir.file("sys/odbc.ini"),
                                "[ShopSystem]\nDriver=SQLite3\nDatabase=" + m_Db + "\n"
                                "[ShopBroken]\nDriver=SQLite3\nDatabase=" + m_Dir.file("no/such/dir.db") + "\n");
    testsupport::WriteFileBytes(m_Dir.file("sys/odbcinst.ini"), testsupport::ReadFileBytes("/etc/odbcinst.ini"));
  }

  testsupport::CommandResult Cli(const std::string& args) { return Run(args, ""); }
  // The SQLite driver leaks what it reads of a data source definition (a bare SQLDriverConnect with
  // "DSN=..." shows the same) and is unloaded before the leak check runs, so the report cannot be
  // suppressed by module: runs that connect by data source name go without leak detection.
  testsupport::CommandResult CliByDsn(const std::string& args) {
    return Run(args, "ASAN_OPTIONS=detect_leaks=0 ");
  }

  testsupport::CommandResult Run(const std::string& args, const std::string& environment) {
    return RunCommand(environment + "ODBCINI=" + ShellQuote(m_Dir.file("user.ini")) +
                      " ODBCSYSINI=" + ShellQuote(m_Dir.file("sys")) + " " + ShellQuote(kCli) + " " + args);
  }

  testsupport::TempDir m_Dir;
  std::string m_Db;
};

TEST_F(SchemaCli, SourcesListsUserThenSystemDataSources) {
  auto both = Cli("sources");
  ASSERT_EQ(both.exitCode, 0) << both.err;
  EXPECT_EQ(both.out, "ShopUser - SQLite3\nShopSystem - SQLite3\nShopBroken - SQLite3\n");
  EXPECT_EQ(Cli("sources --user").out, "ShopUser - SQLite3\n");
  EXPECT_EQ(Cli("sources --system").out, "ShopSystem - SQLite3\nShopBroken - SQLite3\n");
  EXPECT_EQ(Cli("sources --user --system").exitCode, 2);
  EXPECT_EQ(Cli("sources --all").exitCode, 2);
}

TEST_F(SchemaCli, SchemaPrintsListsItemsWithRecordCountsAndColumns) {
  const std::string tables =
      "Tables: 3\n"
      "  customers: 3 records\n"
      "    Columns: 2\n"
      "      id\tINTEGER\t10 Byte(s)\tNot Null\n"
      "      name\tVARCHAR(40)\t40 Byte(s)\tNulls Allowed\n"
      "  orders: 0 records\n"
      "    Columns: 2\n"
      "      id\tINTEGER\t10 Byte(s)\tNot Null\n"
      "      customer_id\tINTEGER\t10 Byte(s)\tNulls Allowed\n"
      // A double quote in a name is doubled inside the quoted name of the count.
      "  we\"ird: 1 records\n"
      "    Columns: 1\n"
      "      x\tDOUBLE\t54 Byte(s)\tNulls Allowed\n";  // the SQLite driver's BUFFER_LENGTH
  const std::string views =
      "Views: 1\n"
      "  big_customers: 2 records\n"
      "    Columns: 1\n"
      "      id\tINTEGER\t10 Byte(s)\tNulls Allowed\n";

  // By connection string, default lists; by data source name, lists in kind order whatever the order given.
  auto byString = Cli("schema " + ShellQuote("Driver=SQLite3;Database=" + m_Db));
  ASSERT_EQ(byString.exitCode, 0) << byString.err;
  EXPECT_EQ(byString.out, tables + views);
  auto byName = CliByDsn("schema ShopSystem --lists views,procedures,systables,tables");
  ASSERT_EQ(byName.exitCode, 0) << byName.err;
  EXPECT_EQ(byName.out, "System Tables: 0\n" + tables + views + "Procedures: 0\n");
  EXPECT_EQ(CliByDsn("schema ShopUser --lists=views").out, views);
}

TEST_F(SchemaCli, SchemaErrorsExitWithTheDriverText) {
  auto missing = Cli("schema NoSuchSource");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("Return Code: Error (-1)"), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("IM002"), std::string::npos) << missing.err;

  auto broken = CliByDsn("schema ShopBroken");
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_NE(broken.err.find("Return Code: Error (-1)"), std::string::npos) << broken.err;

  EXPECT_EQ(Cli("schema").exitCode, 2);
  EXPECT_EQ(Cli("schema ShopUser --lists tables,indexes").exitCode, 2);
  EXPECT_EQ(Cli("schema ShopUser ShopSystem").exitCode, 2);
  // Reading the catalog never writes the database.
  std::string before = testsupport::ReadFileBytes(m_Db);
  CliByDsn("schema ShopUser --lists tables,views,systables,procedures");
  EXPECT_EQ(testsupport::ReadFileBytes(m_Db), before);
}

}  // namespace
