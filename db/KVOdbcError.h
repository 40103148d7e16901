#pragma once
// EODBCError: every failed ODBC call of the database layer raises it, carrying the return code, the handle
// and every diagnostic record the driver left; and the return-code check that decides when to raise.
#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "foundation/KVExceptions.h"
#include "foundation/KVRefObject.h"

struct TKVOdbcDiagRecord {
  SQLRETURN ReturnCode = 0;
  std::string SqlState, ClassOrigin, SubclassOrigin, MessageText, ConnectionName, ServerName;
  SQLINTEGER NativeError = 0;
  // SQLSTATE, class origin, native error, message, connection name, server name joined by ", ", empty
  // items skipped.
  std::string Text() const;
};

// Objects that own an ODBC handle tell which, so that a failure can read the handle's diagnostics.
class IKVOdbcHandle {
 public:
  static constexpr TGUID IID = KVGuid("{7E2F4A91-0C35-4B68-9D17-A3E5C8B2F604}");
  virtual ~IKVOdbcHandle() = default;
  virtual SQLSMALLINT OdbcHandleType() const = 0;
  virtual SQLHANDLE OdbcHandle() const = 0;
};

class EODBCError : public EKVException {
 public:
  // From a failed call: reads every diagnostic record of the handle. Severity Information for a
  // non-negative return code (SQL_NO_DATA, SQL_NEED_DATA), Error otherwise.
  EODBCError(SQLRETURN returnCode, SQLSMALLINT handleType, SQLHANDLE handle, const TKVRefLifeObject* object,
             const std::string& routineName);
  // An error the layer detected itself: return code -1 and one record with SQLSTATE "HY000".
  EODBCError(const std::string& message, const TKVRefLifeObject* object, const std::string& routineName);
  KV_EXCEPTION_CLASS(EODBCError, EKVException)

  SQLRETURN ReturnCode() const { return m_ReturnCode; }
  SQLSMALLINT HandleType() const { return m_HandleType; }
  const std::vector<TKVOdbcDiagRecord>& Records() const { return m_Records; }
  // The first record's SQLSTATE, or "".
  std::string SqlState() const { return m_Records.empty() ? std::string() : m_Records[0].SqlState; }
  bool HasSqlState(const std::string& state) const;
  // Whether the connection the call went through is gone (see KVOdbcConnectionLost).
  bool ConnectionLost() const;

 private:
  void BuildMessage();
  SQLRETURN m_ReturnCode;
  SQLSMALLINT m_HandleType;
  std::vector<TKVOdbcDiagRecord> m_Records;
};

// Whether an error says that the connection to the database is gone, so that nothing more can be done
// through it: SQLSTATE class 08 (communication link failure, connection not open; MariaDB's "Server has
// gone away" is 08S01), PostgreSQL's 57P01/57P02 (the backend was terminated or the server shut down: the
// driver's first report, later calls give 08S01), and the texts the drivers use when they give no such
// state ("Lost connection to server during query", native 2013, comes as HY000). False for any other
// exception class.
bool KVOdbcConnectionLost(const std::exception& e);

// "Success", "Success with Info", "Still Executing", "Data Needed", "No Data", "Invalid Handle", "Error",
// "Unknown Return Code".
const char* KVOdbcReturnCodeName(SQLRETURN rc);

// Every ODBC call goes through this: SQL_SUCCESS and SQL_SUCCESS_WITH_INFO pass, anything else raises.
// Without a handle type the object is asked (IKVOdbcHandle); without one SQL_HANDLE_ENV is assumed.
void KVOdbcCheck(SQLRETURN rc, const TKVRefLifeObject* object, const std::string& routineName,
                 SQLHANDLE handle = SQL_NULL_HANDLE, SQLSMALLINT handleType = 0);
inline bool KVOdbcSucceeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The first diagnostic record of a handle as text (fetch failures keep it for display).
std::string KVOdbcFirstDiagText(SQLSMALLINT handleType, SQLHANDLE handle);
