#include "db/KVLockWait.h"

#include <algorithm>
#include <cstdlib>

#include <sqlext.h>

#include "db/KVConnectionString.h"
#include "db/KVOdbcError.h"
#include "db/KVOdbcHandle.h"
#include "foundation/KVConvert.h"
#include "foundation/KVText.h"
#include "foundation/KVTrace.h"

namespace {

bool NamesSqliteDriver(const TKVConnectionStringParser& parser) {
  return KVLowerCase(parser.Value("Driver")).find("sqlite") != std::string::npos;
}

// Runs one statement without a result on the handle; raises EODBCError.
void ExecuteDirect(SQLHDBC connection, const std::string& sql) {
  TKVOdbcHandle statement =
      TKVOdbcHandle::Allocate(SQL_HANDLE_STMT, connection, SQL_HANDLE_DBC, nullptr, "ApplyLockWait");
  SQLRETURN rc = SQLExecDirect(statement.Get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  KVOdbcCheck(rc, nullptr, "ApplyLockWait", statement.Get(), SQL_HANDLE_STMT);
}

}  // namespace

std::string KVConnectionStringWithLockWait(const std::string& connectionString) {
  TKVConnectionStringParser parser(connectionString);
  if (!NamesSqliteDriver(parser) || parser.Contains("Timeout")) return connectionString;
  parser.SetValue("Timeout", std::to_string(kKVDefaultLockWaitMilliseconds));
  return parser.Text();
}

int32_t KVApplyLockWait(SQLHDBC connection, bool autocommit, const std::string& connectionString) {
  TKVConnectionStringParser parser(connectionString);
  if (NamesSqliteDriver(parser)) {
    std::string given = parser.Value("Timeout");
    if (given.empty()) return kKVDefaultLockWaitMilliseconds;
    char* end = nullptr;
    long ms = std::strtol(given.c_str(), &end, 10);
    return end && *end == '\0' && ms >= 0 ? static_cast<int32_t>(std::min<long>(ms, INT32_MAX)) : -1;
  }
  char name[256] = {0};
  SQLSMALLINT length = 0;
  if (!KVOdbcSucceeded(SQLGetInfo(connection, SQL_DBMS_NAME, name, sizeof name, &length))) return -1;
  const std::string dbms(name);
  const std::string lower = KVLowerCase(connectionString);
  std::string sql;
  if (KVStartsWithText(dbms, "PostgreSQL")) {
    if (lower.find("lock_timeout") != std::string::npos) return -1;
    sql = "SET lock_timeout = " + std::to_string(kKVDefaultLockWaitMilliseconds);
  } else if (KVStartsWithText(dbms, "MariaDB") || KVStartsWithText(dbms, "MySQL")) {
    if (lower.find("lock_wait_timeout") != std::string::npos) return -1;
    const std::string seconds = std::to_string((kKVDefaultLockWaitMilliseconds + 999) / 1000);
    sql = "SET SESSION innodb_lock_wait_timeout = " + seconds + ", lock_wait_timeout = " + seconds;
  } else {
    return -1;
  }
  try {
    ExecuteDirect(connection, sql);
    // With autocommit off the SET opened a transaction; a rollback of it would undo the setting on
    // PostgreSQL.
    if (!autocommit)
      KVOdbcCheck(SQLEndTran(SQL_HANDLE_DBC, connection, SQL_COMMIT), nullptr, "ApplyLockWait", connection,
                  SQL_HANDLE_DBC);
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Warning, std::string("lock wait not set: ") + e.what());
    return -1;
  }
  return kKVDefaultLockWaitMilliseconds;
}
