#include "db/KVOdbcError.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "foundation/KVText.h"

std::string TKVOdbcDiagRecord::Text() const {
  std::vector<std::string> items = {SqlState, ClassOrigin, std::to_string(NativeError), MessageText,
                                    ConnectionName, ServerName};
  std::string r;
  for (const auto& i : items) {
    if (i.empty()) continue;
    if (!r.empty()) r += ", ";
    r += i;
  }
  return r;
}

const char* KVOdbcReturnCodeName(SQLRETURN rc) {
  switch (rc) {
    case SQL_SUCCESS: return "Success";
    case SQL_SUCCESS_WITH_INFO: return "Success with Info";
    case SQL_STILL_EXECUTING: return "Still Executing";
    case SQL_NEED_DATA: return "Data Needed";
    case SQL_NO_DATA: return "No Data";
    case SQL_INVALID_HANDLE: return "Invalid Handle";
    case SQL_ERROR: return "Error";
    default: return "Unknown Return Code";
  }
}

namespace {
std::string DiagString(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT field) {
  char buf[1024];
  SQLSMALLINT len = 0;
  SQLRETURN rc = SQLGetDiagField(type, h, rec, field, buf, sizeof buf, &len);
  if (!KVOdbcSucceeded(rc)) return {};
  buf[sizeof buf - 1] = '\0';
  return std::string(buf, strnlen(buf, sizeof buf));
}

std::vector<TKVOdbcDiagRecord> ReadDiagRecords(SQLRETURN returnCode, SQLSMALLINT type, SQLHANDLE h) {
  std::vector<TKVOdbcDiagRecord> records;
  if (h == SQL_NULL_HANDLE) return records;
  for (SQLSMALLINT rec = 1; rec < 1000; ++rec) {
    char state[10];
    SQLSMALLINT len = 0;
    if (!KVOdbcSucceeded(SQLGetDiagField(type, h, rec, SQL_DIAG_SQLSTATE, state, sizeof state, &len))) break;
    TKVOdbcDiagRecord r;
    r.ReturnCode = returnCode;
    r.SqlState = DiagString(type, h, rec, SQL_DIAG_SQLSTATE);
    r.ClassOrigin = DiagString(type, h, rec, SQL_DIAG_CLASS_ORIGIN);
    r.SubclassOrigin = DiagString(type, h, rec, SQL_DIAG_SUBCLASS_ORIGIN);
    r.MessageText = DiagString(type, h, rec, SQL_DIAG_MESSAGE_TEXT);
    r.ConnectionName = DiagString(type, h, rec, SQL_DIAG_CONNECTION_NAME);
    r.ServerName = DiagString(type, h, rec, SQL_DIAG_SERVER_NAME);
    SQLINTEGER native = 0;
    if (KVOdbcSucceeded(SQLGetDiagField(type, h, rec, SQL_DIAG_NATIVE, &native, 0, nullptr))) r.NativeError = native;
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace

EODBCError::EODBCError(SQLRETURN returnCode, SQLSMALLINT handleType, SQLHANDLE handle,
                       const TKVRefLifeObject* object, const std::string& routineName)
    : EKVException(std::string(), object, routineName,
                   returnCode >= 0 ? TKVSeverity::Information : TKVSeverity::Error),
      m_ReturnCode(returnCode),
      m_HandleType(handleType),
      m_Records(ReadDiagRecords(returnCode, handleType, handle)) {
  BuildMessage();
}

EODBCError::EODBCError(const std::string& message, const TKVRefLifeObject* object, const std::string& routineName)
    : EKVException(std::string(), object, routineName, TKVSeverity::Error),
      m_ReturnCode(SQL_ERROR),
      m_HandleType(0) {
  TKVOdbcDiagRecord r;
  r.ReturnCode = SQL_ERROR;
  r.SqlState = "HY000";
  r.MessageText = message;
  std::string owner = object ? object->GetObjectName() : std::string();
  // An object without a name, or a routine without one, leaves no dangling dot.
  r.ClassOrigin = KVTrim((owner.empty() ? std::string("<Interface>") : owner) + "." + routineName, " \t\r\n.");
  m_Records.push_back(std::move(r));
  BuildMessage();
}

void EODBCError::BuildMessage() {
  m_Message = std::string("Return Code") + ": " + KVOdbcReturnCodeName(m_ReturnCode) + " (" +
              std::to_string(m_ReturnCode) + ")";
  for (const auto& r : m_Records) m_Message += "\r\n\r\n" + r.Text();
}

bool EODBCError::HasSqlState(const std::string& state) const {
  for (const auto& r : m_Records)
    if (r.SqlState == state) return true;
  return false;
}

namespace {
bool RecordSaysConnectionLost(const TKVOdbcDiagRecord& r) {
  const std::string& state = r.SqlState;
  if (state.size() == 5 && state.compare(0, 2, "08") == 0) return true;
  if (state == "57P01" || state == "57P02") return true;
  // MariaDB / MySQL client errors: server gone away, lost connection during a query.
  if (state == "HY000" && (r.NativeError == 2006 || r.NativeError == 2013)) return true;
  std::string text = r.MessageText;
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* phrase : {"server has gone away", "lost connection to", "connection has been lost",
                             "connection not open", "no connection to the server", "server closed the connection"})
    if (text.find(phrase) != std::string::npos) return true;
  return false;
}
}  // namespace

bool EODBCError::ConnectionLost() const {
  return std::any_of(m_Records.begin(), m_Records.end(), RecordSaysConnectionLost);
}

bool KVOdbcConnectionLost(const std::exception& e) {
  auto* odbc = dynamic_cast<const EODBCError*>(&e);
  return odbc && odbc->ConnectionLost();
}

void KVOdbcCheck(SQLRETURN rc, const TKVRefLifeObject* object, const std::string& routineName, SQLHANDLE handle,
                 SQLSMALLINT handleType) {
  if (KVOdbcSucceeded(rc)) return;
  if (handleType == 0 || handle == SQL_NULL_HANDLE) {
    auto* owner = object ? const_cast<TKVRefLifeObject*>(object)->Query<IKVOdbcHandle>() : nullptr;
    if (handleType == 0) handleType = owner ? owner->OdbcHandleType() : SQL_HANDLE_ENV;
    if (handle == SQL_NULL_HANDLE && owner) handle = owner->OdbcHandle();
  }
  throw EODBCError(rc, handleType, handle, object, routineName);
}

std::string KVOdbcFirstDiagText(SQLSMALLINT handleType, SQLHANDLE handle) {
  auto records = ReadDiagRecords(SQL_ERROR, handleType, handle);
  return records.empty() ? std::string() : records[0].Text();
}
