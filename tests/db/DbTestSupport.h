#pragma once
// Runs a test suite against every database the layer supports: an SQLite file in a temp folder, and the
// PostgreSQL and MariaDB servers named by DABRIX_PG_CONN / DABRIX_MARIADB_CONN (ODBC connection strings;
// scripts/db-servers.sh starts throwaway ones). A server whose variable is unset is skipped.
//
//   class MySuite : public dbtest::DbTest {};
//   TEST_P(MySuite, Something) {
//     std::string t = Table();                       // "mysuite_something", dropped after the test
//     Exec("CREATE TABLE " + t + " (id INTEGER)");
//     auto rs = OpenRecordset("SELECT * FROM " + t);
//   }
//   DABRIX_INSTANTIATE_DB_TEST(MySuite);
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "db/KVOdbcConnection.h"
#include "db/KVOdbcRecordset.h"
#include "support/TestSupport.h"

namespace dbtest {

// Sets an environment variable for a scope (also when an assertion leaves the scope early).
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : m_Name(name) {
    const char* old = std::getenv(name);
    m_Had = old != nullptr;
    if (old) m_Old = old;
    setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() { m_Had ? setenv(m_Name, m_Old.c_str(), 1) : unsetenv(m_Name); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* m_Name;
  bool m_Had = false;
  std::string m_Old;
};

enum class TDbKind { SQLite, PostgreSQL, MariaDB };

// "SQLite", "PostgreSQL", "MariaDB".
const char* DbKindName(TDbKind kind);
// The connection string for a kind, "" when its server is not configured. SQLite needs a file path.
std::string ConnectionStringFor(TDbKind kind, const std::string& sqliteFile);
// A connected connection (autocommit on, no driver dialogs). Raises like TKVOdbcConnection::Activate.
TKVRef<TKVOdbcConnection> Connect(const std::string& connectionString);

class DbTest : public ::testing::TestWithParam<TDbKind> {
 protected:
  void SetUp() override;     // skips when the server is not configured, else connects
  void TearDown() override;  // drops the tables handed out by Table(), closes the connection

  TDbKind Kind() const { return GetParam(); }
  bool IsSQLite() const { return Kind() == TDbKind::SQLite; }
  bool IsPostgreSQL() const { return Kind() == TDbKind::PostgreSQL; }
  bool IsMariaDB() const { return Kind() == TDbKind::MariaDB; }
  TKVOdbcConnection& Conn() { return *m_Conn; }
  const TKVRef<TKVOdbcConnection>& ConnRef() const { return m_Conn; }
  const std::string& ConnectionString() const { return m_ConnectionString; }
  testsupport::TempDir& Temp() { return *m_Temp; }

  // Runs SQL on the test's connection (autocommit), raising on failure.
  void Exec(const std::string& sql);
  // Runs SQL and ignores any failure (DROP of something that may not exist).
  void ExecQuietly(const std::string& sql);
  // A table name unique to this test (suite and test name, lower case, at most 50 characters) with an
  // optional suffix; any table of that name is dropped now and again at TearDown.
  std::string Table(const std::string& suffix = "");
  // The database's spelling of a few column types: "blob" (long binary), "text" (long text),
  // "timestamp" (with milliseconds), "double", "single" (where the database has one), "bigint", "autoinc"
  // (an auto-increment integer key).
  std::string Type(const std::string& generic) const;
  // What the database says of itself or needs, asked instead of its name:
  // the table options that make a table hold any Unicode text ("" where every table does);
  std::string UnicodeTableOptions() const;
  // a literal of the bytes given as hex digits;
  std::string BinaryLiteral(const std::string& hex) const;
  // the character its driver reports as identifier quote (SQL_IDENTIFIER_QUOTE_CHAR);
  std::string ExpectedIdentifierQuote() const;
  // whether its driver reads a DOUBLE back to the last bit (the SQLite driver goes through 15-digit text,
  // psqlODBC describes DOUBLE PRECISION as SQL_FLOAT);
  bool ReadsDoublesExactly() const { return IsMariaDB(); }
  // whether its driver describes long binary columns as binary (the SQLite driver: as text);
  bool DescribesBlobsAsBinary() const { return !IsSQLite(); }
  // whether DECIMAL columns are described as text (SQLite keeps them so);
  bool KeepsDecimalAsText() const { return IsSQLite(); }
  // whether a value longer than its VARCHAR column is refused (SQLite stores it);
  bool EnforcesColumnLength() const { return !IsSQLite(); }
  // whether a table can have a row-version column (SQLSpecialColumns SQL_ROWVER);
  bool HasRowVersions() const { return !IsSQLite(); }
  // what the error of a failed CHECK constraint and of a duplicate key contain;
  std::string CheckViolationText() const;
  std::string UniqueViolationText() const;
  // whether such errors name the failing row's values;
  bool ErrorsNameFailingValues() const { return IsPostgreSQL(); }
  // DDL for a table (id INTEGER PRIMARY KEY, v INTEGER, w INTEGER) whose rows carry a row version where the
  // database can have one (MariaDB: a column it updates itself; PostgreSQL's xmin needs none), and the
  // SELECT of id and v that reads that version along;
  std::string RowVersionTableDdl(const std::string& table) const;
  std::string RowVersionSelect(const std::string& table) const;
  // whether its driver implements SQLColumnPrivileges (without, the driver manager answers IM001);
  bool SupportsColumnPrivileges() const { return IsMariaDB(); }
  // whether the catalog functions reach the other databases of the server unless kept to the current one;
  bool ReportsOtherDatabasesTables() const { return IsMariaDB(); }
  // whether it lists catalog tables as system tables (psqlODBC: for a schema pattern only);
  bool ReportsSystemTables() const { return IsPostgreSQL(); }
  // whether its catalog keeps the names of foreign key constraints;
  bool ReportsForeignKeyNames() const { return !IsSQLite(); }
  // the SQL data type code the catalog reports for a VARCHAR column (MariaDB: the wide one, SQL_WVARCHAR);
  std::string VarcharCatalogType() const { return IsMariaDB() ? "-9" : "12"; }
  // the statement that makes the connection enforce foreign keys ("" where it always does);
  std::string ForeignKeysOnStatement() const { return IsSQLite() ? "PRAGMA foreign_keys = ON" : ""; }
  // whether the batch inserter writes a batch as one prepared statement of its own beside the single-row
  // one (over one array per column; psqlODBC would send a parameter array row by row).
  bool BatchesAsMultiRowInserts() const { return IsPostgreSQL(); }

  // An open recordset on the test's connection; cursor type as given (default: the recordset default).
  TKVRef<TKVOdbcRecordset> OpenRecordset(const std::string& sql, int cursorType = -1);

 private:
  TKVRef<TKVOdbcConnection> m_Conn;
  std::string m_ConnectionString;
  std::unique_ptr<testsupport::TempDir> m_Temp;
  std::vector<std::string> m_Tables;
};

std::string DbParamName(const ::testing::TestParamInfo<TDbKind>& info);

// The message of the EKVException `f` raises, or "(no error)".
template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const EKVException& e) {
    return e.Message();
  }
  return "(no error)";
}

}  // namespace dbtest

#define DABRIX_INSTANTIATE_DB_TEST(Suite)                                                                  \
  INSTANTIATE_TEST_SUITE_P(Db, Suite,                                                                      \
                           ::testing::Values(dbtest::TDbKind::SQLite, dbtest::TDbKind::PostgreSQL,         \
                                             dbtest::TDbKind::MariaDB),                                    \
                           dbtest::DbParamName)
