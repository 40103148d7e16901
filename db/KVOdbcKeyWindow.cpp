#include "db/KVOdbcKeyWindow.h"

#include <algorithm>
#include <limits>

#include "db/KVOdbcError.h"
#include "db/KVOdbcRowWriter.h"
#include "foundation/KVConvert.h"
#include "foundation/KVText.h"

namespace {
constexpr const char* kRoutine = "KeyWindow";
// A window answers about this many lookups for the cost of its read.
constexpr size_t kLookupsPerRead = 8;
}

bool TKVOdbcKeyWindow::Supported(const std::string& dbmsName) {
  return KVStartsWithText(dbmsName, "SQLite") || KVStartsWithText(dbmsName, "PostgreSQL") ||
         KVStartsWithText(dbmsName, "MariaDB") || KVStartsWithText(dbmsName, "MySQL");
}

TKVOdbcKeyWindow::TKVOdbcKeyWindow(SQLHDBC connection, std::string tableSQL, std::string columnSQL,
                                   const TKVRefLifeObject* owner, size_t rows, size_t maxRows)
    : m_Connection(connection),
      m_TableSQL(std::move(tableSQL)),
      m_ColumnSQL(std::move(columnSQL)),
      m_Owner(owner),
      m_Rows(std::max<size_t>(rows, 1)),
      m_MaxRows(std::max(maxRows, m_Rows)) {}

bool TKVOdbcKeyWindow::Worthwhile() const {
  // A window costs about as much as a few single lookups: it pays when it answers many of them.
  return m_Reads < 16 || m_Lookups >= m_Reads * kLookupsPerRead;
}

void TKVOdbcKeyWindow::Read(int64_t from) {
  // Keys read in order go on past the window, and every read is a round trip during which the batch writer
  // waits. On MariaDB a read costs mostly its statement, not its keys: 100,000 upserts in key order took
  // 0.64 s against 0.75 s with windows of 1,000 keys (medians of 7, in turns). On PostgreSQL and SQLite,
  // whose reads cost by the key, the difference was within noise.
  // Only after a window that paid (as Worthwhile counts): keys in no order jump past the window as often as
  // not, each read answering the one lookup that made it.
  if (from > m_Last && m_Lookups - m_LookupsAtRead >= kLookupsPerRead && m_Rows < m_MaxRows) {
    m_Rows = std::min(m_Rows * 2, m_MaxRows);
    m_Prepared = false;
  }
  m_LookupsAtRead = m_Lookups;
  if (!m_Stmt) m_Stmt = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, m_Connection, SQL_HANDLE_DBC, m_Owner, kRoutine);
  SQLHSTMT h = m_Stmt.Get();
  if (!m_Prepared) {
    std::string sql = "SELECT " + m_ColumnSQL + " FROM " + m_TableSQL + " WHERE " + m_ColumnSQL + " >= ? ORDER BY " +
                      m_ColumnSQL + " LIMIT " + std::to_string(m_Rows);
    m_Stmt.Check(SQLPrepare(h, reinterpret_cast<SQLCHAR*>(sql.data()), static_cast<SQLINTEGER>(sql.size())), m_Owner,
                 kRoutine);
    m_Prepared = true;
  }
  m_Valid = false;
  SQLBIGINT parameter = from;
  SQLLEN parameterIndicator = 0;
  m_Stmt.Check(SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &parameter, 0,
                                &parameterIndicator),
               m_Owner, kRoutine);
  m_Stmt.Check(SQLExecute(h), m_Owner, kRoutine);
  ++m_Reads;
  struct TCloser {
    SQLHSTMT H;
    ~TCloser() { SQLFreeStmt(H, SQL_CLOSE); }
  } closer{h};
  SQLBIGINT value = 0;
  SQLLEN indicator = 0;
  m_Stmt.Check(SQLBindCol(h, 1, SQL_C_SBIGINT, &value, 0, &indicator), m_Owner, kRoutine);
  m_Keys.clear();
  for (;;) {
    SQLRETURN rc = SQLFetch(h);
    if (rc == SQL_NO_DATA) break;
    m_Stmt.Check(rc, m_Owner, kRoutine);
    if (indicator != SQL_NULL_DATA) m_Keys.push_back(value);
  }
  SQLFreeStmt(h, SQL_UNBIND);
  // The database's order is its collation of integers, which is the numeric one; sorting again costs little
  // and keeps the binary search right whatever the driver did.
  std::sort(m_Keys.begin(), m_Keys.end());
  m_First = from;
  m_Last = m_Keys.size() < m_Rows ? std::numeric_limits<int64_t>::max() : m_Keys.back();
  m_Valid = true;
}

bool TKVOdbcKeyWindow::Contains(int64_t key) {
  ++m_Lookups;
  if (!m_Valid || key < m_First || key > m_Last) Read(key);
  return std::binary_search(m_Keys.begin(), m_Keys.end(), key);
}

void TKVOdbcKeyWindow::Added(int64_t key) {
  if (!m_Valid || key < m_First || key > m_Last) return;  // a later read finds it in the table
  auto at = std::lower_bound(m_Keys.begin(), m_Keys.end(), key);
  if (at == m_Keys.end() || *at != key) m_Keys.insert(at, key);
}

std::vector<std::string> KVPrimaryKeyColumns(SQLHDBC connection, const TKVTableName& table,
                                             const TKVRefLifeObject* owner) {
  TKVOdbcHandle stmt = TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, connection, SQL_HANDLE_DBC, owner, kRoutine);
  SQLHSTMT h = stmt.Get();
  std::vector<std::string> candidates{table.Table.Text};
  if (!table.Table.Quoted) {
    candidates.push_back(KVLowerCase(table.Table.Text));
    candidates.push_back(KVUpperCase(table.Table.Text));
  }
  auto arg = [](const TKVTableNamePart& p) {
    return p.Text.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(const_cast<char*>(p.Text.c_str()));
  };
  for (const std::string& name : candidates) {
    SQLRETURN rc = SQLPrimaryKeys(h, arg(table.Catalog), table.Catalog.Text.empty() ? 0 : SQL_NTS,
                                  arg(table.Schema), table.Schema.Text.empty() ? 0 : SQL_NTS,
                                  reinterpret_cast<SQLCHAR*>(const_cast<char*>(name.c_str())), SQL_NTS);
    if (rc == SQL_NO_DATA) continue;
    stmt.Check(rc, owner, kRoutine);
    std::vector<std::pair<int, std::string>> columns;
    for (;;) {
      rc = SQLFetch(h);
      if (rc == SQL_NO_DATA) break;
      if (!KVOdbcSucceeded(rc)) {
        SQLFreeStmt(h, SQL_CLOSE);
        stmt.Check(rc, owner, kRoutine);
      }
      char column[512] = {};
      SQLLEN columnLength = 0, seqLength = 0;
      SQLSMALLINT seq = 0;
      if (!KVOdbcSucceeded(SQLGetData(h, 4, SQL_C_CHAR, column, sizeof column, &columnLength)) ||
          !KVOdbcSucceeded(SQLGetData(h, 5, SQL_C_SSHORT, &seq, 0, &seqLength)))
        continue;
      if (columnLength != SQL_NULL_DATA) columns.emplace_back(seq, column);
    }
    SQLFreeStmt(h, SQL_CLOSE);
    if (columns.empty()) continue;
    std::sort(columns.begin(), columns.end());
    std::vector<std::string> out;
    for (auto& c : columns) out.push_back(std::move(c.second));
    return out;
  }
  return {};
}
