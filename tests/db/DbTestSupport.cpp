#include "db/DbTestSupport.h"

#include <cctype>
#include <cstdlib>

namespace dbtest {

const char* DbKindName(TDbKind kind) {
  switch (kind) {
    case TDbKind::SQLite: return "SQLite";
    case TDbKind::PostgreSQL: return "PostgreSQL";
    case TDbKind::MariaDB: return "MariaDB";
  }
  return "?";
}

std::string ConnectionStringFor(TDbKind kind, const std::string& sqliteFile) {
  auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
  };
  switch (kind) {
    case TDbKind::SQLite: return "Driver=SQLite3;Database=" + sqliteFile;
    case TDbKind::PostgreSQL: return env("DABRIX_PG_CONN");
    case TDbKind::MariaDB: return env("DABRIX_MARIADB_CONN");
  }
  return {};
}

TKVRef<TKVOdbcConnection> Connect(const std::string& connectionString) {
  auto c = KVMakeRef<TKVOdbcConnection>();
  c->Properties().SetConnectionString(connectionString);
  c->Properties().SetDriverDialogs(ddNoDriverDialogs);
  c->Activate();
  return c;
}

void DbTest::SetUp() {
  m_Temp = std::make_unique<testsupport::TempDir>();
  switch (Kind()) {
    case TDbKind::SQLite: m_ConnectionString = ConnectionStringFor(Kind(), m_Temp->file("test.db")); break;
    case TDbKind::PostgreSQL: DABRIX_SERVER_CONNECTION("DABRIX_PG_CONN", m_ConnectionString); break;
    case TDbKind::MariaDB: DABRIX_SERVER_CONNECTION("DABRIX_MARIADB_CONN", m_ConnectionString); break;
  }
  m_Conn = Connect(m_ConnectionString);
}

void DbTest::TearDown() {
  if (m_Conn) {
    for (const auto& t : m_Tables) ExecQuietly("DROP TABLE " + t);
    m_Conn->Deactivate();
  }
  m_Conn.reset();
  m_Temp.reset();
}

void DbTest::Exec(const std::string& sql) { m_Conn->ExecuteSQL(sql); }

void DbTest::ExecQuietly(const std::string& sql) {
  try {
    m_Conn->ExecuteSQL(sql);
  } catch (const std::exception&) {
  }
}

std::string DbTest::Table(const std::string& suffix) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  // "Db/Suite" and "Test/SQLite": the parameter part is not needed (each database has its own server).
  std::string clean;
  for (char c : name) {
    if (c == '/') {
      clean += '_';
      continue;
    }
    clean += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
  }
  for (const char* kind : {"_sqlite", "_postgresql", "_mariadb"}) {
    std::string k(kind);
    if (clean.size() > k.size() && clean.compare(clean.size() - k.size(), k.size(), k) == 0) clean.resize(clean.size() - k.size());
  }
  if (clean.rfind("db_", 0) == 0) clean.erase(0, 3);
  if (!suffix.empty()) {
    if (clean.size() > 50 - suffix.size() - 1) clean.resize(50 - suffix.size() - 1);
    clean += "_" + suffix;
  } else if (clean.size() > 50) {
    clean.resize(50);
  }
  ExecQuietly("DROP TABLE " + clean);
  m_Tables.push_back(clean);
  return clean;
}

std::string DbTest::Type(const std::string& generic) const {
  if (generic == "blob") return IsPostgreSQL() ? "BYTEA" : IsMariaDB() ? "LONGBLOB" : "BLOB";
  if (generic == "text") return IsMariaDB() ? "LONGTEXT" : "TEXT";
  if (generic == "timestamp") return IsPostgreSQL() ? "TIMESTAMP(3)" : IsMariaDB() ? "DATETIME(3)" : "TIMESTAMP";
  if (generic == "double") return IsPostgreSQL() ? "DOUBLE PRECISION" : "DOUBLE";
  if (generic == "single") return IsMariaDB() ? "FLOAT" : "REAL";
  if (generic == "bigint") return "BIGINT";
  if (generic == "autoinc")
    return IsPostgreSQL() ? "SERIAL PRIMARY KEY" : IsMariaDB() ? "INTEGER AUTO_INCREMENT PRIMARY KEY"
                                                               : "INTEGER PRIMARY KEY AUTOINCREMENT";
  return generic;
}

std::string DbTest::UnicodeTableOptions() const { return IsMariaDB() ? " DEFAULT CHARSET=utf8mb4" : ""; }

std::string DbTest::BinaryLiteral(const std::string& hex) const {
  return IsPostgreSQL() ? "decode('" + hex + "', 'hex')" : "X'" + hex + "'";
}

std::string DbTest::CheckViolationText() const {
  return IsSQLite() ? "CHECK constraint failed" : IsPostgreSQL() ? "23514" : "23000";
}

std::string DbTest::UniqueViolationText() const {
  return IsSQLite() ? "UNIQUE constraint failed" : IsPostgreSQL() ? "23505" : "Duplicate";
}

std::string DbTest::ExpectedIdentifierQuote() const { return IsMariaDB() ? "`" : "\""; }

std::string DbTest::RowVersionTableDdl(const std::string& table) const {
  std::string ddl = "CREATE TABLE " + table + " (id INTEGER PRIMARY KEY, v INTEGER, w INTEGER";
  if (IsMariaDB()) ddl += ", ver TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6) ON UPDATE CURRENT_TIMESTAMP(6)";
  return ddl + ")";
}

std::string DbTest::RowVersionSelect(const std::string& table) const {
  if (IsMariaDB()) return "SELECT id, v, ver FROM " + table;
  if (IsPostgreSQL()) return "SELECT xmin, id, v FROM " + table;
  return "SELECT id, v FROM " + table;
}

TKVRef<TKVOdbcRecordset> DbTest::OpenRecordset(const std::string& sql, int cursorType) {
  auto rs = KVMakeRef<TKVOdbcRecordset>(m_Conn);
  if (cursorType >= 0) rs->Properties().SetCursorType(cursorType);
  rs->SetSQL(sql);
  rs->Open();
  return rs;
}

std::string DbParamName(const ::testing::TestParamInfo<TDbKind>& info) { return DbKindName(info.param); }

}  // namespace dbtest
